#pragma once
// Names the guarded function that runs on this thread, for crash reports of
// signals: while the scope lives, a fault on this thread is reported as
// pszPrefix + pszName ("moComponentMgr::" + "StartComponentInstall",
// "mcComponentMgrJobQueueEngine::Run"). Scopes nest; the innermost names the
// fault. The first scope on a thread also gives the thread its alternate
// signal stack (kept until the thread ends), so a stack overflow can still be
// reported.
//
// Threads: the scope belongs to the thread that made it. Both texts must
// outlive the scope (string literals).
class mcCrashGuardScope {
public:
    mcCrashGuardScope(const char* pszPrefix, const char* pszName) noexcept;
    ~mcCrashGuardScope();
    mcCrashGuardScope(const mcCrashGuardScope&) = delete;
    mcCrashGuardScope& operator=(const mcCrashGuardScope&) = delete;

    // The innermost scope's texts on this thread (null when none).
    // Async-signal-safe.
    static const char* CurrentPrefix() noexcept;
    static const char* CurrentName() noexcept;
    // Gives this thread an alternate signal stack if it has none; false when
    // it cannot.
    static bool EnsureAlternateStack() noexcept;

private:
    const char* m_pszOuterPrefix;
    const char* m_pszOuterName;
};
