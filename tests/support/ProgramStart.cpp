// Linked into every GoogleTest program. Output is unbuffered, so that a program that crashes
// leaves in its log everything it printed up to the crash; and a program that got as far as its
// static initialisation says so in a marker file (named by VIDRANE_STARTED_MARKER, when set), so
// that a runner can tell a program that never started from one that failed.
#include <cstdio>
#include <cstdlib>

namespace {

struct ProgramStart {
	ProgramStart() {
		std::setvbuf(stdout, nullptr, _IONBF, 0);
		std::setvbuf(stderr, nullptr, _IONBF, 0);
		if (const char* marker = std::getenv("VIDRANE_STARTED_MARKER")) {
			if (std::FILE* f = std::fopen(marker, "w"))
				std::fclose(f);
		}
	}
};

const ProgramStart gProgramStart;

} // namespace
