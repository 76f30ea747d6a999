#pragma once
// Helpers for the XML wrapper tests: a private temporary folder and a check
// that a call raises mcXmlExc with a given description.
#include <gtest/gtest.h>
#include <dirent.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "xml/mcXmlExc.h"

class XmlTempDir {
public:
    XmlTempDir() {
        char dirTemplate[] = "/tmp/kettrin-xml-XXXXXX";
        const char* dir = ::mkdtemp(dirTemplate);
        m_strPath = dir != nullptr ? dir : "";
    }
    ~XmlTempDir() { std::system(("rm -rf '" + m_strPath + "'").c_str()); }
    XmlTempDir(const XmlTempDir&) = delete;
    XmlTempDir& operator=(const XmlTempDir&) = delete;

    const std::string& Path() const { return m_strPath; }
    std::string File(const std::string& name) const { return m_strPath + "/" + name; }
    void Write(const std::string& name, const std::string& bytes) const {
        std::ofstream(File(name), std::ios::binary) << bytes;
    }
    std::string Read(const std::string& name) const {
        std::ifstream in(File(name), std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    std::vector<std::string> List() const {
        std::vector<std::string> names;
        if (DIR* d = ::opendir(m_strPath.c_str())) {
            while (dirent* e = ::readdir(d)) {
                std::string n = e->d_name;
                if (n != "." && n != "..") names.push_back(n);
            }
            ::closedir(d);
        }
        return names;
    }

private:
    std::string m_strPath;
};

// The description of the mcXmlExc that call raises ("" when it raises nothing).
inline std::string XmlFailure(const std::function<void()>& call, std::string* function = nullptr,
                              int* line = nullptr) {
    try {
        call();
    } catch (const mcXmlExc& exc) {
        if (function != nullptr) *function = exc.Function();
        if (line != nullptr) *line = exc.Line();
        return exc.Description();
    }
    return "";
}
