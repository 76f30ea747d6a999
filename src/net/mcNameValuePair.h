#pragma once
// A name and a value, e.g. one response header line.
#include <string>

class mcNameValuePair {
public:
    mcNameValuePair() = default;
    mcNameValuePair(std::string strName, std::string strValue)
        : m_strName(std::move(strName)), m_strValue(std::move(strValue)) {}

    // Splits strText at every occurrence of strSeparator, dropping empty pieces.
    // Exactly two pieces must remain; they become name and value, white space
    // trimmed at both ends. Otherwise throws mcExc "Invalid name value pair string".
    void FromStr(const std::string& strText, const std::string& strSeparator);

    const std::string& Name() const { return m_strName; }
    const std::string& Value() const { return m_strValue; }

private:
    std::string m_strName;
    std::string m_strValue;
};
