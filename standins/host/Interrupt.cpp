#include "Interrupt.h"

#include <atomic>

#ifdef _WIN32
#include <windows.h>
#else
#include <csignal>
#endif

namespace refhost {

namespace {

// Set from a signal handler or the console's handler thread: lock-free, so safe in both.
std::atomic<bool> gInterrupted{false};
static_assert(std::atomic<bool>::is_always_lock_free, "the flag is set from a signal handler");

#ifdef _WIN32
BOOL WINAPI OnConsoleControl(DWORD event) {
	if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT)
		return FALSE;
	// The second one goes on to the default handler, which ends the process.
	return gInterrupted.exchange(true) ? FALSE : TRUE;
}
#else
void OnInterrupt(int) {
	gInterrupted.store(true);
}
#endif

} // namespace

void CatchInterrupt() {
#ifdef _WIN32
	SetConsoleCtrlHandler(OnConsoleControl, TRUE);
#else
	struct sigaction action {};
	action.sa_handler = OnInterrupt;
	sigemptyset(&action.sa_mask);
	action.sa_flags = SA_RESETHAND; // the second Ctrl-C meets the default action
	sigaction(SIGINT, &action, nullptr);
#endif
}

bool Interrupted() {
	return gInterrupted.load();
}

} // namespace refhost
