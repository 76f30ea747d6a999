#include "xml/mcXmlAttributeLimits.h"

#include <algorithm>

namespace {

bool PrvIsSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

bool PrvStartsWith(std::string_view text, std::size_t nPos, std::string_view prefix) {
    return text.compare(nPos, prefix.size(), prefix) == 0;
}

// The position just after the first terminator at or after nPos, or the end.
std::size_t PrvSkipPast(std::string_view text, std::size_t nPos, std::string_view terminator) {
    const std::size_t nFound = text.find(terminator, nPos);
    return nFound == std::string_view::npos ? text.size() : nFound + terminator.size();
}

}  // namespace

bool mcXmlAttributeLimits::Check(std::string_view text, std::string& strReason, int& nLine) const {
    if (!m_bActive) return true;
    // The count reads bytes as ASCII: other encodings (UTF-16, UCS-4, EBCDIC)
    // are refused rather than left uncounted.
    const std::string_view head = text.substr(0, 4);
    if (head.find('\0') != std::string_view::npos || PrvStartsWith(text, 0, "\xFE\xFF") ||
        PrvStartsWith(text, 0, "\xFF\xFE") || PrvStartsWith(text, 0, "\x4C\x6F\xA7\x94")) {
        strReason = "Only ASCII-compatible encodings accepted";
        nLine = 1;
        return false;
    }
    std::size_t nTotal = 0;
    std::size_t nPos = 0;
    const std::size_t nSize = text.size();
    auto Fail = [&](std::size_t nAt, const std::string& strWhat) {
        strReason = strWhat;
        nLine = 1 + static_cast<int>(std::count(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(nAt), '\n'));
        return false;
    };
    while (nPos < nSize) {
        nPos = text.find('<', nPos);
        if (nPos == std::string_view::npos) break;
        const std::size_t nTag = nPos;
        if (PrvStartsWith(text, nPos, "<!--")) {
            nPos = PrvSkipPast(text, nPos + 4, "-->");
        } else if (PrvStartsWith(text, nPos, "<![CDATA[")) {
            nPos = PrvSkipPast(text, nPos + 9, "]]>");
        } else if (PrvStartsWith(text, nPos, "<?")) {
            nPos = PrvSkipPast(text, nPos + 2, "?>");
        } else if (PrvStartsWith(text, nPos, "<!")) {
            // A DOCTYPE: refused when it opens an internal subset.
            nPos += 2;
            while (nPos < nSize && text[nPos] != '>' && text[nPos] != '[') {
                if (text[nPos] == '"' || text[nPos] == '\'') {
                    nPos = PrvSkipPast(text, nPos + 1, std::string_view(&text[nPos], 1));
                } else {
                    ++nPos;
                }
            }
            if (nPos < nSize && text[nPos] == '[') return Fail(nTag, "Internal DTD subset not accepted");
        } else if (PrvStartsWith(text, nPos, "</")) {
            nPos = PrvSkipPast(text, nPos + 2, ">");
        } else {
            // A start tag: its name, then name="value" pairs up to > or />.
            // libxml2 ends a tag at the first pair it cannot read and at any
            // '<' (even inside a value), and so does this count.
            ++nPos;
            while (nPos < nSize && !PrvIsSpace(text[nPos]) && text[nPos] != '>' && text[nPos] != '/' &&
                   text[nPos] != '<') {
                ++nPos;
            }
            std::size_t nOnElement = 0;
            while (nPos < nSize) {
                while (nPos < nSize && PrvIsSpace(text[nPos])) ++nPos;
                if (nPos >= nSize || text[nPos] == '>' || text[nPos] == '/' || text[nPos] == '<') break;
                while (nPos < nSize && text[nPos] != '=' && !PrvIsSpace(text[nPos]) && text[nPos] != '>' &&
                       text[nPos] != '<') {
                    ++nPos;
                }
                while (nPos < nSize && PrvIsSpace(text[nPos])) ++nPos;
                if (nPos >= nSize || text[nPos] != '=') break;
                ++nPos;
                while (nPos < nSize && PrvIsSpace(text[nPos])) ++nPos;
                if (nPos >= nSize || (text[nPos] != '"' && text[nPos] != '\'')) break;
                const char cQuote = text[nPos];
                ++nPos;
                while (nPos < nSize && text[nPos] != cQuote && text[nPos] != '<') ++nPos;
                if (++nOnElement > kMaxPerElement) {
                    return Fail(nTag, "More than " + std::to_string(kMaxPerElement) + " attributes on one element");
                }
                if (++nTotal > m_nMaxTotal) {
                    return Fail(nTag, "More than " + std::to_string(m_nMaxTotal) + " attributes in the document");
                }
                if (nPos >= nSize || text[nPos] == '<') break;
                ++nPos;
            }
        }
    }
    return true;
}
