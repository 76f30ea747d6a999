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
#include "support/ScratchMachine.h"

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

// A scratch machine with an application folder and the log opened in it.
// Nothing of the real machine (registry, /var) is used.
class StoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_pMachine = std::make_unique<testsupport::ScratchMachine>();
        m_strDir = m_pMachine->Path();
        m_strApp = m_strDir + "/app";
        std::filesystem::create_directories(m_strApp);
        ASSERT_TRUE(mcCMLog::Instance().Open(m_strDir));
    }

    void TearDown() override {
        mcCMLog::Instance().Close();
        m_pMachine.reset();
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

    // The scratch machine: folder, registry and trace socket of the test.
    std::unique_ptr<testsupport::ScratchMachine> m_pMachine;
    std::string m_strDir;
    std::string m_strApp;
};

}  // namespace storetest
