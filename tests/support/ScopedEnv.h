#pragma once
// Sets (or, with null, removes) an environment variable for the object's life
// and restores what was there before. Objects must end in the reverse order of
// their construction (as locals and members do). Not thread-safe: the
// environment is process-wide.
#include <cstdlib>
#include <optional>
#include <string>

namespace testsupport {

class ScopedEnv {
public:
    ScopedEnv(const char* pszName, const char* pszValue) : m_strName(pszName) {
        if (const char* pszOld = std::getenv(pszName)) m_old = pszOld;
        if (pszValue) {
            ::setenv(pszName, pszValue, 1);
        } else {
            ::unsetenv(pszName);
        }
    }
    ScopedEnv(const char* pszName, const std::string& strValue) : ScopedEnv(pszName, strValue.c_str()) {}
    ~ScopedEnv() {
        if (m_old) {
            ::setenv(m_strName.c_str(), m_old->c_str(), 1);
        } else {
            ::unsetenv(m_strName.c_str());
        }
    }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    std::string m_strName;
    std::optional<std::string> m_old;
};

}  // namespace testsupport
