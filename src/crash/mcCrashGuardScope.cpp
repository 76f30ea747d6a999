#include "crash/mcCrashGuardScope.h"

#include <signal.h>
#include <sys/mman.h>

#include <cstddef>

namespace {

// Plain thread-locals: a signal handler reads them.
thread_local const char* t_pszPrefix = nullptr;
thread_local const char* t_pszName = nullptr;

constexpr std::size_t kAltStackSize = 256 * 1024;

// The alternate stack of this thread; unmapped when the thread ends.
class PrvAltStack {
public:
    bool Ensure() noexcept {
        if (m_pStack) return true;
        stack_t current{};
        if (::sigaltstack(nullptr, &current) == 0 && !(current.ss_flags & SS_DISABLE)) return true;
        void* pStack = ::mmap(nullptr, kAltStackSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (pStack == MAP_FAILED) return false;
        stack_t stack{};
        stack.ss_sp = pStack;
        stack.ss_size = kAltStackSize;
        if (::sigaltstack(&stack, nullptr) != 0) {
            ::munmap(pStack, kAltStackSize);
            return false;
        }
        m_pStack = pStack;
        return true;
    }
    ~PrvAltStack() {
        if (!m_pStack) return;
        stack_t stack{};
        stack.ss_flags = SS_DISABLE;
        ::sigaltstack(&stack, nullptr);
        ::munmap(m_pStack, kAltStackSize);
    }

private:
    void* m_pStack = nullptr;
};

thread_local PrvAltStack t_altStack;

}  // namespace

mcCrashGuardScope::mcCrashGuardScope(const char* pszPrefix, const char* pszName) noexcept
    : m_pszOuterPrefix(t_pszPrefix), m_pszOuterName(t_pszName) {
    (void)EnsureAlternateStack();
    t_pszPrefix = pszPrefix;
    t_pszName = pszName;
}

mcCrashGuardScope::~mcCrashGuardScope() {
    t_pszPrefix = m_pszOuterPrefix;
    t_pszName = m_pszOuterName;
}

const char* mcCrashGuardScope::CurrentPrefix() noexcept {
    return t_pszPrefix;
}
const char* mcCrashGuardScope::CurrentName() noexcept {
    return t_pszName;
}
bool mcCrashGuardScope::EnsureAlternateStack() noexcept {
    return t_altStack.Ensure();
}
