// Registry keys over the SQLite file: types and sizes, names ignoring case,
// failure texts, the database file itself.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <fstream>
#include <iterator>
#include <thread>

#include "registry/RegistryKey.h"
#include "support/RegistryTestSupport.h"

using core::registry::RegistryKey;
namespace reg = core::registry;

namespace {

constexpr const char* kKey = "Software\\Tavrolin, Inc.\\componentMgr";

RegistryKey CreateKey(const std::string& path, std::int32_t root = reg::kRootLocalMachine) {
    RegistryKey rootKey(root, "");
    return rootKey.CreateSubKey(path);
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
}

// Runs body, which must throw Exc; returns the exception for inspection.
template <class Exc, class Body>
Exc Catch(Body&& body) {
    try {
        body();
    } catch (const Exc& exc) {
        return exc;
    }
    ADD_FAILURE() << "no exception of the expected type";
    return Exc("", "", 0, "");
}

}  // namespace

class RegistryKeyTest : public RegistryTestBase {};

TEST_F(RegistryKeyTest, ValueTypesKeepWindowsNumbersAndSizes) {
    RegistryKey key = CreateKey(kKey);
    key.SetValueString("AppPath", "/opt/app");
    key.SetValueString("Smile", "\xC3\xA9\xE2\x98\xBA");  // é U+263A: two UTF-16 units
    key.SetValueExpandString("Expand", "%HOME%/x");
    key.SetValueDWord("Interval", 0xDEADBEEF);
    key.SetValueBinary("Blob", std::string("\x00\x01\xFF", 3));
    key.SetValueMultiString("List", {"one", "zwei"});

    EXPECT_EQ(key.GetValueString("AppPath"), "/opt/app");
    EXPECT_EQ(key.GetValueTypeAndSize("AppPath").type, reg::REG_SZ);
    EXPECT_EQ(key.GetValueTypeAndSize("AppPath").size, (8u + 1u) * 2u);
    EXPECT_EQ(key.GetValueString("Smile"), "\xC3\xA9\xE2\x98\xBA");
    EXPECT_EQ(key.GetValueTypeAndSize("Smile").size, 6u);
    EXPECT_EQ(key.GetValueType("Expand"), reg::REG_EXPAND_SZ);
    EXPECT_EQ(key.GetValueString("Expand"), "%HOME%/x");  // never expanded
    EXPECT_EQ(key.GetValueDWord("Interval"), 0xDEADBEEFu);
    EXPECT_EQ(key.GetValue("Interval").data, std::string("\xEF\xBE\xAD\xDE", 4));
    EXPECT_EQ(key.GetValueBinary("Blob"), std::string("\x00\x01\xFF", 3));
    EXPECT_EQ(key.GetValueMultiString("List"), (std::vector<std::string>{"one", "zwei"}));
    // "one\0zwei\0\0" in UTF-16.
    EXPECT_EQ(key.GetValueTypeAndSize("List").size, (4u + 5u + 1u) * 2u);
    EXPECT_EQ(key.GetValueCount(), 6u);
}

TEST_F(RegistryKeyTest, StringSizesZeroAndExtraTerminators) {
    RegistryKey key = CreateKey(kKey);
    key.SetValue("Empty", reg::REG_SZ, "");
    EXPECT_EQ(key.GetValueString("Empty"), "");
    key.SetValue("Two", reg::REG_SZ, std::string("h\0i\0\0\0\0\0", 8));
    EXPECT_EQ(key.GetValueString("Two"), "hi");
    key.SetValue("Odd", reg::REG_SZ, std::string("h\0i\0\0", 5));
    EXPECT_EQ(key.GetValueString("Odd"), "hi");
    key.SetValueString("Blank", "");
    EXPECT_EQ(key.GetValueTypeAndSize("Blank").size, 2u);
    EXPECT_EQ(key.GetValueString("Blank"), "");
    // A multi-string ends at its first empty item.
    key.SetValue("Multi", reg::REG_MULTI_SZ, std::string("a\0\0\0\0\0b\0\0\0", 10));
    EXPECT_EQ(key.GetValueMultiString("Multi"), std::vector<std::string>{"a"});
}

TEST_F(RegistryKeyTest, NamesIgnoreCaseAndKeepIt) {
    CreateKey("Software\\Tavrolin, Inc.\\ComponentMgr\\\xC3\x84rger");  // Ärger
    RegistryKey key(reg::kRootLocalMachine, "SOFTWARE\\tavrolin, inc.\\COMPONENTMGR");
    key.SetValueString("AppPath", "first");
    key.SetValueString("APPPATH", "second");
    EXPECT_EQ(key.GetValueString("apppath"), "second");
    EXPECT_EQ(key.GetValueNames(), std::vector<std::string>{"AppPath"});
    EXPECT_EQ(key.GetSubKeyNames(), std::vector<std::string>{"\xC3\x84rger"});
    EXPECT_TRUE(RegistryKey::Exists(reg::kRootLocalMachine,
                                    "software\\TAVROLIN, INC.\\componentmgr\\\xC3\xA4RGER"));
    // Leading, trailing and doubled separators do not name other keys.
    EXPECT_TRUE(RegistryKey::Exists(reg::kRootLocalMachine, "\\software\\\\tavrolin, inc.\\componentmgr\\"));
    // Roots are separate.
    EXPECT_FALSE(RegistryKey::Exists(reg::kRootCurrentUser, kKey));
    EXPECT_TRUE(RegistryKey::ValueExists(reg::kRootLocalMachine, kKey, reg::KEY_READ, "APPpath"));
    EXPECT_FALSE(RegistryKey::ValueExists(reg::kRootLocalMachine, kKey, reg::KEY_READ, "Other"));
    EXPECT_FALSE(RegistryKey::ValueExists(reg::kRootLocalMachine, "Software\\Nope", reg::KEY_READ,
                                          "AppPath"));
}

TEST_F(RegistryKeyTest, TypeMismatchTexts) {
    RegistryKey key = CreateKey(kKey);
    key.SetValueString("S", "x");
    key.SetValueDWord("D", 7);

    auto dword = Catch<RegistryKey::ValueTypeException>([&] { key.GetValueDWord("S"); });
    EXPECT_STREQ(dword.what(), "Registry value type mismatch for value Software\\Tavrolin, "
                               "Inc.\\componentMgr\\S expected 4 got 1.");
    EXPECT_EQ(dword.Function(), "core::registry::RegistryKey::GetValueDWord");
    EXPECT_EQ(dword.Line(), 930);

    auto str = Catch<RegistryKey::ValueTypeException>([&] { key.GetValueString("D"); });
    EXPECT_STREQ(str.what(), "Registry value type mismatch for value Software\\Tavrolin, "
                             "Inc.\\componentMgr\\D expected 1 or 2 got 4.");
    EXPECT_EQ(str.Function(), "core::registry::RegistryKey::GetValueString");
    EXPECT_EQ(str.Line(), 1067);

    auto set = Catch<RegistryKey::ValueTypeException>([&] { key.SetValueString("D", "y"); });
    EXPECT_EQ(set.Function(), "core::registry::RegistryKey::SetValueString");
    EXPECT_EQ(set.Line(), 1355);
    EXPECT_EQ(key.GetValueDWord("D"), 7u);  // left alone

    EXPECT_THROW(key.GetValueBinary("S"), RegistryKey::ValueTypeException);
    EXPECT_THROW(key.GetValueMultiString("S"), RegistryKey::ValueTypeException);
    EXPECT_THROW(key.SetValueDWord("S", 1), RegistryKey::ValueTypeException);
}

TEST_F(RegistryKeyTest, MissingThingsReportTwo) {
    RegistryKey key = CreateKey(kKey);

    auto missing = Catch<RegistryKey::ValueException>([&] { key.GetValueDWord("Nope"); });
    EXPECT_STREQ(missing.what(),
                 "RegQueryValueEx(Software\\Tavrolin, Inc.\\componentMgr\\Nope) returned 2.");
    EXPECT_EQ(missing.Function(), "core::registry::RegistryKey::GetValueTypeAndSize");
    EXPECT_EQ(missing.Line(), 778);
    EXPECT_EQ(missing.ErrorCode(), 2u);

    auto type = Catch<RegistryKey::ValueException>([&] { key.GetValueType("Nope"); });
    EXPECT_EQ(type.Line(), 715);
    EXPECT_EQ(type.Function(), "core::registry::RegistryKey::GetValueType");

    auto del = Catch<RegistryKey::ValueException>([&] { key.DeleteValue("Nope"); });
    EXPECT_STREQ(del.what(),
                 "RegDeleteValue(Software\\Tavrolin, Inc.\\componentMgr\\Nope) returned 2.");
    EXPECT_EQ(del.Line(), 1515);

    auto open = Catch<RegistryKey::KeyException>(
        [&] { RegistryKey k(reg::kRootLocalMachine, "Software\\Missing"); });
    EXPECT_STREQ(open.what(), "Handle() exception.Software\\Missing");
    EXPECT_EQ(open.Function(), "core::registry::RegistryKey::Open");
    EXPECT_EQ(open.Line(), 1747);
    EXPECT_EQ(open.ErrorCode(), 2u);

    auto handle = Catch<RegistryKey::Handle::OpenException>(
        [&] { RegistryKey::Handle h(reg::kRootLocalMachine, "Software\\Missing", reg::KEY_READ); });
    EXPECT_STREQ(handle.what(), "RegOpenKeyEx(Software\\Missing) returned 2.");
    EXPECT_EQ(handle.Function(), "core::registry::RegistryKey::Handle::Handle");
    EXPECT_EQ(handle.Line(), 107);

    auto root = Catch<RegistryKey::KeyException>([&] { RegistryKey k(4, ""); });
    EXPECT_EQ(root.ErrorCode(), 6u);
}

TEST_F(RegistryKeyTest, AccessMaskIsEnforced) {
    CreateKey(kKey).SetValueString("AppPath", "x");
    RegistryKey readOnly(reg::kRootLocalMachine, kKey, reg::KEY_READ);
    EXPECT_EQ(readOnly.GetValueString("AppPath"), "x");

    auto write = Catch<RegistryKey::ValueException>([&] { readOnly.SetValueString("AppPath", "y"); });
    EXPECT_STREQ(write.what(),
                 "RegSetValueEx(Software\\Tavrolin, Inc.\\componentMgr\\AppPath) returned 5.");
    EXPECT_EQ(write.Line(), 1374);

    auto create = Catch<RegistryKey::KeyException>([&] { readOnly.CreateSubKey("Clients"); });
    EXPECT_STREQ(create.what(),
                 "RegCreateKeyEx(Software\\Tavrolin, Inc.\\componentMgr\\Clients) returned 5.");
    EXPECT_EQ(create.Line(), 1428);
    EXPECT_FALSE(RegistryKey::Exists(reg::kRootLocalMachine, std::string(kKey) + "\\Clients"));

    RegistryKey setOnly(reg::kRootLocalMachine, kKey, reg::KEY_SET_VALUE);
    EXPECT_THROW(setOnly.GetValueString("AppPath"), RegistryKey::ValueException);
    EXPECT_THROW(setOnly.GetValueCount(), RegistryKey::KeyException);
    EXPECT_EQ(readOnly.GetValueString("AppPath"), "x");
}

TEST_F(RegistryKeyTest, DeletedKeyReportsKeyDeleted) {
    RegistryKey key = CreateKey(std::string(kKey) + "\\Clients");
    key.SetValueString("Player", "1");
    RegistryKey::DeleteKey(reg::kRootLocalMachine, std::string(kKey) + "\\CLIENTS");
    CreateKey(std::string(kKey) + "\\Clients");  // a new key of the same name

    auto count = Catch<RegistryKey::KeyException>([&] { key.GetValueCount(); });
    EXPECT_STREQ(count.what(),
                 "RegQueryInfoKey(Software\\Tavrolin, Inc.\\componentMgr\\Clients) returned 1018.");
    EXPECT_EQ(count.Line(), 684);
    auto write = Catch<RegistryKey::ValueException>([&] { key.SetValueString("Other", "2"); });
    EXPECT_EQ(write.ErrorCode(), 1018u);
    EXPECT_EQ(Catch<RegistryKey::ValueException>([&] { key.GetValueString("Player"); }).ErrorCode(),
              1018u);

    key.Open();  // reopening finds the new, empty key
    EXPECT_EQ(key.GetValueCount(), 0u);
}

TEST_F(RegistryKeyTest, DeleteTreeTakesOnlyTheTree) {
    CreateKey("Software\\A\\B\\C").SetValueString("v", "1");
    CreateKey("Software\\A\\B2").SetValueString("v", "2");
    CreateKey("Software\\A\\BC");
    CreateKey("Software\\A\\B!");
    RegistryKey a(reg::kRootLocalMachine, "software\\a");
    a.DeleteSubKey("b");
    EXPECT_FALSE(RegistryKey::Exists(reg::kRootLocalMachine, "Software\\A\\B"));
    EXPECT_FALSE(RegistryKey::Exists(reg::kRootLocalMachine, "Software\\A\\B\\C"));
    EXPECT_EQ(a.GetSubKeyNames(), (std::vector<std::string>{"B!", "B2", "BC"}));
    EXPECT_EQ(RegistryKey(reg::kRootLocalMachine, "Software\\A\\B2").GetValueString("v"), "2");

    auto again = Catch<RegistryKey::KeyException>([&] { a.DeleteSubKey("B"); });
    EXPECT_EQ(again.ErrorCode(), 2u);
    EXPECT_STREQ(again.what(), "RegDeleteTree(software\\a\\B) returned 2.");
    // A root cannot be deleted.
    EXPECT_EQ(Catch<RegistryKey::KeyException>([&] {
                  RegistryKey::DeleteKey(reg::kRootLocalMachine, "\\");
              }).ErrorCode(),
              5u);
    RegistryKey::DeleteKey(reg::kRootLocalMachine, "Software\\A");
    EXPECT_FALSE(RegistryKey::Exists(reg::kRootLocalMachine, "Software\\A\\B2"));
    EXPECT_TRUE(RegistryKey::Exists(reg::kRootLocalMachine, "Software"));
}

TEST_F(RegistryKeyTest, DefaultValueAndRootKeys) {
    RegistryKey classes(reg::kRootClassesRoot, "");
    RegistryKey zrz = classes.CreateSubKey(".zrz");
    zrz.SetValueString("", "ZRPackage");
    EXPECT_EQ(RegistryKey(reg::kRootClassesRoot, ".ZRZ", reg::KEY_READ).GetValueString(""),
              "ZRPackage");
    classes.SetValueDWord("RootValue", 1);
    EXPECT_EQ(RegistryKey(reg::kRootClassesRoot, "\\").GetValueDWord("rootvalue"), 1u);
    EXPECT_FALSE(RegistryKey::ValueExists(reg::kRootUsers, "", reg::KEY_READ, "RootValue"));
}

TEST_F(RegistryKeyTest, MultiStringRejectsItemsThatWouldCutTheList) {
    RegistryKey key = CreateKey(kKey);
    EXPECT_EQ(Catch<RegistryKey::ValueException>([&] {
                  key.SetValueMultiString("L", {"a", "", "b"});
              }).ErrorCode(),
              87u);
    EXPECT_FALSE(RegistryKey::ValueExists(reg::kRootLocalMachine, kKey, reg::KEY_READ, "L"));
    key.SetValueMultiString("L", {});
    EXPECT_TRUE(key.GetValueMultiString("L").empty());
    // Text that is not UTF-8 cannot be stored as a string.
    EXPECT_EQ(Catch<RegistryKey::ValueException>([&] {
                  key.SetValueString("Bad", "\xFF\xFE");
              }).ErrorCode(),
              1113u);
}

TEST_F(RegistryKeyTest, DataLongerThanTheDatabaseTakesIsRefused) {
    RegistryKey key = CreateKey(kKey);
    // This thread's connection to the file, with a small length limit.
    sqlite3* db = core::registry::db::Acquire(m_strDb).Db();
    sqlite3_limit(db, SQLITE_LIMIT_LENGTH, 1000);
    auto big = Catch<RegistryKey::ValueException>(
        [&] { key.SetValueBinary("Big", std::string(2000, 'x')); });
    EXPECT_EQ(big.ErrorCode(), 87u);
    EXPECT_STREQ(big.what(), "RegSetValueEx(Software\\Tavrolin, Inc.\\componentMgr\\Big) returned 87.");
    EXPECT_FALSE(RegistryKey::ValueExists(reg::kRootLocalMachine, kKey, reg::KEY_READ, "Big"));
    key.SetValueBinary("Small", std::string(100, 'x'));
    EXPECT_EQ(key.GetValueBinary("Small"), std::string(100, 'x'));
}

TEST_F(RegistryKeyTest, GetOrSetKeepsTheFirstStoredText) {
    RegistryKey key = CreateKey(kKey);
    EXPECT_EQ(key.GetOrSetValueString("zruid", "AAA"), "AAA");
    EXPECT_EQ(key.GetOrSetValueString("ZRUID", "BBB"), "AAA");
    key.SetValueString("zruid", "");
    EXPECT_EQ(key.GetOrSetValueString("zruid", "CCC"), "CCC");
}

TEST_F(RegistryKeyTest, HandlesAreCounted) {
    long before = RegistryKey::Handle::OpenCount();
    {
        RegistryKey key = CreateKey(kKey);
        EXPECT_EQ(RegistryKey::Handle::OpenCount(), before + 1);
        key.Close();
        EXPECT_EQ(RegistryKey::Handle::OpenCount(), before);
        EXPECT_EQ(Catch<RegistryKey::ValueException>([&] { key.GetValueString("x"); }).ErrorCode(),
                  6u);
        key.Open();
        EXPECT_EQ(RegistryKey::Handle::OpenCount(), before + 1);
        EXPECT_TRUE(RegistryKey::Exists(reg::kRootLocalMachine, kKey));
        EXPECT_EQ(RegistryKey::Handle::OpenCount(), before + 1);
    }
    EXPECT_EQ(RegistryKey::Handle::OpenCount(), before);
}

TEST_F(RegistryKeyTest, ReadingNeverCreatesTheFile) {
    std::string nested = m_strDir + "/a/b/registry.db";
    core::registry::db::ScopedDatabasePath scope(nested);
    EXPECT_FALSE(RegistryKey::Exists(reg::kRootLocalMachine, kKey));
    EXPECT_FALSE(RegistryKey::ValueExists(reg::kRootLocalMachine, "", reg::KEY_READ, "x"));
    RegistryKey root(reg::kRootLocalMachine, "", reg::KEY_READ);  // the roots always exist
    EXPECT_EQ(root.GetValueCount(), 0u);
    EXPECT_TRUE(root.GetSubKeyNames().empty());
    EXPECT_EQ(Catch<RegistryKey::ValueException>([&] { root.GetValueString("x"); }).ErrorCode(), 2u);
    EXPECT_EQ(Catch<RegistryKey::KeyException>([&] {
                  RegistryKey::DeleteKey(reg::kRootLocalMachine, kKey);
              }).ErrorCode(),
              2u);
    EXPECT_FALSE(std::filesystem::exists(m_strDir + "/a"));
}

TEST_F(RegistryKeyTest, MissingFileIsCreatedWithItsFolder) {
    std::string nested = m_strDir + "/a/b/registry.db";
    core::registry::db::ScopedDatabasePath scope(nested);
    EXPECT_FALSE(RegistryKey::Exists(reg::kRootLocalMachine, "Software"));
    CreateKey(kKey).SetValueString("x", "y");
    EXPECT_TRUE(std::filesystem::exists(nested));

    // Removing the file behind a cached connection starts a new, empty file.
    std::filesystem::remove(nested);
    EXPECT_FALSE(RegistryKey::Exists(reg::kRootLocalMachine, kKey));
    CreateKey(kKey);
    EXPECT_TRUE(std::filesystem::exists(nested));
}

TEST_F(RegistryKeyTest, EnvironmentNamesTheFileWhenNoOverride) {
    std::string envDb = m_strDir + "/env.db";
    core::registry::db::ScopedDatabasePath none("");
    {
        testsupport::ScopedEnv env("KETTRIN_REGISTRY", envDb);
        EXPECT_EQ(core::registry::db::DatabasePath(), envDb);
        CreateKey("Software\\Env");
        EXPECT_TRUE(std::filesystem::exists(envDb));
    }
    testsupport::ScopedEnv unset("KETTRIN_REGISTRY", nullptr);
    EXPECT_EQ(core::registry::db::DatabasePath(), "/var/lib/tavrolin/registry.db");
}

TEST_F(RegistryKeyTest, FilesThatAreNotOursAreLeftAlone) {
    const std::string texts[] = {"this is a text file, not a database\n", "x",
                                 std::string("SQLite format 2\0 and more bytes", 31)};
    for (const std::string& content : texts) {
        core::registry::db::CloseThreadConnections();
        WriteFile(m_strDb, content);
        auto exc = Catch<RegistryKey::DatabaseException>(
            [&] { RegistryKey::Exists(reg::kRootLocalMachine, "Software"); });
        EXPECT_NE(std::string(exc.what()).find(m_strDb), std::string::npos) << exc.what();
        EXPECT_NE(std::string(exc.what()).find("not a SQLite database"), std::string::npos);
        EXPECT_THROW(CreateKey(kKey), RegistryKey::DatabaseException);
        EXPECT_EQ(ReadFile(m_strDb), content);
    }

    // A SQLite file of another program.
    std::filesystem::remove(m_strDb);
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(m_strDb.c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, "CREATE TABLE t(x); INSERT INTO t VALUES(42);", nullptr, nullptr,
                           nullptr),
              SQLITE_OK);
    sqlite3_close(db);
    std::string before = ReadFile(m_strDb);
    core::registry::db::CloseThreadConnections();
    auto exc = Catch<RegistryKey::DatabaseException>([&] { CreateKey(kKey); });
    EXPECT_NE(std::string(exc.what()).find("another program"), std::string::npos) << exc.what();
    EXPECT_EQ(ReadFile(m_strDb), before);
}

TEST_F(RegistryKeyTest, ThreadsEachUseTheirOwnConnection) {
    CreateKey(kKey);
    std::vector<std::thread> threads;
    std::atomic<int> failures{0};
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            try {
                RegistryKey key(reg::kRootLocalMachine, kKey);
                for (int i = 0; i < 50; ++i) {
                    std::string name = "t" + std::to_string(t) + "_" + std::to_string(i);
                    key.SetValueDWord(name, static_cast<std::uint32_t>(i));
                    if (key.GetValueDWord(name) != static_cast<std::uint32_t>(i)) ++failures;
                }
            } catch (const mcExc& exc) {
                ADD_FAILURE() << exc.what();
                ++failures;
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(RegistryKey(reg::kRootLocalMachine, kKey).GetValueCount(), 200u);
}
