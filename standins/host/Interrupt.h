// Ctrl-C for the host tool: the first one asks the running verb to stop and clean up; a second one
// ends the process at once, as if nothing had caught the first.
#ifndef REFHOST_INTERRUPT_H
#define REFHOST_INTERRUPT_H

namespace refhost {

// Catches the next Ctrl-C (SIGINT, or the console's Ctrl-C and Ctrl-Break on Windows).
void CatchInterrupt();
// True once a caught Ctrl-C has come.
bool Interrupted();

} // namespace refhost

#endif
