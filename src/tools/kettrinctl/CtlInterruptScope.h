#pragma once
// Ctrl-C for the time of one waiting command: while a scope lives, SIGINT only
// counts (the command looks at Count() between slices of its wait and decides:
// the first asks the service to cancel, a second gives up waiting). The old
// disposition comes back when the scope ends. One scope at a time; main
// thread.
#include <csignal>

namespace kettrinctl {

class CtlInterruptScope {
public:
    CtlInterruptScope();
    ~CtlInterruptScope();
    CtlInterruptScope(const CtlInterruptScope&) = delete;
    CtlInterruptScope& operator=(const CtlInterruptScope&) = delete;

    // Ctrl-C presses since the scope began.
    static int Count();

private:
    struct sigaction m_old {};
};

}  // namespace kettrinctl
