// kettrinctl reg, run as the real program against a private registry file.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "registry/RegistryDatabase.h"
#include "registry/RegistryKey.h"
#include "support/RegistryTestSupport.h"

using core::registry::RegistryKey;
namespace reg = core::registry;

namespace {

constexpr const char* kKey = "HKLM\\software\\Tavrolin, Inc.\\componentMgr";

struct Result {
    int code = -1;
    std::string out;
    std::string err;
};

class RegCommandTest : public RegistryTestBase {
protected:
    // Runs kettrinctl reg ARGS; it finds the test's file through the
    // machine's KETTRIN_REGISTRY.
    Result Reg(std::vector<std::string> args) {
        args.insert(args.begin(), "reg");
        args.insert(args.begin(), "kettrinctl");
        int out[2], err[2];
        if (::pipe(out) != 0 || ::pipe(err) != 0) return {};
        pid_t pid = ::fork();
        if (pid == 0) {
            ::dup2(out[1], STDOUT_FILENO);
            ::dup2(err[1], STDERR_FILENO);
            ::close(out[0]);
            ::close(err[0]);
            std::vector<char*> argv;
            for (auto& a : args) argv.push_back(a.data());
            argv.push_back(nullptr);
            ::execv(KETTRIN_BINARY_DIR "/src/kettrinctl", argv.data());
            ::_exit(127);
        }
        ::close(out[1]);
        ::close(err[1]);
        Result result;
        pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
        int open = 2;
        while (open > 0 && ::poll(fds, 2, 10000) > 0) {
            for (int i = 0; i < 2; ++i) {
                if (fds[i].fd < 0 || fds[i].revents == 0) continue;
                char buffer[4096];
                ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
                if (n <= 0) {
                    ::close(fds[i].fd);
                    fds[i].fd = -1;
                    --open;
                } else {
                    (i == 0 ? result.out : result.err).append(buffer, static_cast<std::size_t>(n));
                }
            }
        }
        int status = 0;
        ::waitpid(pid, &status, 0);
        result.code = WIFEXITED(status) ? WEXITSTATUS(status) : 128;
        return result;
    }

    void ExpectOk(const std::vector<std::string>& args) {
        Result r = Reg(args);
        EXPECT_EQ(r.code, 0) << r.err;
    }
};

}  // namespace

TEST_F(RegCommandTest, SetAndQueryEveryType) {
    ExpectOk({"set", kKey, "AppPath", "sz", "/srv/cm \xC3\xA9"});
    ExpectOk({"set", kKey, "Path", "expand_sz", "%HOME%/x"});
    ExpectOk({"set", kKey, "Hex", "dword", "0xFFFFFFFF"});
    ExpectOk({"set", kKey, "Dec", "dword", "4096"});
    ExpectOk({"set", kKey, "Blob", "binary", "00FFa0"});
    ExpectOk({"set", kKey, "List", "multi_sz", "one\ntwo\n"});
    ExpectOk({"set", kKey, "", "sz", "the default"});

    EXPECT_EQ(Reg({"query", kKey, "AppPath"}).out, "/srv/cm \xC3\xA9\n");
    EXPECT_EQ(Reg({"query", kKey, "Path"}).out, "%HOME%/x\n");
    EXPECT_EQ(Reg({"query", kKey, "Hex"}).out, "4294967295\n");
    EXPECT_EQ(Reg({"query", kKey, "Dec"}).out, "4096\n");
    EXPECT_EQ(Reg({"query", kKey, "Blob"}).out, "00ffa0\n");
    EXPECT_EQ(Reg({"query", kKey, "List"}).out, "one\ntwo\n");
    EXPECT_EQ(Reg({"query", kKey, ""}).out, "the default\n");

    Result all = Reg({"query", kKey});
    EXPECT_EQ(all.code, 0);
    EXPECT_EQ(all.out,
              "AppPath\tsz\t/srv/cm \xC3\xA9\n"
              "Path\texpand_sz\t%HOME%/x\n"
              "Hex\tdword\t4294967295\n"
              "Dec\tdword\t4096\n"
              "Blob\tbinary\t00ffa0\n"
              "List\tmulti_sz\tone\\0two\n"
              "\tsz\tthe default\n");

    // What the program wrote is what the library reads.
    RegistryKey key(reg::kRootLocalMachine, "Software\\Tavrolin, Inc.\\componentMgr", reg::KEY_READ);
    EXPECT_EQ(key.GetValueString("apppath"), "/srv/cm \xC3\xA9");
    EXPECT_EQ(key.GetValueTypeAndSize("AppPath").size, (9u + 1u) * 2u);
    EXPECT_EQ(key.GetValueDWord("Hex"), 0xFFFFFFFFu);
    EXPECT_EQ(key.GetValueMultiString("List"), (std::vector<std::string>{"one", "two"}));
    EXPECT_EQ(key.GetValueType("Path"), reg::REG_EXPAND_SZ);
}

TEST_F(RegCommandTest, RootsAndNamesIgnoreCase) {
    ExpectOk({"set", "HKEY_CURRENT_USER\\Software\\Tavrolin\\MiniDump", "Type", "dword", "2"});
    EXPECT_EQ(Reg({"query", "hkcu\\SOFTWARE\\tavrolin\\minidump", "TYPE"}).out, "2\n");
    EXPECT_EQ(Reg({"query", "HKLM\\Software\\Tavrolin\\MiniDump", "Type"}).code, 1);
    ExpectOk({"set", "HKCR\\.zrz", "", "sz", "ZRPackage"});
    EXPECT_EQ(Reg({"query", "HKEY_CLASSES_ROOT\\.ZRZ", ""}).out, "ZRPackage\n");
    ExpectOk({"set", "HKU\\.DEFAULT\\Software", "x", "sz", "1"});
    ExpectOk({"set", "hkcc\\System", "x", "sz", "1"});
    // Overwriting with another type is allowed here.
    ExpectOk({"set", "HKCC\\System", "X", "dword", "7"});
    EXPECT_EQ(Reg({"query", "HKCC\\System"}).out, "x\tdword\t7\n");
}

TEST_F(RegCommandTest, MissingThingsExitOneWithTheRegistryText) {
    ExpectOk({"set", kKey, "AppPath", "sz", "/x"});
    // The missing thing in words; the registry's own text with --verbose.
    Result value = Reg({"query", kKey, "Nope"});
    EXPECT_EQ(value.code, 1);
    EXPECT_EQ(value.out, "");
    EXPECT_NE(value.err.find("no value 'Nope' under " + std::string(kKey)), std::string::npos) << value.err;
    value = Reg({"query", kKey, "Nope", "--verbose"});
    EXPECT_NE(value.err.find("RegQueryValueEx(software\\Tavrolin, Inc.\\componentMgr\\Nope) returned 2."),
              std::string::npos)
        << value.err;

    Result key = Reg({"query", "HKLM\\Software\\Missing"});
    EXPECT_EQ(key.code, 1);
    EXPECT_NE(key.err.find("no such key HKLM\\Software\\Missing"), std::string::npos) << key.err;
    key = Reg({"--verbose", "query", "HKLM\\Software\\Missing"});
    EXPECT_NE(key.err.find("Handle() exception.Software\\Missing"), std::string::npos) << key.err;

    EXPECT_EQ(Reg({"delete", kKey, "Nope"}).code, 1);
    EXPECT_EQ(Reg({"delete", "HKLM\\Software\\Missing"}).code, 1);
    EXPECT_EQ(Reg({"list", "HKLM\\Software\\Missing"}).code, 1);
}

TEST_F(RegCommandTest, DeleteAndList) {
    ExpectOk({"set", std::string(kKey) + "\\Clients", "Player", "sz", "1"});
    ExpectOk({"set", std::string(kKey) + "\\Clients", "Editor", "sz", "1"});
    ExpectOk({"set", std::string(kKey) + "\\Deep\\Er", "v", "dword", "1"});
    EXPECT_EQ(Reg({"list", kKey}).out, "Clients\nDeep\n");

    ExpectOk({"delete", std::string(kKey) + "\\clients", "PLAYER"});
    EXPECT_EQ(Reg({"query", std::string(kKey) + "\\Clients"}).out, "Editor\tsz\t1\n");

    ExpectOk({"delete", std::string(kKey) + "\\DEEP"});
    EXPECT_EQ(Reg({"list", kKey}).out, "Clients\n");
    EXPECT_FALSE(RegistryKey::Exists(reg::kRootLocalMachine,
                                     "software\\Tavrolin, Inc.\\componentMgr\\Deep\\Er"));
    EXPECT_EQ(Reg({"list", std::string(kKey) + "\\Clients"}).out, "");
}

TEST_F(RegCommandTest, UsageErrorsExitTwo) {
    const std::vector<std::vector<std::string>> cases = {
        {},
        {"frobnicate", kKey},
        {"set", kKey, "V", "sz"},
        {"set", kKey, "V", "text", "x"},
        {"set", kKey, "V", "dword", "12x"},
        {"set", kKey, "V", "dword", "4294967296"},
        {"set", kKey, "V", "dword", "-1"},
        {"set", kKey, "V", "binary", "abc"},
        {"set", kKey, "V", "binary", "zz"},
        {"set", "HKXX\\Software", "V", "sz", "x"},
        {"query"},
        {"query", kKey, "a", "b"},
        {"list", kKey, "extra"},
        {"delete", "HKLM"},
    };
    for (const auto& args : cases) {
        Result r = Reg(args);
        std::string shown;
        for (const auto& a : args) shown += "[" + a + "]";
        EXPECT_EQ(r.code, 2) << shown;
        EXPECT_NE(r.err.find("kettrinctl reg: "), std::string::npos) << shown;
    }
    EXPECT_FALSE(std::filesystem::exists(m_strDb) &&
                 RegistryKey::Exists(reg::kRootLocalMachine, "software\\Tavrolin, Inc."));

    Result help = Reg({"--help"});
    EXPECT_EQ(help.code, 0);
    EXPECT_NE(help.out.find("kettrinctl reg set KEY NAME TYPE DATA"), std::string::npos);
    EXPECT_NE(help.out.find("HKEY_CURRENT_CONFIG (HKCC)"), std::string::npos);
}

TEST_F(RegCommandTest, AFileThatIsNotARegistryIsLeftAlone) {
    {
        std::ofstream(m_strDb) << "plain text\n";
    }
    Result r = Reg({"set", kKey, "V", "sz", "x"});
    EXPECT_EQ(r.code, 3);
    EXPECT_NE(r.err.find(m_strDb), std::string::npos) << r.err;
    std::ifstream in(m_strDb);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "plain text\n");
}
