#pragma once
// A JSON value for kettrinctl's --json output: null, true/false, integers,
// strings, arrays and objects (members in insertion order). Dump() writes
// compact JSON; strings are escaped so that any bytes give valid JSON (bytes
// that are not UTF-8 become U+FFFD).
#include <cstdint>
#include <initializer_list>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace kettrinctl {

class CtlJson {
public:
    using Array = std::vector<CtlJson>;
    using Object = std::vector<std::pair<std::string, CtlJson>>;

    CtlJson() = default;  // null
    CtlJson(bool bValue) : m_value(bValue) {}
    CtlJson(std::int64_t nValue) : m_value(nValue) {}
    CtlJson(std::int32_t nValue) : m_value(static_cast<std::int64_t>(nValue)) {}
    CtlJson(std::uint32_t nValue) : m_value(static_cast<std::int64_t>(nValue)) {}
    CtlJson(std::string strValue) : m_value(std::move(strValue)) {}
    CtlJson(const char* pszValue) : m_value(std::string(pszValue)) {}
    CtlJson(Array array) : m_value(std::move(array)) {}
    CtlJson(Object object) : m_value(std::move(object)) {}

    static CtlJson MakeObject(std::initializer_list<std::pair<std::string, CtlJson>> members) {
        return CtlJson(Object(members));
    }
    static CtlJson StringArray(const std::vector<std::string>& vecItems);
    // A string, or null for an absent one.
    static CtlJson StringOrNull(bool bPresent, const std::string& strValue) {
        return bPresent ? CtlJson(strValue) : CtlJson();
    }

    // Adds a member (objects only; a null value becomes an object first).
    CtlJson& Set(const std::string& strName, CtlJson value);

    std::string Dump() const;
    // Text of a JSON string literal for strText, quotes included.
    static std::string Quote(const std::string& strText);

private:
    std::variant<std::monostate, bool, std::int64_t, std::string, Array, Object> m_value;
};

// Prints value.Dump() and a newline on standard output.
void PrintJson(const CtlJson& value);

// With --json: {"command","component","result","text"} (text null when
// empty), the last line of a waiting command; nothing otherwise.
void PrintOutcomeJson(const char* pszCommand, const std::string& strComponent, const char* pszResult,
                      const std::string& strText);

}  // namespace kettrinctl
