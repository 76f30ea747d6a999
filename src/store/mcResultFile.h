#pragma once
// mcResultFile: one installer result file of the application folder,
// "InstallData.xml" or "UninstallData.xml". The installer's result text is
// written to it, parsed back with the store's load routine, read item by item
// and deleted again.
//
// Threads: the owning store's. The store holds its writer lock from Write to
// Delete, which keeps two operations of this process apart. Write always
// makes a fresh file (mode 0600, never through a link) in place of whatever
// was there, so no other process can hold it open or locked; the byte-range
// lock it takes while writing is taken without waiting.
//
// Readers: a missing or doubled item reads as empty and logs the reader's
// fixed line ("mcComponentConfig::PrvGetInstallDataErrorCode mcExc
// exception", ...) and the exception's text.
#include <functional>
#include <string>

#include "xml/miXMLDOMDocument.h"
#include "xml/miXMLDOMElement.h"

class mcResultFile {
public:
    enum class Kind { kInstall, kUninstall };

    // Items of "InstallData.xml", in the order they are read.
    struct InstallItems {
        std::string strName;
        std::string strVersion;
        std::string strManifest;
        std::string strResult;
        std::string strInstallPath;
        std::string strErrorCode;
        std::string strUninstallExe;
        std::string strUninstallCmdline;
    };
    // Items of "UninstallData.xml", in the order they are read.
    struct UninstallItems {
        std::string strName;
        std::string strVersion;
        std::string strResult;
        std::string strErrorCode;
    };

    static constexpr const char* kInstallFileName = "InstallData.xml";
    static constexpr const char* kUninstallFileName = "UninstallData.xml";

    // strAppPath: the application folder the file lives in.
    mcResultFile(Kind kind, const std::string& strAppPath);
    mcResultFile(const mcResultFile&) = delete;
    mcResultFile& operator=(const mcResultFile&) = delete;

    const std::string& GetPath() const { return m_strPath; }

    // Replaces the file's content with the text in the locale's character
    // set, exactly (no declaration, no byte-order mark). False when the file
    // cannot be removed or created afresh (exclusively, mode 0600, never
    // through a link), or when the text was not written whole (the file is
    // then deleted). Throws mcExc when the text cannot be converted.
    bool Write(const std::string& strText);
    // Deletes the file when it goes out of scope: every path out of an
    // operation that wrote the file, returns and exceptions alike.
    class DeleteGuard {
    public:
        explicit DeleteGuard(mcResultFile& file) : m_file(file) {}
        ~DeleteGuard();
        DeleteGuard(const DeleteGuard&) = delete;
        DeleteGuard& operator=(const DeleteGuard&) = delete;

    private:
        mcResultFile& m_file;
    };
    // Parses the file with the store's load routine: a text that does not
    // parse is replaced by an empty "Config" and loads as that. False only
    // when even that fails.
    bool Load();
    void Delete();

    // The items of a loaded file (Kind::kInstall / Kind::kUninstall only).
    InstallItems ReadInstall();
    UninstallItems ReadUninstall();
    // The result word and the error code, for either kind.
    void ReadOutcome(std::string& strResult, std::string& strErrorCode);

private:
    std::string PrvRead(const char* pszReader, const std::function<std::string(miXMLDOMElement&)>& fnRead);
    std::string PrvRootAttribute(const char* pszReader, const char* pszAttribute);
    std::string PrvChildText(const char* pszReader, const char* pszChild);
    std::string PrvResult();
    std::string PrvErrorCode();

    const Kind m_kind;
    const std::string m_strPath;
    miXMLDOMDocument m_doc;
};
