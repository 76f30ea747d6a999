#include "tools/kettrinctl/CtlInterruptScope.h"

namespace kettrinctl {
namespace {

volatile std::sig_atomic_t g_nInterrupts = 0;

extern "C" void PrvOnInterrupt(int) { g_nInterrupts = g_nInterrupts + 1; }

}  // namespace

CtlInterruptScope::CtlInterruptScope() {
    g_nInterrupts = 0;
    struct sigaction action {};
    action.sa_handler = PrvOnInterrupt;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, &m_old);
}

CtlInterruptScope::~CtlInterruptScope() { sigaction(SIGINT, &m_old, nullptr); }

int CtlInterruptScope::Count() { return static_cast<int>(g_nInterrupts); }

}  // namespace kettrinctl
