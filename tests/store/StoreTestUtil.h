#pragma once
// Shared pieces of the store tests: a private application folder per test
// (removed afterwards), the process log opened inside it, and shortcuts to
// read files and log lines.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>

#include "base/mcCMLog.h"
#include "xml/miXMLDOMDocument.h"
#include "store/mcComponentConfig.h"

namespace storetest {

inline std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void WriteFile(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
    out.close();
    ASSERT_TRUE(out.good()) << path;
}

// The file's document element as XML text without indentation.
inline std::string Compact(const std::string& path) {
    miXMLDOMDocument doc;
    doc.load(path);
    return doc.GetDocumentElement().GetXml();
}

inline bool Exists(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0;
}

// A temporary application folder with the log opened in it. Nothing of the
// machine (registry, /var) is used: the registry points into the folder too.
class StoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        const char* base = std::getenv("TMPDIR");
        std::string templ = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/kettrin-store-XXXXXX";
        ASSERT_NE(mkdtemp(templ.data()), nullptr);
        m_strDir = templ;
        m_strApp = m_strDir + "/app";
        std::filesystem::create_directories(m_strApp);
        setenv("KETTRIN_REGISTRY", (m_strDir + "/registry.db").c_str(), 1);
        setenv("KETTRIN_DIAG_SOCKET", (m_strDir + "/zrdiag.sock").c_str(), 1);
        ASSERT_TRUE(mcCMLog::Instance().Open(m_strDir));
    }

    void TearDown() override {
        mcCMLog::Instance().Close();
        std::error_code ec;
        for (auto it = std::filesystem::recursive_directory_iterator(m_strDir, ec);
             !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
            if (it->is_directory(ec) && !it->is_symlink(ec)) {
                std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                             std::filesystem::perm_options::add, ec);
            }
        }
        std::filesystem::remove_all(m_strDir, ec);
    }

    mcComponentConfig::Settings Settings() const {
        return mcComponentConfig::Settings{m_strApp, m_strApp + "/HoldingArea"};
    }
    std::unique_ptr<mcComponentConfig> NewStore() const {
        return std::make_unique<mcComponentConfig>(Settings());
    }

    std::string ConfigPath() const { return m_strApp + "/ComponentMgrConfig.xml"; }
    std::string AppFile(const std::string& name) const { return m_strApp + "/" + name; }
    std::string Log() const { return ReadFile(m_strDir + "/ComponentMgr.log"); }
    // True when the log holds a line that is exactly message.
    bool Logged(const std::string& message) const {
        return Log().find(" : " + message + "\n") != std::string::npos;
    }
    std::size_t CountLogged(const std::string& message) const {
        const std::string log = Log();
        const std::string needle = " : " + message + "\n";
        std::size_t count = 0;
        for (std::size_t pos = log.find(needle); pos != std::string::npos; pos = log.find(needle, pos + 1)) {
            ++count;
        }
        return count;
    }
    // Empties the log so that a check sees only what follows.
    void ClearLog() const { WriteFile(m_strDir + "/ComponentMgr.log", ""); }

    std::string m_strDir;
    std::string m_strApp;
};

}  // namespace storetest
