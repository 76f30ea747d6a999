#pragma once
// Response headers: an ordered map from header name to value. Names compare
// exactly (byte order, case-sensitive); a later header with the same name
// replaces the earlier value. Not synchronised: one thread at a time.
#include <map>
#include <string>
#include <string_view>

class mcHttpHeaders {
public:
    using Map = std::map<std::string, std::string>;

    void Set(const std::string& strName, const std::string& strValue) { m_map[strName] = strValue; }
    // Stores the "Name: value" lines of a response's header block as the
    // transaction reads it: the bytes are the locale's text (what cannot be
    // read so is replaced), split at "\n"; the first piece (status line) and
    // the last (after the empty line) are skipped. A line that is not one
    // name and one value throws the mcExc of mcNameValuePair; the lines
    // before it are stored.
    void SetFromResponseBlock(std::string_view block);
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
