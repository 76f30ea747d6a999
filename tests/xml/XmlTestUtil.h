#pragma once
// Helpers for the XML wrapper tests: the names in a folder and a check that a
// call raises mcXmlExc with a given description.
#include <gtest/gtest.h>
#include <dirent.h>

#include <functional>
#include <string>
#include <vector>

#include "xml/mcXmlExc.h"

// Names in folder (without "." and ".."), in no particular order.
inline std::vector<std::string> FolderEntries(const std::string& strFolder) {
    std::vector<std::string> names;
    if (DIR* d = ::opendir(strFolder.c_str())) {
        while (dirent* e = ::readdir(d)) {
            std::string n = e->d_name;
            if (n != "." && n != "..") names.push_back(n);
        }
        ::closedir(d);
    }
    return names;
}

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
