#pragma once
// mcXmlAttributeLimits: how many attributes a document that reaches us from
// a caller or a server may carry, checked on its text in one linear pass
// before libxml2 builds the tree (libxml2 checks each new attribute of an
// element against all earlier ones, so an element with very many attributes
// costs time with the square of their number).
//
// The pass counts the attributes of every start tag outside comments, CDATA
// sections and processing instructions. Entity declarations could hide
// elements from it, so a document with an internal DTD subset is refused
// whenever limits are set. Text that is not well-formed is left for libxml2
// to reject.
//
// A value type; Check is a pure function, any thread.
#include <cstddef>
#include <string>
#include <string_view>

class mcXmlAttributeLimits {
public:
    // At most this many attributes on one element, for every kind.
    static constexpr std::size_t kMaxPerElement = 256;

    // No limits: every document passes.
    mcXmlAttributeLimits() = default;
    // At most kMaxPerElement on one element and nMaxTotal in the document.
    explicit mcXmlAttributeLimits(std::size_t nMaxTotal) : m_bActive(true), m_nMaxTotal(nMaxTotal) {}

    // The limits of each kind of document.
    static mcXmlAttributeLimits InstallData() { return mcXmlAttributeLimits(1024); }
    static mcXmlAttributeLimits ManifestDirectory() { return mcXmlAttributeLimits(8192); }
    static mcXmlAttributeLimits Manifest() { return mcXmlAttributeLimits(65536); }

    bool IsActive() const { return m_bActive; }

    // True when text is within the limits (always without limits); otherwise
    // false and strReason names the bound passed, and nLine is the line
    // (from 1) of the element or declaration that passed it.
    bool Check(std::string_view text, std::string& strReason, int& nLine) const;

private:
    bool m_bActive = false;
    std::size_t m_nMaxTotal = 0;
};
