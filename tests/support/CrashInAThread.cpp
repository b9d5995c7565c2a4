// A program that crashes on a thread of its own after it started: the Windows tree's runner must
// report it as failed (expect-crash.sh checks that), whatever wine does with a crash.
#include <windows.h>

#include <cstdio>

namespace {
DWORD WINAPI WriteThroughNull(LPVOID) {
	*static_cast<volatile int*>(nullptr) = 1;
	return 0;
}
} // namespace

int main() {
	std::printf("started\n");
	HANDLE thread = CreateThread(nullptr, 0, WriteThroughNull, nullptr, 0, nullptr);
	if (thread)
		WaitForSingleObject(thread, INFINITE);
	std::printf("still running after the crash\n");
	return 0;
}
