// kettrinctl zrz pack and list: exit codes, and list --json read by Python's
// json module.
#include <gtest/gtest.h>

#include <filesystem>

#include "package/ZrzTestSupport.h"

namespace {

const std::string kCtl = std::string(KETTRIN_BINARY_DIR) + "/src/kettrinctl";

TEST(ZrzCommand, PackListAndExitCodes) {
    fstest::TempDir dir;
    std::filesystem::create_directories(dir / "src/doc");
    fstest::WriteFile(dir / "src/doc/readme", "hello");
    const std::string strPackage = dir / "codec.zrz";
    zrztest::MakeArchive(dir / "evil.zrz", "tar", zrztest::Descriptor() + ",{\"name\":\"files/p\",\"type\":\"fifo\"}");

    struct Case {
        std::vector<std::string> vecArgs;
        int nExit;
        const char* pszOutput;
    };
    const Case cases[] = {
        {{"zrz", "pack", dir / "src", "--component", "codec", "--version", "1.2", "--compression", "xz", "-o",
          strPackage},
         0, "wrote " },
        {{"--json", "zrz", "list", strPackage}, 0, "\"path\":\"files/doc/readme\",\"type\":\"file\",\"mode\":\"0644\",\"size\":5"},
        {{"zrz", "list", dir / "evil.zrz"}, 1, "files/p: FIFO: refused"},
        {{"zrz", "list", dir / "missing.zrz"}, 1, "cannot open the package"},
        {{"zrz", "pack", dir / "src", "--version", "1", "-o", strPackage}, 2, "pack needs --component"},
        {{"zrz", "pack", dir / "src", "--component", "c", "--version", "1", "--compression", "lz4", "-o", strPackage},
         2, "--compression takes gzip or xz"},
        {{"zrz", "unpack"}, 2, "unknown sub-command"},
        {{"zrz", "--help"}, 0, "kettrinctl zrz list FILE"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> vecArgs{kCtl};
        vecArgs.insert(vecArgs.end(), c.vecArgs.begin(), c.vecArgs.end());
        SCOPED_TRACE(c.vecArgs[1]);
        std::string strOutput;
        EXPECT_EQ(zrztest::Run(vecArgs, &strOutput), c.nExit) << strOutput;
        EXPECT_NE(strOutput.find(c.pszOutput), std::string::npos) << strOutput;
    }

    std::string strOutput;
    ASSERT_EQ(zrztest::Run({"/bin/sh", "-c",
                            "\"$0\" --json zrz list \"$1\" | python3 -c 'import json,sys; d=json.load(sys.stdin); "
                            "print(d[\"component\"], d[\"version\"], [e[\"path\"] for e in d[\"entries\"]])'",
                            kCtl, strPackage},
                           &strOutput),
              0)
        << strOutput;
    EXPECT_EQ(strOutput, "codec 1.2 ['zrz.xml', 'files', 'files/doc', 'files/doc/readme']\n");
}

}  // namespace
