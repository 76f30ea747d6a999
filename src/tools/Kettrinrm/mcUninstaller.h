#pragma once
// mcUninstaller: the work of Kettrinrm. Unregisters one client application
// from the component manager, or removes the component manager itself when no
// client is registered any more.
//
// Command line: empty, or exactly one client name. The words are split at
// blanks; empty pieces are dropped. Exit code: 1 when the request was carried
// out or nothing was left to do; 0 when it was refused or failed. Every
// refusal or failure first shows its message ("message box": one line on the
// error stream, the title + ": " + text).
//
// Removal: waits while the server's hidden window exists (up to kWaitCount
// sleeps of kWaitInterval), then either starts "Unwise /s CMINSTALL.LOG" in
// the application folder without waiting for it, or, when the server is
// still there, leaves the same command as the RunOnce value "RemoveCM" for
// the next boot.
//
// Registry: the client registrations are the values of the component
// manager's "Clients" key; a missing key means no client is registered.
// Registry failures end the run with "Registry Exception"; a client value
// already deleted stays deleted.
//
// Threads: one; Run once per object.
#include <chrono>
#include <cstdint>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

class mcUninstaller {
public:
    static constexpr const char* kTitle = "Tavrolin\u00ae Component Manager UnInstall";
    static constexpr const char* kMsgUsage = "Usage : only one command line arg allowed";
    static constexpr const char* kMsgNoSuchClient = "You are tyring to remove a CM Client that does not exist: ";
    static constexpr const char* kMsgClientsRemain =
        "There are clients being serviced by the CM, it is unsafe to uninstall!";
    static constexpr const char* kMsgRegistryException = "Registry Exception";
    static constexpr const char* kMsgCreateProcessFailed = " CreateProccess call failed";

    static constexpr const char* kClientsKey = "software\\Tavrolin, Inc.\\componentMgr\\Clients";
    static constexpr const char* kUninstallerName = "Unwise";
    static constexpr const char* kUninstallerArgs = "/s CMINSTALL.LOG";
    static constexpr const char* kSetupLogName = "CMINSTALL.LOG";
    static constexpr int kWaitCount = 10;
    static constexpr std::chrono::milliseconds kWaitInterval{800};

    static constexpr int kExitDone = 1;
    static constexpr int kExitRefused = 0;

    // What the uninstaller does to the world outside the registry.
    struct Environment {
        std::ostream* pMessages = nullptr;           // message boxes
        std::function<bool()> fnServerWindowExists;  // the server runs
        std::function<void(std::chrono::milliseconds)> fnSleep;
    };

    explicit mcUninstaller(Environment environment);

    // strCommandLine: the arguments as one text (argv[1..] joined by blanks).
    int Run(const std::string& strCommandLine);

    // The words of the command line: split at blanks, empty pieces dropped.
    static std::vector<std::string> SplitCommandLine(const std::string& strCommandLine);
    // False for a name that is empty after trimming white space or holds "\"
    // or a control character: such a name must not become part of a
    // registry path.
    static bool IsAcceptableClientName(const std::string& strName);
    // The deferred command for the RunOnce value "RemoveCM".
    static std::string RunOnceCommand(const std::string& strAppPath);

private:
    void PrvMessage(const std::string& strText);
    bool PrvRemoveClient(const std::string& strName);  // false: no such client
    std::uint32_t PrvCountClients();
    int PrvRemoveComponentManager();

    Environment m_env;
};
