// Settings paths: parsing, validation, mapping onto registry keys, and reading
// settings through them from a private registry file.
#include <gtest/gtest.h>

#include "support/ScratchMachine.h"
#include "support/TraceListener.h"
#include "registry/RegistryKey.h"
#include "support/RegistryTestSupport.h"
#include "registry/Settings.h"
#include "registry/SettingsPath.h"
#include "registry/mcSettingsRegImpl.h"

using core::registry::RegistryKey;
using core::settings::Path;
namespace reg = core::registry;

namespace {

const std::string kNetServices = "\\SYSTEM\\Tavrolin\\Tavrolin Jukebox\\4.0\\NetServices";

mcSettingsRegImpl::ValuePath Parse(const std::string& path, bool expectOk = true) {
    mcSettingsRegImpl::ValuePath result;
    EXPECT_EQ(mcSettingsRegImpl::ParseValuePath(path, result), expectOk) << path;
    return result;
}

template <class Exc, class Body>
std::string TextOf(Body&& body) {
    try {
        body();
    } catch (const Exc& exc) {
        return exc.what();
    }
    return "<no exception>";
}

}  // namespace

TEST(SettingsParseTest, RootWordsMapToRootsAndKeys) {
    auto all = Parse("\\USERS\\ALL\\A\\B");
    EXPECT_EQ(all.root, reg::kRootUsers);
    EXPECT_EQ(all.key, ".Default\\Software\\A");
    EXPECT_EQ(all.name, "B");

    auto sid = Parse("\\USERS\\S-1\\A\\B");
    EXPECT_EQ(sid.root, reg::kRootUsers);
    EXPECT_EQ(sid.key, "S-1\\A");
    EXPECT_EQ(sid.name, "B");

    auto system = Parse("\\system\\X\\V");
    EXPECT_EQ(system.root, reg::kRootLocalMachine);
    EXPECT_EQ(system.key, "Software\\X");
    EXPECT_EQ(system.name, "V");

    auto current = Parse("\\Users\\Current\\Tavrolin\\Deep\\Name");
    EXPECT_EQ(current.root, reg::kRootCurrentUser);
    EXPECT_EQ(current.key, "Software\\Tavrolin\\Deep");
    EXPECT_EQ(current.name, "Name");

    auto classes = Parse("\\CLASSES\\.zrz\\Content Type");
    EXPECT_EQ(classes.root, reg::kRootClassesRoot);
    EXPECT_EQ(classes.key, ".zrz");
    EXPECT_EQ(classes.name, "Content Type");

    for (const char* bad : {"\\SOFTWARE\\X\\V", "SYSTEM\\X\\V", "", "\\SYSTEMS\\X"}) {
        auto none = Parse(bad, false);
        EXPECT_EQ(none.root, 0);
        EXPECT_TRUE(none.key.empty());
        EXPECT_TRUE(none.name.empty());
    }
}

TEST(SettingsParseTest, UnknownRootReportsItsAssertion) {
    testsupport::ScratchMachine machine;
    TraceListener listener(machine.TraceSocketPath());
    ASSERT_TRUE(listener.IsBound());
    Parse("\\ELSEWHERE\\A\\B", false);
    std::optional<mcDiagTrace::Datagram> line;
    do {
        line = listener.ReceiveFrom("CORE");
    } while (line && line->command != mcDiagTrace::kCmdLine);
    ASSERT_TRUE(line);
    EXPECT_EQ(line->text,
              "Assertion failed,\"false\",mcSettingsRegImpl::ParseValuePath(),mcSettingsRegImpl.cpp(390)");
}

TEST(SettingsPathTest, AssignmentValidates) {
    EXPECT_EQ(TextOf<Path::PathException>([] { Path p("SYSTEM\\X"); }),
              "Path SYSTEM\\X is not absolute.");
    EXPECT_EQ(TextOf<Path::PathException>([] { Path p("\\SYSTEM\\X\\\\Y"); }),
              "Path \\SYSTEM\\X\\\\Y is not well-formed.");
    for (const char* bad : {"\\A*", "\\A?", "\\<A>", "\\A\\...\\B"}) {
        EXPECT_THROW(Path p(bad), Path::PathException) << bad;
    }
    try {
        Path p("relative");
        ADD_FAILURE() << "no exception";
    } catch (const core::settings::Exception& exc) {  // caught through the family root
        EXPECT_EQ(exc.Function(), "core::settings::Path::operator`='");
        EXPECT_EQ(exc.Line(), 254);
    }
    Path p("\\SYSTEM\\A");
    EXPECT_THROW(p = "\\SYSTEM\\\\", Path::PathException);
    EXPECT_EQ(p.Text(), "\\SYSTEM\\A");  // unchanged after a failed assignment
}

TEST(SettingsPathTest, RootsAndPhysicalKeys) {
    Path system(kNetServices + "\\PingTimeout");
    EXPECT_EQ(system.RootIndex(), 5);
    EXPECT_EQ(system.PhysicalKeyPath(),
              "SOFTWARE\\Tavrolin\\Tavrolin Jukebox\\4.0\\NetServices\\PingTimeout");
    EXPECT_EQ(system.PhysicalKeyPath(-1), "SOFTWARE\\Tavrolin\\Tavrolin Jukebox\\4.0\\NetServices");
    EXPECT_EQ(system.PhysicalKeyPath(2), "SOFTWARE\\Tavrolin");
    EXPECT_EQ(system.PhysicalKeyPath(1), "SOFTWARE");
    EXPECT_EQ(system.PhysicalKeyPath(0), "");
    EXPECT_EQ(system.PhysicalKeyPath(-99), "");
    EXPECT_EQ(system.LastComponent(), "PingTimeout");

    Path all("\\users\\all\\Tavrolin\\X");
    EXPECT_EQ(all.RootIndex(), 7);
    EXPECT_EQ(all.PhysicalKeyPath(), ".DEFAULT\\Software\\Tavrolin\\X");
    EXPECT_EQ(all.PhysicalKeyPath(1), "");  // "\users" alone has no root

    Path current("\\USERS\\CURRENT\\Tavrolin");
    EXPECT_EQ(current.RootIndex(), 3);
    EXPECT_EQ(current.PhysicalKeyPath(), "SOFTWARE\\Tavrolin");

    EXPECT_EQ(Path("\\USERS\\S-1\\X").RootIndex(), 0);
    EXPECT_EQ(Path("\\SYSTEMX\\A").RootIndex(), 0);
    EXPECT_EQ(Path("\\").LastComponent(), "");

    // ".." names the parent.
    Path parent("\\USERS\\CURRENT\\..\\..\\SYSTEM\\A\\..\\B");
    EXPECT_EQ(parent.RootIndex(), 5);
    EXPECT_EQ(parent.PhysicalKeyPath(), "SOFTWARE\\B");
    // The last component is the one PhysicalKeyPath(-1) leaves out.
    EXPECT_EQ(parent.LastComponent(), "B");
    EXPECT_EQ(Path("\\SYSTEM\\A\\B\\..").LastComponent(), "A");
    EXPECT_EQ(Path("\\SYSTEM\\A\\").LastComponent(), "A");
    EXPECT_EQ(Path("\\SYSTEM\\A\\").PhysicalKeyPath(-1), "SOFTWARE");

    EXPECT_EQ(core::settings::mfProductSettingsPath(core::settings::kRootSystem),
              "\\SYSTEM\\Tavrolin\\Tavrolin Jukebox\\4.0");
}

class SettingsRegistryTest : public RegistryTestBase {
protected:
    RegistryKey Create(std::int32_t root, const std::string& path) {
        return RegistryKey(root, "").CreateSubKey(path);
    }
};

TEST_F(SettingsRegistryTest, ValueInt32ReadsFourBytes) {
    RegistryKey net = Create(reg::kRootLocalMachine,
                             "Software\\Tavrolin\\Tavrolin Jukebox\\4.0\\NetServices");
    net.SetValueDWord("PingTimeout", 1500);
    net.SetValueDWord("Negative", 0xFFFFFFFFu);
    net.SetValueBinary("Short", std::string("\x07", 1));
    net.SetValueBinary("Long", std::string(8, '\x01'));

    EXPECT_EQ(mcSettingsRegImpl::ValueInt32(kNetServices + "\\PingTimeout"), 1500);
    EXPECT_EQ(mcSettingsRegImpl::ValueInt32(kNetServices + "\\pingtimeout"), 1500);
    EXPECT_EQ(mcSettingsRegImpl::ValueInt32(kNetServices + "\\Negative"), -1);
    EXPECT_EQ(mcSettingsRegImpl::ValueInt32(kNetServices + "\\Short"), 7);

    std::string missing = kNetServices + "\\Missing";
    EXPECT_EQ(TextOf<core::settings::Exception>([&] { mcSettingsRegImpl::ValueInt32(missing); }),
              "mcSettingsRegImpl::ValueInt32(" + missing + ") - return code 2");
    std::string noKey = "\\SYSTEM\\Nowhere\\Value";
    EXPECT_EQ(TextOf<core::settings::Exception>([&] { mcSettingsRegImpl::ValueInt32(noKey); }),
              "mcSettingsRegImpl::ValueInt32(" + noKey + ") - return code 2");
    EXPECT_EQ(TextOf<core::settings::Exception>(
                  [&] { mcSettingsRegImpl::ValueInt32("\\ELSEWHERE\\A\\B"); }),
              "mcSettingsRegImpl::ValueInt32(\\ELSEWHERE\\A\\B) - return code 0");
    EXPECT_EQ(TextOf<core::settings::Exception>(
                  [&] { mcSettingsRegImpl::ValueInt32(kNetServices + "\\Long"); }),
              "mcSettingsRegImpl::ValueInt32(" + kNetServices + "\\Long) - return code 234");
    try {
        mcSettingsRegImpl::ValueInt32(missing);
        ADD_FAILURE() << "no exception";
    } catch (const core::settings::Exception& exc) {
        EXPECT_EQ(exc.Function(), "mcSettingsRegImpl::ValueInt32");
        EXPECT_EQ(exc.Line(), 129);
    }
}

TEST_F(SettingsRegistryTest, PhysicalPathFindsKeysValuesAndFallsBack) {
    using core::settings::Setting;
    Create(reg::kRootLocalMachine, "Software\\Tavrolin\\Tavrolin Jukebox\\4.0\\NetServices")
        .SetValueDWord("PingTimeout", 1);
    Create(reg::kRootUsers, ".DEFAULT\\Software\\Tavrolin\\Shared").SetValueString("Skin", "blue");
    Create(reg::kRootCurrentUser, "Software\\Tavrolin\\Mine").SetValueString("Skin", "red");

    for (const char* root : {"\\", "\\SYSTEM", "\\users", "\\USERS\\ALL", "\\Users\\Current"}) {
        EXPECT_EQ(Setting::PhysicalPath(root), root);
    }
    EXPECT_EQ(Setting::PhysicalPath(kNetServices), kNetServices);  // a key
    EXPECT_EQ(Setting::PhysicalPath(kNetServices + "\\PingTimeout"),
              kNetServices + "\\PingTimeout");  // a value in the parent key
    EXPECT_EQ(Setting::PhysicalPath(kNetServices + "\\Other"), "");
    // A value named through ".." or with a trailing separator is still found
    // in the parent key.
    EXPECT_EQ(Setting::PhysicalPath(kNetServices + "\\PingTimeout\\X\\.."),
              kNetServices + "\\PingTimeout\\X\\..");
    EXPECT_EQ(Setting::PhysicalPath(kNetServices + "\\PingTimeout\\"), kNetServices + "\\PingTimeout\\");
    EXPECT_EQ(Setting::PhysicalPath("\\USERS\\CURRENT\\Tavrolin\\Mine\\Skin"),
              "\\USERS\\CURRENT\\Tavrolin\\Mine\\Skin");
    // The current user has no "Shared": the all-users setting is found.
    EXPECT_EQ(Setting::PhysicalPath("\\USERS\\CURRENT\\Tavrolin\\Shared\\Skin"),
              "\\USERS\\ALL\\Tavrolin\\Shared\\Skin");
    EXPECT_EQ(Setting::PhysicalPath("\\USERS\\CURRENT\\Tavrolin\\Nothing"), "");

    EXPECT_EQ(TextOf<Setting::PathException>([] { Setting::PhysicalPath("\\SYSTEM\\A\\\\B"); }),
              "Could not determine physical path for \\SYSTEM\\A\\\\B.");
    try {
        Setting::PhysicalPath("relative");
        ADD_FAILURE() << "no exception";
    } catch (const Setting::Exception& exc) {
        EXPECT_EQ(exc.Function(), "core::settings::Setting::PhysicalPath");
        EXPECT_EQ(exc.Line(), 2547);
    }

    EXPECT_TRUE(mcSettingsRegImpl::SettingExists(kNetServices + "\\PingTimeout"));
    EXPECT_TRUE(mcSettingsRegImpl::SettingExists("\\USERS\\CURRENT\\Tavrolin\\Shared\\Skin"));
    EXPECT_FALSE(mcSettingsRegImpl::SettingExists(kNetServices + "\\Other"));
    EXPECT_FALSE(mcSettingsRegImpl::SettingExists("SYSTEM\\Tavrolin"));
    EXPECT_FALSE(mcSettingsRegImpl::SettingExists("\\SYSTEM\\Tavrolin\\\\X"));
}
