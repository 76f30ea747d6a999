#include "tools/kettrinctl/CtlJson.h"

#include <cstdio>
#include <iostream>

#include "tools/kettrinctl/CtlOptions.h"

namespace kettrinctl {

namespace {

// Length of the valid UTF-8 sequence at p (up to n bytes), 0 when invalid.
std::size_t PrvUtf8Length(const unsigned char* p, std::size_t n) {
    const unsigned char c = p[0];
    std::size_t nLen = 0;
    std::uint32_t nMin = 0;
    if (c < 0x80) return 1;
    if ((c & 0xE0) == 0xC0) { nLen = 2; nMin = 0x80; }
    else if ((c & 0xF0) == 0xE0) { nLen = 3; nMin = 0x800; }
    else if ((c & 0xF8) == 0xF0) { nLen = 4; nMin = 0x10000; }
    else return 0;
    if (nLen > n) return 0;
    std::uint32_t nCode = c & (0x7F >> nLen);
    for (std::size_t i = 1; i < nLen; ++i) {
        if ((p[i] & 0xC0) != 0x80) return 0;
        nCode = (nCode << 6) | (p[i] & 0x3F);
    }
    if (nCode < nMin || nCode > 0x10FFFF || (nCode >= 0xD800 && nCode <= 0xDFFF)) return 0;
    return nLen;
}

}  // namespace

CtlJson CtlJson::StringArray(const std::vector<std::string>& vecItems) {
    Array array;
    array.reserve(vecItems.size());
    for (const std::string& strItem : vecItems) array.emplace_back(strItem);
    return CtlJson(std::move(array));
}

CtlJson& CtlJson::Set(const std::string& strName, CtlJson value) {
    if (std::holds_alternative<std::monostate>(m_value)) m_value = Object();
    std::get<Object>(m_value).emplace_back(strName, std::move(value));
    return *this;
}

std::string CtlJson::Quote(const std::string& strText) {
    std::string strOut = "\"";
    const auto* p = reinterpret_cast<const unsigned char*>(strText.data());
    const std::size_t n = strText.size();
    for (std::size_t i = 0; i < n;) {
        const unsigned char c = p[i];
        if (c == '"' || c == '\\') {
            strOut += '\\';
            strOut += static_cast<char>(c);
            ++i;
        } else if (c < 0x20 || c == 0x7F) {
            char szEscape[8];
            std::snprintf(szEscape, sizeof szEscape, "\\u%04x", c);
            strOut += szEscape;
            ++i;
        } else {
            const std::size_t nLen = PrvUtf8Length(p + i, n - i);
            if (nLen == 0) {
                strOut += "\\ufffd";
                ++i;
            } else {
                strOut.append(strText, i, nLen);
                i += nLen;
            }
        }
    }
    strOut += '"';
    return strOut;
}

std::string CtlJson::Dump() const {
    struct Visitor {
        std::string operator()(std::monostate) const { return "null"; }
        std::string operator()(bool b) const { return b ? "true" : "false"; }
        std::string operator()(std::int64_t n) const { return std::to_string(n); }
        std::string operator()(const std::string& s) const { return Quote(s); }
        std::string operator()(const Array& a) const {
            std::string strOut = "[";
            for (std::size_t i = 0; i < a.size(); ++i) {
                if (i != 0) strOut += ',';
                strOut += a[i].Dump();
            }
            return strOut + "]";
        }
        std::string operator()(const Object& o) const {
            std::string strOut = "{";
            for (std::size_t i = 0; i < o.size(); ++i) {
                if (i != 0) strOut += ',';
                strOut += Quote(o[i].first) + ":" + o[i].second.Dump();
            }
            return strOut + "}";
        }
    };
    return std::visit(Visitor{}, m_value);
}

void PrintJson(const CtlJson& value) { std::cout << value.Dump() << std::endl; }

void PrintOutcomeJson(const char* pszCommand, const std::string& strComponent, const char* pszResult,
                      const std::string& strText) {
    if (!CtlOptions::Current().bJson) return;
    PrintJson(CtlJson::MakeObject({{"command", pszCommand},
                                   {"component", strComponent},
                                   {"result", pszResult},
                                   {"text", CtlJson::StringOrNull(!strText.empty(), strText)}}));
}

}  // namespace kettrinctl
