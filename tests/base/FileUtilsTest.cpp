#include <elf.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "KettrinVersion.h"
#include "base/FileUtils.h"
#include "base/Win32Error.h"
#include "support/FsTestUtil.h"
#include "support/ScratchMachine.h"
#include "base/mcExc.h"
#include "base/mcWin32Exc.h"

namespace {

namespace fs = std::filesystem;
using fstest::ReadFile;
using TempDir = testsupport::ScratchMachine;
using fstest::WriteFile;

constexpr const char* kSizeFailed = "call to ::GetFileVersionInfoSize() (to retrieve size) failed!";
constexpr const char* kInfoFailed = "call to ::GetFileVersionInfoSize() (to retrieve info) failed!";

std::vector<std::string> ListNames(const std::string& dir) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir)) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// ---------------------------------------------------------------------------
// Directories and sizes

TEST(FileUtils, CreateDirectoriesMakesEveryLevel) {
    TempDir tmp;
    const std::string deep = tmp / "a/b/c/d";
    EXPECT_TRUE(mfCreateDirectories(deep));
    EXPECT_TRUE(fs::is_directory(deep));
    EXPECT_TRUE(mfCreateDirectories(deep));          // already there
    EXPECT_TRUE(mfCreateDirectories(tmp / "a/x/"));  // trailing separator
    EXPECT_TRUE(fs::is_directory(tmp / "a/x"));
    EXPECT_FALSE(mfCreateDirectories(""));
}

TEST(FileUtils, CreateDirectoriesFailsWhenAFileIsInTheWay) {
    TempDir tmp;
    WriteFile(tmp / "file", "x");
    EXPECT_FALSE(mfCreateDirectories(tmp / "file"));
    EXPECT_EQ(mfGetLastError(), ERROR_ALREADY_EXISTS);
    EXPECT_FALSE(mfCreateDirectories(tmp / "file/below"));
    EXPECT_EQ(ReadFile(tmp / "file"), "x");
}

TEST(FileUtils, DeleteDirectoryTreeRemovesEverythingButNeverFollowsLinks) {
    TempDir tmp;
    const std::string outside = tmp / "outside";
    ASSERT_TRUE(mfCreateDirectories(outside));
    WriteFile(outside + "/keep.txt", "keep");

    const std::string tree = tmp / "tree";
    ASSERT_TRUE(mfCreateDirectories(tree + "/a/b/c"));
    ASSERT_TRUE(mfCreateDirectories(tree + "/empty"));
    WriteFile(tree + "/top.txt", "1");
    WriteFile(tree + "/.hidden", "2");
    WriteFile(tree + "/a/b/c/deep.bin", "3");
    fs::create_directory_symlink(outside, tree + "/a/link-to-outside");
    fs::create_symlink(outside + "/keep.txt", tree + "/file-link");

    EXPECT_TRUE(mfDeleteDirectoryTree(tree));
    EXPECT_FALSE(fs::exists(tree));
    EXPECT_EQ(ReadFile(outside + "/keep.txt"), "keep");

    // Not a directory: a file, a missing path, a link to a directory.
    WriteFile(tmp / "f", "x");
    EXPECT_FALSE(mfDeleteDirectoryTree(tmp / "f"));
    EXPECT_FALSE(mfDeleteDirectoryTree(tmp / "missing"));
    fs::create_directory_symlink(outside, tmp / "dirlink");
    EXPECT_FALSE(mfDeleteDirectoryTree(tmp / "dirlink"));
    EXPECT_TRUE(fs::exists(outside + "/keep.txt"));
}

TEST(FileUtils, FileSize) {
    TempDir tmp;
    WriteFile(tmp / "five", "12345");
    WriteFile(tmp / "empty", "");
    EXPECT_EQ(mfFileGetSize(tmp / "five"), 5);
    EXPECT_EQ(mfFileGetSize(tmp / "empty"), 0);
    EXPECT_EQ(mfFileGetSize(tmp.Path()), 0);
    EXPECT_EQ(mfFileGetSize(tmp / "missing"), -1);
}

// ---------------------------------------------------------------------------
// mfUCharVecToFile

TEST(FileUtils, UCharVecToFileCreatesFoldersAppendsAndTruncates) {
    TempDir tmp;
    const std::string path = tmp / "new/folders/out.bin";
    mfUCharVecToFile({'a', 'b', 0, 'c'}, path, false);
    EXPECT_EQ(ReadFile(path), std::string("ab\0c", 4));
    mfUCharVecToFile({'d'}, path, true);
    EXPECT_EQ(ReadFile(path), std::string("ab\0cd", 5));
    mfUCharVecToFile({'z'}, path, false);
    EXPECT_EQ(ReadFile(path), "z");
    mfUCharVecToFile({}, path, false);
    EXPECT_EQ(ReadFile(path), "");
}

TEST(FileUtils, UCharVecToFileThrowsWhenTheFileCannotBeOpened) {
    TempDir tmp;
    ASSERT_TRUE(mfCreateDirectories(tmp / "dir"));
    try {
        mfUCharVecToFile({'x'}, tmp / "dir", false);
        FAIL() << "no exception";
    } catch (const mcExc& e) {
        EXPECT_EQ(e.Function(), "mfFileSaveUCharVec");
        EXPECT_EQ(e.Description(), "mfUCharVecToFile: couldn't open source file");
        EXPECT_EQ(e.Line(), 2263);
    }
    EXPECT_TRUE(fs::is_directory(tmp / "dir"));
}

// ---------------------------------------------------------------------------
// File versions

struct Version {
    std::uint32_t major = 0, minor = 0, build = 0, revision = 0;
    bool operator==(const Version&) const = default;
};

Version ReadVersion(const std::string& path) {
    Version v;
    mfFileGetFileVersion(path, &v.major, &v.minor, &v.build, &v.revision);
    return v;
}

// Expects mcWin32Exc with the given description start from mfFileGetFileVersion.
void ExpectVersionFailure(const std::string& path, const std::string& description) {
    try {
        ReadVersion(path);
        ADD_FAILURE() << "no exception for " << path;
    } catch (const mcWin32Exc& e) {
        EXPECT_EQ(e.Function(), "mfFileGetFileVersion");
        EXPECT_EQ(e.Description().rfind(description, 0), 0u) << e.Description();
        // Each of the two texts has its fixed line.
        EXPECT_EQ(e.Line(), description == kSizeFailed ? 710 : 734) << e.Description();
    }
}

void Append(std::string& out, const void* data, std::size_t size) {
    out.append(static_cast<const char*>(data), size);
}

void Append32(std::string& out, std::uint32_t v) { Append(out, &v, sizeof(v)); }

// Note area: a GNU note first, then ours (descSize words taken from numbers).
std::string MakeNotes(std::uint32_t descSize, std::uint32_t firstNameSize = 4) {
    std::string notes;
    Append32(notes, firstNameSize);
    Append32(notes, 4);
    Append32(notes, NT_GNU_ABI_TAG);
    Append(notes, "GNU\0", 4);
    Append32(notes, 0);
    Append32(notes, 8);
    Append32(notes, descSize);
    Append32(notes, 1);
    Append(notes, "Kettrin\0", 8);
    for (std::uint32_t i = 0; i < descSize / 4; ++i) Append32(notes, 2 + i);
    return notes;
}

struct ElfOptions {
    std::string notes = MakeNotes(16);
    bool useSections = false;  // notes only in a section, no program headers
    std::uint64_t phoff = sizeof(Elf64_Ehdr);
    std::uint16_t phnum = 1;
    std::uint64_t noteSizeDelta = 0;  // added to the note area's size
    std::uint16_t shnum = 2;
    std::uint64_t section0Size = 0;
};

// A minimal ELF64 file carrying the note area of options.
std::string MakeElf64(const ElfOptions& o) {
    Elf64_Ehdr eh{};
    std::memcpy(eh.e_ident, ELFMAG, SELFMAG);
    eh.e_ident[EI_CLASS] = ELFCLASS64;
    eh.e_ident[EI_DATA] = ELFDATA2LSB;
    eh.e_ident[EI_VERSION] = EV_CURRENT;
    eh.e_type = ET_EXEC;
    eh.e_machine = EM_X86_64;
    eh.e_version = EV_CURRENT;
    eh.e_ehsize = sizeof(Elf64_Ehdr);
    const std::uint64_t notesOffset = sizeof(Elf64_Ehdr) + sizeof(Elf64_Phdr);
    const std::uint64_t shOffset = notesOffset + o.notes.size();
    if (o.useSections) {
        eh.e_shoff = shOffset;
        eh.e_shentsize = sizeof(Elf64_Shdr);
        eh.e_shnum = o.shnum;
    } else {
        eh.e_phoff = o.phoff;
        eh.e_phentsize = sizeof(Elf64_Phdr);
        eh.e_phnum = o.phnum;
    }
    Elf64_Phdr ph{};
    ph.p_type = PT_NOTE;
    ph.p_offset = notesOffset;
    ph.p_filesz = o.notes.size() + o.noteSizeDelta;
    ph.p_align = 4;
    std::string file;
    Append(file, &eh, sizeof(eh));
    Append(file, &ph, sizeof(ph));
    file += o.notes;
    if (o.useSections) {
        Elf64_Shdr null{};
        null.sh_size = o.section0Size;
        Elf64_Shdr note{};
        note.sh_type = SHT_NOTE;
        note.sh_offset = notesOffset;
        note.sh_size = o.notes.size();
        note.sh_addralign = 4;
        Append(file, &null, sizeof(null));
        Append(file, &note, sizeof(note));
    }
    return file;
}

std::string MakeElf32() {
    Elf32_Ehdr eh{};
    std::memcpy(eh.e_ident, ELFMAG, SELFMAG);
    eh.e_ident[EI_CLASS] = ELFCLASS32;
    eh.e_ident[EI_DATA] = ELFDATA2LSB;
    eh.e_ident[EI_VERSION] = EV_CURRENT;
    eh.e_type = ET_EXEC;
    eh.e_machine = EM_386;
    eh.e_version = EV_CURRENT;
    eh.e_ehsize = sizeof(Elf32_Ehdr);
    eh.e_phoff = sizeof(Elf32_Ehdr);
    eh.e_phentsize = sizeof(Elf32_Phdr);
    eh.e_phnum = 1;
    const std::string notes = MakeNotes(16);
    Elf32_Phdr ph{};
    ph.p_type = PT_NOTE;
    ph.p_offset = sizeof(Elf32_Ehdr) + sizeof(Elf32_Phdr);
    ph.p_filesz = static_cast<Elf32_Word>(notes.size());
    ph.p_align = 4;
    std::string file;
    Append(file, &eh, sizeof(eh));
    Append(file, &ph, sizeof(ph));
    return file + notes;
}

const Version kCrafted{2, 3, 4, 5};

TEST(FileVersion, OwnTestProgramCarriesTheBuildVersion) {
    const Version expected{KETTRIN_VERSION_MAJOR, KETTRIN_VERSION_MINOR, KETTRIN_VERSION_PATCH,
                           KETTRIN_VERSION_TWEAK};
    EXPECT_EQ(ReadVersion("/proc/self/exe"), expected);
    // Every out-argument may be absent.
    std::uint32_t revision = 0;
    mfFileGetFileVersion("/proc/self/exe", nullptr, nullptr, nullptr, &revision);
    EXPECT_EQ(revision, expected.revision);
}

TEST(FileVersion, MissingFileOrDirectory) {
    TempDir tmp;
    for (const std::string& path : {tmp / "missing", tmp.Path()}) {
        try {
            ReadVersion(path);
            ADD_FAILURE() << "no exception";
        } catch (const mcWin32Exc&) {
            ADD_FAILURE() << "wrong exception type";
        } catch (const mcExc& e) {
            EXPECT_EQ(e.Function(), "mfFileGetFileVersion");
            EXPECT_EQ(e.Description(), "The file " + path + " does not exist.");
            EXPECT_EQ(e.Line(), 699);
        }
    }
}

TEST(FileVersion, FilesWithoutTheNote) {
    TempDir tmp;
    WriteFile(tmp / "text", "just text, no ELF");
    WriteFile(tmp / "empty", "");
    ExpectVersionFailure(tmp / "text", kSizeFailed);
    ExpectVersionFailure(tmp / "empty", kSizeFailed);
    ExpectVersionFailure("/bin/sh", kSizeFailed);  // an ELF program that is not ours
    EXPECT_EQ(mfGetLastError(), 1813u);
}

TEST(FileVersion, CraftedFiles) {
    TempDir tmp;
    const std::string path = tmp / "elf";
    WriteFile(path, MakeElf64({}));
    EXPECT_EQ(ReadVersion(path), kCrafted);
    WriteFile(path, MakeElf32());
    EXPECT_EQ(ReadVersion(path), kCrafted);
    ElfOptions sections;
    sections.useSections = true;
    WriteFile(path, MakeElf64(sections));
    EXPECT_EQ(ReadVersion(path), kCrafted);
}

TEST(FileVersion, HostileHeadersFailCleanly) {
    TempDir tmp;
    const std::string path = tmp / "elf";
    struct Case {
        const char* name;
        ElfOptions options;
        const char* expected;
    };
    std::vector<Case> cases;
    {
        ElfOptions o;
        o.notes = MakeNotes(8);
        cases.push_back({"short descriptor", o, kInfoFailed});
    }
    {
        ElfOptions o;
        o.notes = MakeNotes(16);
        o.notes.resize(o.notes.size() - 4);
        cases.push_back({"descriptor cut off", o, kInfoFailed});
    }
    {
        ElfOptions o;
        o.phoff = 1u << 30;
        cases.push_back({"program headers beyond the end", o, kSizeFailed});
    }
    {
        ElfOptions o;
        o.phoff = ~std::uint64_t{0} - 8;
        cases.push_back({"offset that overflows", o, kSizeFailed});
    }
    {
        ElfOptions o;
        o.phnum = 0xFFFF;
        cases.push_back({"too many program headers", o, kSizeFailed});
    }
    {
        ElfOptions o;
        o.noteSizeDelta = 1ull << 40;
        cases.push_back({"note area larger than the file", o, kSizeFailed});
    }
    {
        ElfOptions o;
        o.notes = MakeNotes(16, 0xFFFFFFFFu);
        cases.push_back({"huge name size", o, kSizeFailed});
    }
    {
        ElfOptions o;
        o.useSections = true;
        o.shnum = 0;
        o.section0Size = 1ull << 40;
        cases.push_back({"extended section count", o, kSizeFailed});
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        WriteFile(path, MakeElf64(c.options));
        ExpectVersionFailure(path, c.expected);
    }
}

TEST(FileVersion, NoteAreasNamedOverAndOverAreReadOnlyWithinABudget) {
    // 65535 program headers that all name one 1 MiB area of foreign notes,
    // then a section holding our note. Walking every named area took minutes
    // (and then found the note); the reader now stops at its budget of note
    // bytes and reports the file as one without a version.
    TempDir tmp;
    const std::string path = tmp / "elf";
    constexpr std::uint16_t kHeaders = 0xFFFF;
    constexpr std::uint64_t kAreaBytes = 1u << 20;
    const std::uint64_t areaOffset = sizeof(Elf64_Ehdr) + std::uint64_t{kHeaders} * sizeof(Elf64_Phdr);
    const std::string ourNotes = MakeNotes(16);
    const std::uint64_t ourOffset = areaOffset + kAreaBytes;
    const std::uint64_t shOffset = ourOffset + ourNotes.size();

    Elf64_Ehdr eh{};
    std::memcpy(eh.e_ident, ELFMAG, SELFMAG);
    eh.e_ident[EI_CLASS] = ELFCLASS64;
    eh.e_ident[EI_DATA] = ELFDATA2LSB;
    eh.e_ident[EI_VERSION] = EV_CURRENT;
    eh.e_type = ET_EXEC;
    eh.e_machine = EM_X86_64;
    eh.e_version = EV_CURRENT;
    eh.e_ehsize = sizeof(Elf64_Ehdr);
    eh.e_phoff = sizeof(Elf64_Ehdr);
    eh.e_phentsize = sizeof(Elf64_Phdr);
    eh.e_phnum = kHeaders;
    eh.e_shoff = shOffset;
    eh.e_shentsize = sizeof(Elf64_Shdr);
    eh.e_shnum = 2;
    Elf64_Phdr ph{};
    ph.p_type = PT_NOTE;
    ph.p_offset = areaOffset;
    ph.p_filesz = kAreaBytes;
    ph.p_align = 4;
    std::string file;
    Append(file, &eh, sizeof(eh));
    for (std::uint32_t i = 0; i < kHeaders; ++i) Append(file, &ph, sizeof(ph));
    std::string area;
    while (area.size() + 12 <= kAreaBytes) {
        Append32(area, 0);  // no name, no descriptor
        Append32(area, 0);
        Append32(area, 7);
    }
    area.resize(kAreaBytes, '\0');
    file += area;
    file += ourNotes;
    Elf64_Shdr null{};
    Elf64_Shdr note{};
    note.sh_type = SHT_NOTE;
    note.sh_offset = ourOffset;
    note.sh_size = ourNotes.size();
    note.sh_addralign = 4;
    Append(file, &null, sizeof(null));
    Append(file, &note, sizeof(note));
    WriteFile(path, file);

    ExpectVersionFailure(path, kSizeFailed);

    // The same note in a file that names it once is found.
    ElfOptions plain;
    plain.notes = ourNotes;
    WriteFile(path, MakeElf64(plain));
    EXPECT_EQ(ReadVersion(path), kCrafted);
}

TEST(FileVersion, CorruptedAndTruncatedFilesNeverCrash) {
    TempDir tmp;
    const std::string path = tmp / "elf";
    // Every byte of a crafted file set to a few values: either the version or
    // an exception, nothing else.
    const std::string good = MakeElf64({});
    int nFound = 0;
    int nFailed = 0;
    for (std::size_t i = 0; i < good.size(); ++i) {
        for (const unsigned char value : {0x00, 0x7F, 0x80, 0xFF}) {
            std::string bad = good;
            bad[i] = static_cast<char>(value);
            WriteFile(path, bad);
            try {
                ReadVersion(path);
                ++nFound;
            } catch (const mcExc&) {
                ++nFailed;
            }
        }
    }
    EXPECT_GT(nFound, 0);
    EXPECT_GT(nFailed, 0);

    // Our own program cut short at many lengths.
    const std::string self = ReadFile("/proc/self/exe");
    ASSERT_GT(self.size(), 4096u);
    for (const std::size_t length : {std::size_t{0}, std::size_t{4}, std::size_t{63}, std::size_t{64},
                                     std::size_t{200}, std::size_t{1000}, std::size_t{4096}, self.size() / 2,
                                     self.size() - 1}) {
        WriteFile(path, self.substr(0, length));
        try {
            const Version v = ReadVersion(path);
            EXPECT_EQ(v, (Version{KETTRIN_VERSION_MAJOR, KETTRIN_VERSION_MINOR, KETTRIN_VERSION_PATCH,
                                  KETTRIN_VERSION_TWEAK}));
        } catch (const mcExc&) {
            EXPECT_LT(length, self.size() / 2) << "the note lies near the start of the file";
        }
    }
}

// ---------------------------------------------------------------------------
// mfWriteFileAtomic

TEST(AtomicWrite, CreatesAndReplacesKeepingPermissionsAndNoLeftovers) {
    TempDir tmp;
    const std::string path = tmp / "config.xml";
    ASSERT_TRUE(mfWriteFileAtomic(path, std::string("first")));
    EXPECT_EQ(ReadFile(path), "first");
    ASSERT_EQ(chmod(path.c_str(), 0640), 0);
    ASSERT_TRUE(mfWriteFileAtomic(path, std::vector<unsigned char>{'s', 'e', 'c', 0}));
    EXPECT_EQ(ReadFile(path), std::string("sec\0", 4));
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(ListNames(tmp.Path()), std::vector<std::string>{"config.xml"});
    ASSERT_TRUE(mfWriteFileAtomic(path, std::string()));
    EXPECT_EQ(ReadFile(path), "");
}

TEST(AtomicWrite, FailureLeavesTheTargetAndNoTemporaryFile) {
    TempDir tmp;
    // The target is a directory: the rename must fail.
    const std::string dir = tmp / "target";
    ASSERT_TRUE(mfCreateDirectories(dir));
    WriteFile(dir + "/inside", "old");
    EXPECT_FALSE(mfWriteFileAtomic(dir, std::string("new")));
    EXPECT_NE(mfGetLastError(), 0u);
    EXPECT_TRUE(fs::is_directory(dir));
    EXPECT_EQ(ReadFile(dir + "/inside"), "old");
    EXPECT_EQ(ListNames(tmp.Path()), std::vector<std::string>{"target"});
    // The folder does not exist.
    EXPECT_FALSE(mfWriteFileAtomic(tmp / "nofolder/file", std::string("x")));
    EXPECT_EQ(mfGetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(mfWriteFileAtomic(tmp.Path() + "/", std::string("x")));
}

TEST(AtomicWrite, ReadOnlyFolderKeepsTheOldFile) {
    if (geteuid() == 0) GTEST_SKIP() << "root writes into read-only folders";
    TempDir tmp;
    const std::string dir = tmp / "ro";
    ASSERT_TRUE(mfCreateDirectories(dir));
    const std::string path = dir + "/file";
    ASSERT_TRUE(mfWriteFileAtomic(path, std::string("old")));
    ASSERT_EQ(chmod(dir.c_str(), 0555), 0);
    EXPECT_FALSE(mfWriteFileAtomic(path, std::string("new")));
    EXPECT_EQ(mfGetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_EQ(ReadFile(path), "old");
    chmod(dir.c_str(), 0755);
}

TEST(AtomicWrite, ConcurrentWritersNeverMixContent) {
    TempDir tmp;
    const std::string path = tmp / "shared";
    const std::string a(64 * 1024, 'a');
    const std::string b(48 * 1024, 'b');
    std::thread ta([&] {
        for (int i = 0; i < 40; ++i) EXPECT_TRUE(mfWriteFileAtomic(path, a));
    });
    std::thread tb([&] {
        for (int i = 0; i < 40; ++i) EXPECT_TRUE(mfWriteFileAtomic(path, b));
    });
    for (int i = 0; i < 100; ++i) {
        const std::string content = ReadFile(path);
        EXPECT_TRUE(content.empty() || content == a || content == b);  // empty: not created yet
    }
    ta.join();
    tb.join();
    const std::string final = ReadFile(path);
    EXPECT_TRUE(final == a || final == b);
    EXPECT_EQ(ListNames(tmp.Path()), std::vector<std::string>{"shared"});
}

// A producer that fails part-way (a broken download, a read error) costs
// nothing: the old file stays and no temporary is left.
TEST(AtomicWrite, FailingProducerLeavesTheOldFile) {
    TempDir tmp;
    const std::string path = tmp / "package.zrz";
    ASSERT_TRUE(mfWriteFileAtomic(path, std::string("old")));
    const bool bOk = mfWriteFileAtomicWith(path, [](int fd) {
        EXPECT_EQ(write(fd, "partial", 7), 7);
        errno = ENOSPC;
        return false;
    });
    EXPECT_FALSE(bOk);
    EXPECT_EQ(errno, ENOSPC);
    EXPECT_EQ(mfGetLastError(), static_cast<std::uint32_t>(ERROR_DISK_FULL));
    EXPECT_EQ(ReadFile(path), "old");
    EXPECT_EQ(ListNames(tmp.Path()), std::vector<std::string>{"package.zrz"});
}

// mfCopyFileAtomic: a complete copy or the old target, never a part; only
// regular files are copied, and a FIFO never blocks the caller.
TEST(AtomicWrite, CopyReplacesOnlyWithACompleteCopyOfARegularFile) {
    TempDir tmp;
    std::string big(300 * 1024 + 17, '\0');
    for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 31 + 7);
    WriteFile(tmp / "source", big);
    const std::string target = tmp / "target";
    WriteFile(target, "old");
    ASSERT_EQ(chmod(target.c_str(), 0640), 0);
    ASSERT_TRUE(mfCopyFileAtomic(tmp / "source", target));
    EXPECT_EQ(ReadFile(target), big);
    struct stat st {};
    ASSERT_EQ(stat(target.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);

    ASSERT_EQ(mkfifo((tmp / "fifo").c_str(), 0600), 0);
    ASSERT_TRUE(mfCreateDirectories(tmp / "folder"));
    WriteFile(target, "old");
    const struct {
        std::string source;
        std::uint32_t error;
    } refused[] = {
        {tmp / "missing", ERROR_FILE_NOT_FOUND},
        {tmp / "fifo", ERROR_INVALID_PARAMETER},
        {tmp / "folder", 0},
    };
    for (const auto& item : refused) {
        EXPECT_FALSE(mfCopyFileAtomic(item.source, target)) << item.source;
        if (item.error != 0) {
            EXPECT_EQ(mfGetLastError(), item.error) << item.source;
        }
        EXPECT_EQ(ReadFile(target), "old") << item.source;
    }
    // The target's folder is missing: nothing is made.
    EXPECT_FALSE(mfCopyFileAtomic(tmp / "source", tmp / "nofolder/target"));
    EXPECT_EQ(ListNames(tmp.Path()), (std::vector<std::string>{"fifo", "folder", "source", "target"}));
}

}  // namespace
