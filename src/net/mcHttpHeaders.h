#pragma once
// Response headers: an ordered map from header name to value. Names compare
// exactly (byte order, case-sensitive); a later header with the same name
// replaces the earlier value. Not synchronised: one thread at a time.
#include <map>
#include <string>

class mcHttpHeaders {
public:
    using Map = std::map<std::string, std::string>;

    void Set(const std::string& strName, const std::string& strValue) { m_map[strName] = strValue; }
    // The value of strName; throws mcExc "Required header not found" when absent.
    std::string Get(const std::string& strName) const;
    bool Has(const std::string& strName) const { return m_map.count(strName) != 0; }
    // HTTP names are case-insensitive on the wire: the first value whose name
    // matches ignoring ASCII case, or nullptr.
    const std::string* FindNoCase(const std::string& strName) const;

    void Clear() { m_map.clear(); }
    std::size_t Size() const { return m_map.size(); }
    bool Empty() const { return m_map.empty(); }
    const Map& Entries() const { return m_map; }

private:
    Map m_map;
};
