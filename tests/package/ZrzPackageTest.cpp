// mcZrzPackage and mcZrzInstaller against archives made by Python's tarfile
// and zipfile, the zstd tool and bsdtar, and packages read back by them.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "package/ZrzTestSupport.h"
#include "package/mcZrzInstaller.h"
#include "package/mcZrzPackage.h"

namespace {

using zrztest::Descriptor;
using zrztest::MakeArchive;
using zrztest::Snapshot;

const std::string kContent =
    Descriptor("component=\\\"codec\\\" version=\\\"1.00.0002\\\" manifest=\\\"main\\\"") +
    ",{\"name\":\"files\",\"type\":\"dir\"}"
    ",{\"name\":\"files/a.txt\",\"type\":\"file\",\"data\":\"alpha\"}"
    ",{\"name\":\"files/bin/run\",\"type\":\"file\",\"data\":\"#!/bin/sh\\n\",\"mode\":2541}";  // 04755

// Permission bits a new file with mode nMode gets under the process's umask.
std::string ModeAfterUmask(mode_t nMode) {
    const mode_t nMask = ::umask(0);
    ::umask(nMask);
    return std::to_string(nMode & ~nMask);
}

std::string ModeOf(const std::string& strPath) {
    struct stat st {};
    EXPECT_EQ(::lstat(strPath.c_str(), &st), 0) << strPath;
    return std::to_string(st.st_mode & 07777);
}

// Each reading format: descriptor, entries and extracted content, with the
// set-id bit dropped and a link kept (zip holds links too).
TEST(ZrzPackage, ReadsEveryFormatThatOthersWrite) {
    for (const std::string strFormat : {"tar", "tar.gz", "tar.xz", "tar.zst", "zip"}) {
        SCOPED_TRACE(strFormat);
        fstest::TempDir dir;
        const std::string strPackage = dir / "p.zrz";
        MakeArchive(strPackage, strFormat,
                    kContent + ",{\"name\":\"files/bin/link\",\"type\":\"symlink\",\"target\":\"../a.txt\"}");
        const mcZrzPackage package = mcZrzPackage::Open(strPackage);
        EXPECT_EQ(package.GetDescriptor().strComponent, "codec");
        EXPECT_EQ(package.GetDescriptor().strVersion, "1.00.0002");
        EXPECT_EQ(package.GetDescriptor().strManifest, "main");
        ASSERT_EQ(package.Entries().size(), 5u);
        EXPECT_EQ(package.Entries()[3].strPath, "files/bin/run");
        EXPECT_EQ(package.Entries()[3].nSize, 10u);

        const std::string strTarget = dir / "out";
        std::filesystem::create_directory(strTarget);
        package.ExtractFiles(strTarget);
        EXPECT_EQ(fstest::ReadFile(strTarget + "/a.txt"), "alpha");
        EXPECT_EQ(fstest::ReadFile(strTarget + "/bin/run"), "#!/bin/sh\n");
        EXPECT_EQ(ModeOf(strTarget + "/bin/run"), ModeAfterUmask(0755));
        struct stat st {};
        ASSERT_EQ(::lstat((strTarget + "/bin/run").c_str(), &st), 0);
        EXPECT_EQ(st.st_uid, ::getuid());  // never the archive's owner
        EXPECT_EQ(std::filesystem::read_symlink(strTarget + "/bin/link").string(), "../a.txt");
        EXPECT_EQ(fstest::ReadFile(strTarget + "/bin/link"), "alpha");
        EXPECT_FALSE(std::filesystem::exists(strTarget + "/zrz.xml"));
    }
}

// A folder packed by bsdtar (leading "./" entries) reads like any other.
TEST(ZrzPackage, ReadsBsdtarArchiveWithDotEntries) {
    fstest::TempDir dir;
    std::filesystem::create_directories(dir / "src/files/sub");
    fstest::WriteFile(dir / "src/zrz.xml", "<Package component=\"codec\" version=\"3\"/>");
    fstest::WriteFile(dir / "src/files/sub/b", "beta");
    std::string strOutput;
    ASSERT_EQ(zrztest::Run({"/usr/bin/bsdtar", "-C", dir / "src", "-cJf", dir / "p.zrz", "."}, &strOutput), 0)
        << strOutput;
    const mcZrzPackage package = mcZrzPackage::Open(dir / "p.zrz");
    EXPECT_EQ(package.GetDescriptor().strVersion, "3");
    std::filesystem::create_directory(dir / "out");
    package.ExtractFiles(dir / "out");
    EXPECT_EQ(fstest::ReadFile(dir / "out/sub/b"), "beta");
}

// What Write makes, Python's tarfile reads: names, descriptor, content,
// modes without set-id bits, the compression asked for.
TEST(ZrzPackage, WritesTarsThatPythonReads) {
    for (const auto eCompression : {mcZrzPackage::Compression::kGzip, mcZrzPackage::Compression::kXz}) {
        fstest::TempDir dir;
        std::filesystem::create_directories(dir / "src/bin");
        fstest::WriteFile(dir / "src/a.txt", "alpha");
        fstest::WriteFile(dir / "src/bin/run", "run");
        ::chmod((dir / "src/bin/run").c_str(), 04755);
        std::filesystem::create_symlink("../a.txt", dir / "src/bin/link");
        mcZrzPackage::Write(dir / "src", {"codec", "2.0", "main"}, dir / "p.zrz", eCompression);

        const std::string strMagic = fstest::ReadFile(dir / "p.zrz").substr(0, 3);
        EXPECT_EQ(strMagic, eCompression == mcZrzPackage::Compression::kGzip ? std::string("\x1f\x8b\x08")
                                                                             : std::string("\xfd\x37\x7a"));
        std::string strOutput;
        ASSERT_EQ(zrztest::Run({"/usr/bin/python3", "-c",
                                "import sys,tarfile\n"
                                "t=tarfile.open(sys.argv[1])\n"
                                "for m in t.getmembers():\n"
                                "  print(m.name, oct(m.mode), m.linkname or '', m.isreg() and t.extractfile(m).read().decode() or '')\n",
                                dir / "p.zrz"},
                               &strOutput),
                  0)
            << strOutput;
        EXPECT_EQ(strOutput,
                  "zrz.xml 0o644  <?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                  "<Package component=\"codec\" version=\"2.0\" manifest=\"main\"/>\n\n"
                  "files 0o755  \n"
                  "files/a.txt 0o644  alpha\n"
                  "files/bin 0o755  \n"
                  "files/bin/link 0o777 ../a.txt \n"
                  "files/bin/run 0o755  run\n");
    }
}

// Write refuses what the reader would refuse, and a refused package never
// replaces the output.
TEST(ZrzPackage, WriteRefusesUnpackableSourcesAndKeepsTheOutput) {
    struct Case {
        const char* pszName;
        void (*fnPrepare)(const std::string& strSource);
        mcZrzPackage::Descriptor descriptor;
        const char* pszError;
    };
    const Case cases[] = {
        {"fifo", [](const std::string& s) { ::mkfifo((s + "/pipe").c_str(), 0644); }, {"codec", "1", ""},
         "not a regular file, folder or symbolic link"},
        {"link out", [](const std::string& s) { std::filesystem::create_symlink("../../etc", s + "/l"); },
         {"codec", "1", ""}, "points out of the package"},
        {"unsafe name", [](const std::string&) {}, {"../codec", "1", ""}, "not a safe file name"},
        {"no version", [](const std::string&) {}, {"codec", "", ""}, "version"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pszName);
        fstest::TempDir dir;
        std::filesystem::create_directory(dir / "src");
        c.fnPrepare(dir / "src");
        fstest::WriteFile(dir / "p.zrz", "old");
        try {
            mcZrzPackage::Write(dir / "src", c.descriptor, dir / "p.zrz");
            ADD_FAILURE() << "written";
        } catch (const mcZrzPackage::Exception& e) {
            EXPECT_NE(e.Description().find(c.pszError), std::string::npos) << e.Description();
        }
        EXPECT_EQ(fstest::ReadFile(dir / "p.zrz"), "old");
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.Path()), {}), 2);
    }
}

TEST(ZrzPackage, DescriptorRules) {
    struct Case {
        const char* pszXml;
        const char* pszError;  // nullptr: accepted
    };
    const Case cases[] = {
        {"<Package component=\"c\" version=\"1\"/>", nullptr},
        {"<?xml version=\"1.0\" encoding=\"UTF-8\"?><Package component=\"c\" version=\"1\" manifest=\"m\"/>",
         nullptr},
        {"<Component component=\"c\" version=\"1\"/>", "is not \"Package\""},
        {"<Package version=\"1\"/>", "not a safe file name"},
        {"<Package component=\"..\" version=\"1\"/>", "not a safe file name"},
        {"<Package component=\"a/b\" version=\"1\"/>", "not a safe file name"},
        {"<Package component=\"c\"/>", "version"},
        {"<Package component=\"c\" version=\"1\">", "not well-formed"},
        {"<!DOCTYPE p [<!ENTITY x SYSTEM \"file:///etc/passwd\">]><Package component=\"&x;\" version=\"1\"/>",
         "zrz.xml"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pszXml);
        try {
            const mcZrzPackage::Descriptor d = mcZrzPackage::ParseDescriptor(c.pszXml);
            EXPECT_EQ(c.pszError, nullptr) << "accepted";
            EXPECT_EQ(d.strComponent, "c");
        } catch (const mcZrzPackage::Exception& e) {
            ASSERT_NE(c.pszError, nullptr) << e.Description();
            EXPECT_NE(e.Description().find(c.pszError), std::string::npos) << e.Description();
        }
    }
}

// Hostile archives: refused with a clear text, by Open and by the installer,
// and again by ExtractFiles when the file is swapped after Open; nothing
// outside the new folder changes and the previous installation stays.
class HostileArchiveTest : public ::testing::Test {
protected:
    struct Case {
        const char* pszName;
        const char* pszFormat;
        std::string strEntries;
        const char* pszError;
    };

    std::vector<Case> Cases() const {
        const std::string strOutside = m_dir / "outside";
        return {
            {"traversal", "tar.gz", Descriptor() + ",{\"name\":\"files/../../../outside/evil\",\"type\":\"file\",\"data\":\"x\"}",
             "path with '..'"},
            {"zip traversal", "zip", Descriptor() + ",{\"name\":\"files/../../outside/evil\",\"type\":\"file\",\"data\":\"x\"}",
             "path with '..'"},
            {"absolute", "tar", Descriptor() + ",{\"name\":\"" + strOutside + "/evil\",\"type\":\"file\",\"data\":\"x\"}",
             "absolute path"},
            {"link out", "tar.xz", Descriptor() + ",{\"name\":\"files/l\",\"type\":\"symlink\",\"target\":\"../../../outside\"}",
             "points out of the package"},
            {"absolute link", "tar", Descriptor() + ",{\"name\":\"files/l\",\"type\":\"symlink\",\"target\":\"" + strOutside + "\"}",
             "points out of the package"},
            {"file through link", "tar.zst",
             Descriptor() + ",{\"name\":\"files/sub\",\"type\":\"dir\"},{\"name\":\"files/l\",\"type\":\"symlink\",\"target\":\"sub\"}"
                            ",{\"name\":\"files/l/evil\",\"type\":\"file\",\"data\":\"x\"}",
             "lies below the symbolic link files/l"},
            {"hard link", "tar", Descriptor() + ",{\"name\":\"files/h\",\"type\":\"hardlink\",\"target\":\"" + strOutside + "/keep\"}",
             "hard link"},
            {"device", "tar", Descriptor() + ",{\"name\":\"files/null\",\"type\":\"chr\"}", "device node"},
            {"fifo", "tar.gz", Descriptor() + ",{\"name\":\"files/pipe\",\"type\":\"fifo\"}", "FIFO"},
            {"oversize entry", "tar.gz", Descriptor() + ",{\"name\":\"files/big\",\"type\":\"file\",\"size\":5000}",
             "larger than the limit of 4096 bytes"},
            {"oversize zip", "zip", Descriptor() + ",{\"name\":\"files/big\",\"type\":\"file\",\"size\":5000}",
             "larger than the limit of 4096 bytes"},
            {"oversize total", "tar", Descriptor() + ",{\"name\":\"files/a\",\"type\":\"file\",\"size\":3000}"
                                                     ",{\"name\":\"files/b\",\"type\":\"file\",\"size\":3000}",
             "larger than the limit of 5000 bytes"},
            {"outside files", "tar", Descriptor() + ",{\"name\":\"evil\",\"type\":\"file\",\"data\":\"x\"}",
             "outside \"files/\""},
            {"twice", "tar", Descriptor() + ",{\"name\":\"files/a\",\"type\":\"file\",\"data\":\"1\"}"
                                            ",{\"name\":\"./files/a\",\"type\":\"file\",\"data\":\"2\"}",
             "appears twice"},
            {"no descriptor", "tar.gz", "{\"name\":\"files/a\",\"type\":\"file\",\"data\":\"1\"}", "has no zrz.xml"},
            {"unsafe component", "tar", Descriptor("component=\\\"..\\\" version=\\\"1\\\"") , "not a safe file name"},
        };
    }

    static mcZrzPackage::Limits SmallLimits() {
        mcZrzPackage::Limits limits;
        limits.nMaxEntryBytes = 4096;
        limits.nMaxTotalBytes = 5000;
        return limits;
    }

    void SetUp() override {
        std::filesystem::create_directories(m_dir / "outside");
        fstest::WriteFile(m_dir / "outside/keep", "keep");
        std::filesystem::create_directories(m_dir / "components/codec");
        fstest::WriteFile(m_dir / "components/codec/old.txt", "version 1");
        std::filesystem::create_directories(m_dir / "hold/codec");
    }

    fstest::TempDir m_dir;
};

TEST_F(HostileArchiveTest, RefusedAndNothingChanges) {
    const mcZrzInstaller installer(m_dir / "components", SmallLimits());
    for (const Case& c : Cases()) {
        SCOPED_TRACE(c.pszName);
        const std::string strPackage = m_dir / "hold/codec/p.zrz";
        MakeArchive(strPackage, c.pszFormat, c.strEntries);
        const auto before = Snapshot(m_dir.Path());

        const mcZrzInstaller::Result result = installer.Install(strPackage);
        EXPECT_FALSE(result.bSuccess);
        EXPECT_NE(result.strErrorCode.find(c.pszError), std::string::npos) << result.strErrorCode;
        // The report still names the component: from the package's folder.
        EXPECT_EQ(result.strComponent, "codec");
        EXPECT_EQ(Snapshot(m_dir.Path()), before);

        // The same archive put in place of a good one after it was opened.
        const std::string strGood = m_dir / "good.zrz";
        MakeArchive(strGood, "tar", Descriptor() + ",{\"name\":\"files/ok\",\"type\":\"file\",\"data\":\"ok\"}");
        const mcZrzPackage package = mcZrzPackage::Open(strGood, SmallLimits());
        std::filesystem::rename(strPackage, strGood);
        const auto beforeExtract = Snapshot(m_dir.Path());
        std::filesystem::create_directory(m_dir / "target");
        EXPECT_THROW(package.ExtractFiles(m_dir / "target"), mcZrzPackage::Exception);
        std::filesystem::remove_all(m_dir / "target");
        EXPECT_EQ(Snapshot(m_dir.Path()), beforeExtract);
        std::filesystem::remove(strGood);
    }
}

// libarchive's own checks stand behind ours: a link already on disk in the
// target is never written through.
TEST_F(HostileArchiveTest, ExtractionNeverFollowsLinksAlreadyOnDisk) {
    MakeArchive(m_dir / "p.zrz", "tar", Descriptor() + ",{\"name\":\"files/l/evil\",\"type\":\"file\",\"data\":\"x\"}");
    const mcZrzPackage package = mcZrzPackage::Open(m_dir / "p.zrz");
    std::filesystem::create_directory(m_dir / "target");
    std::filesystem::create_directory_symlink(m_dir / "outside", m_dir / "target/l");
    EXPECT_THROW(package.ExtractFiles(m_dir / "target"), mcZrzPackage::Exception);
    EXPECT_FALSE(std::filesystem::exists(m_dir / "outside/evil"));
}

// Install replaces the previous installation whole; uninstall removes it and
// counts a missing one as removed; the report texts carry what the service
// reads.
TEST_F(HostileArchiveTest, InstallSwapsAndUninstallRemoves) {
    const mcZrzInstaller installer(m_dir / "components");
    const std::string strPackage = m_dir / "hold/codec/codec.zrz";
    MakeArchive(strPackage, "tar.gz",
                Descriptor("component=\\\"codec\\\" version=\\\"2\\\" manifest=\\\"main\\\"") +
                    ",{\"name\":\"files/new.txt\",\"type\":\"file\",\"data\":\"version 2\"}");
    const mcZrzInstaller::Result installed = installer.Install(strPackage);
    ASSERT_TRUE(installed.bSuccess) << installed.strErrorCode;
    EXPECT_EQ(installed.strInstallPath, m_dir / "components/codec");
    EXPECT_EQ(fstest::ReadFile(m_dir / "components/codec/new.txt"), "version 2");
    EXPECT_FALSE(std::filesystem::exists(m_dir / "components/codec/old.txt"));
    // The folder and the install's receipt, nothing else.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(m_dir / "components"), {}), 2);

    const std::string strText = mcZrzInstaller::InstallDataXml(installed, "codec.zrz");
    EXPECT_NE(strText.find("<InstallData name=\"codec\" version=\"2\">"), std::string::npos) << strText;
    EXPECT_NE(strText.find("<Install result=\"success\"/>"), std::string::npos) << strText;
    EXPECT_NE(strText.find("<Exe>codec.zrz</Exe>"), std::string::npos) << strText;
    EXPECT_NE(strText.find("<Cmdline>/uninstall</Cmdline>"), std::string::npos) << strText;

    // The first removal finds the package gone from the holding area and
    // goes by the receipt; the second has the package and nothing to remove.
    std::filesystem::rename(strPackage, m_dir / "aside.zrz");
    for (int i = 0; i < 2; ++i) {
        const mcZrzInstaller::Result removed = installer.Uninstall(strPackage);
        EXPECT_TRUE(removed.bSuccess) << removed.strErrorCode;
        EXPECT_EQ(removed.strVersion, "2");
        EXPECT_EQ(removed.strManifest, "main");
        EXPECT_TRUE(std::filesystem::is_empty(m_dir / "components"));
        if (i == 0) std::filesystem::rename(m_dir / "aside.zrz", strPackage);
    }
    const mcZrzInstaller relative("components");
    EXPECT_NE(relative.Install(strPackage).strErrorCode.find("not an absolute path"), std::string::npos);
    std::filesystem::remove(strPackage);
    EXPECT_NE(installer.Uninstall(strPackage).strErrorCode.find("cannot open the package"), std::string::npos);
}

}  // namespace
