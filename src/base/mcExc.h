#pragma once
// Root of the exception family. Every failure that is not handled on the spot is
// thrown as an mcExc (or a class derived from it), announced first on the debug
// output and the "CORE" trace source. Throw with KTHROW so that the announcement
// and the copy happen the same way everywhere.
//
// Text is UTF-8 throughout ("wide" text in the contract); exceptions are plain
// values, safe to copy between threads.
#include <cstdint>
#include <exception>
#include <string>

#include "contract/Hresult.h"

class miXMLDOMDocument;

class mcExc : public std::exception {
public:
    // function and file name the throw site (file as the site supplies it);
    // hresult 0 when there is none.
    mcExc(const char* function, const char* file, int line, std::string description,
          HRESULT hresult = 0);
    mcExc(const mcExc&) = default;
    mcExc& operator=(const mcExc&) = default;
    ~mcExc() override;

    const char* what() const noexcept override;

    // Reads desc, throw_loc/func, throw_loc/file and throw_loc/line from the
    // document's root element. Any failure throws a new mcExc carrying
    // fallbackDescription; fields read before the failure stay changed.
    // Both XML members live in the XML library (link kettrin_xml to use them).
    void LoadFromXml(miXMLDOMDocument& document, const std::string& fallbackDescription);
    // Appends a "zr_cli_exception" element to the document node.
    void SaveToXml(miXMLDOMDocument& document) const;

    virtual std::string GetDebugText() const;
    virtual std::string GetReport() const;
    virtual std::string GetTraceLine() const;

    const std::string& Function() const { return m_strFunction; }
    const std::string& File() const { return m_strFile; }
    int Line() const { return m_nLine; }
    const std::string& Description() const { return m_strDescription; }
    HRESULT GetHResult() const { return m_hr; }

protected:
    std::string m_strFunction;
    std::string m_strFile;
    std::int32_t m_nLine;
    std::string m_strDescription;
    HRESULT m_hr;
};

// Announces exc on the debug output and the "CORE" trace source; call right
// before throwing a copy of it. Never throws.
void mfAnnounceThrow(const mcExc& exc) noexcept;

// Declares a family member that adds nothing to its base: the four-argument
// constructor passes hresult 0.
#define KETTRIN_DECLARE_EXC(Name, Base)                                              \
    class Name : public Base {                                                       \
    public:                                                                          \
        Name(const char* function, const char* file, int line, std::string description) \
            : Base(function, file, line, std::move(description)) {}                  \
    }

// Throws ExcType(function, __FILE__, __LINE__, args...) after announcing it.
#define KTHROW(ExcType, function, ...)                                    \
    do {                                                                  \
        ExcType kthrow_exc_(function, __FILE__, __LINE__, __VA_ARGS__);   \
        ::mfAnnounceThrow(kthrow_exc_);                                   \
        throw ExcType(kthrow_exc_);                                       \
    } while (0)

// As KTHROW, with the source line the record must carry given explicitly: the
// lines of the documented exception records are fixed and do not move with edits.
#define KTHROW_AT(ExcType, function, line, ...)                           \
    do {                                                                  \
        ExcType kthrow_exc_(function, __FILE__, line, __VA_ARGS__);       \
        ::mfAnnounceThrow(kthrow_exc_);                                   \
        throw ExcType(kthrow_exc_);                                       \
    } while (0)
