#pragma once
// Package tests' helpers: archives made by Python's tarfile and zipfile (and
// the zstd tool) from a JSON entry list (tests/data/zrz/make_zrz.py), and a
// snapshot of a folder tree to prove that nothing in it changed.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <map>
#include <string>

#include "support/ChildProgram.h"
#include "support/FsTestUtil.h"

namespace zrztest {

inline const std::string kMaker = std::string(KETTRIN_TEST_DATA) + "/zrz/make_zrz.py";

// Runs a program; its exit code, with standard output and error in pOutput.
inline int Run(const std::vector<std::string>& vecArgs, std::string* pOutput = nullptr) {
    testsupport::ChildProgram child(vecArgs);
    const int nExit = child.Wait(std::chrono::minutes{2});
    if (pOutput) *pOutput = child.Out() + child.Err();
    return nExit;
}

// The JSON entry for zrz.xml with the given attributes text.
inline std::string Descriptor(const std::string& strAttributes = "component=\\\"codec\\\" version=\\\"1.00.0002\\\"") {
    return "{\"name\":\"zrz.xml\",\"type\":\"file\",\"data\":\"<Package " + strAttributes + "/>\"}";
}

// Writes strOut in strFormat ("tar", "tar.gz", "tar.xz", "tar.zst", "zip")
// holding the JSON entries strEntries (without the brackets).
inline void MakeArchive(const std::string& strOut, const std::string& strFormat, const std::string& strEntries) {
    std::string strOutput;
    ASSERT_EQ(Run({"/usr/bin/python3", kMaker, strOut, strFormat, "[" + strEntries + "]"}, &strOutput), 0)
        << strOutput;
}

// Every path below strRoot with its type, permission bits and content (or
// link target): equal snapshots mean nothing changed.
inline std::map<std::string, std::string> Snapshot(const std::string& strRoot) {
    std::map<std::string, std::string> mapTree;
    std::error_code ec;
    for (auto it = std::filesystem::recursive_directory_iterator(strRoot, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
        struct stat st {};
        const std::string strPath = it->path().string();
        if (::lstat(strPath.c_str(), &st) != 0) continue;
        std::string strValue = std::to_string(st.st_mode) + ":";
        if (S_ISREG(st.st_mode)) strValue += fstest::ReadFile(strPath);
        if (S_ISLNK(st.st_mode)) strValue += std::filesystem::read_symlink(strPath, ec).string();
        mapTree[strPath.substr(strRoot.size())] = strValue;
    }
    return mapTree;
}

}  // namespace zrztest
