#pragma once
// A private message bus for tests: a `dbus-daemon --session --nofork` of our
// own, configured in a fresh temporary folder:
//   <folder>/bus          the listening unix socket,
//   <folder>/services     the activation directory (<servicedir>),
//   <folder>/bus.conf     the generated configuration.
// The daemon inherits the test's environment at construction, and a session
// bus hands its environment on to the services it activates: set KETTRIN_*
// variables before constructing it (or call UpdateActivationEnvironment).
// The daemon is killed by the destructor, which also removes the folder, and
// when the thread that constructed the bus ends (parent-death signal): build
// it on a thread that outlives its use, normally the test's own. Options make
// a bus that other users may reach, or one of system type with a policy of
// the test's choosing. Throws std::runtime_error when
// the daemon cannot be started. Not copyable; use from one thread.
//
// Note: the daemon may not notice that an activated program exited without
// taking its name; the activation request then fails only after the bus's
// service start time-out (25 s). Tests should not wait for that reply.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "bus/mcBusConnection.h"

namespace testsupport {

class PrivateBus {
public:
    // What differs from the default bus: a session bus that only the test's
    // own user may use, with a policy that allows everything.
    struct Options {
        // Lets every local user connect: the folder and the socket become
        // reachable for others and the policy allows user="*" (callers run
        // under another uid with setpriv).
        bool bOtherUsers = false;
        // "session" or "system" (the bus type in the configuration).
        std::string strType = "session";
        // Replaces the allow-all <policy> block when not empty: complete
        // <policy> and <include> elements.
        std::string strPolicyXml;
    };

    PrivateBus() : PrivateBus(Options()) {}
    explicit PrivateBus(Options options) : m_options(std::move(options)) {
        try {
            PrvStart();
        } catch (...) {
            PrvStop();
            throw;
        }
    }

    ~PrivateBus() { PrvStop(); }

    PrivateBus(const PrivateBus&) = delete;
    PrivateBus& operator=(const PrivateBus&) = delete;

    const std::string& Address() const { return m_strAddress; }
    const std::string& Folder() const { return m_strFolder; }
    std::string ServiceDir() const { return m_strFolder + "/services"; }
    pid_t Pid() const { return m_pid; }
    // The daemon's standard error (removed with the folder).
    std::string LogPath() const { return m_strFolder + "/daemon.log"; }
    // Writes <ServiceDir>/<name>.service naming the program for activation.
    // strExec: the command line the bus runs. The bus notices new files by
    // itself; ReloadConfig() makes it certain.
    void AddService(const std::string& strName, const std::string& strExec) {
        std::ofstream out(ServiceDir() + "/" + strName + ".service");
        out << "[D-BUS Service]\nName=" << strName << "\nExec=" << strExec << "\n";
        if (!out) PrvFail("cannot write the service file for " + strName);
    }

    void ReloadConfig() {
        mcBusConnection connection = mcBusConnection::OpenAddress(m_strAddress);
        mcBusMessage call = connection.NewMethodCall(mcBusConnection::kBusName,
                                                     mcBusConnection::kBusPath,
                                                     mcBusConnection::kBusInterface, "ReloadConfig");
        connection.CallMethod(call);
    }

    // Adds or changes variables in the environment of activated services.
    void UpdateActivationEnvironment(const std::map<std::string, std::string>& mapVars) {
        mcBusConnection connection = mcBusConnection::OpenAddress(m_strAddress);
        mcBusMessage call = connection.NewMethodCall(
            mcBusConnection::kBusName, mcBusConnection::kBusPath, mcBusConnection::kBusInterface,
            "UpdateActivationEnvironment");
        call.OpenContainer('a', "{ss}");
        for (const auto& [strKey, strValue] : mapVars) {
            call.OpenContainer('e', "ss");
            call.Append(strKey);
            call.Append(strValue);
            call.CloseContainer();
        }
        call.CloseContainer();
        connection.CallMethod(call);
    }

private:
    void PrvStart() {
        m_strFolder = PrvMakeFolder();
        std::filesystem::create_directories(ServiceDir());
        const std::string strConfig = m_strFolder + "/bus.conf";
        {
            std::ofstream out(strConfig);
            out << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
                   " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
                   "<busconfig>\n"
                   "  <type>" << m_options.strType << "</type>\n"
                   "  <keep_umask/>\n"
                   "  <listen>unix:path=" << m_strFolder << "/bus</listen>\n"
                   "  <servicedir>" << ServiceDir() << "</servicedir>\n"
                   "  <auth>EXTERNAL</auth>\n";
            if (!m_options.strPolicyXml.empty()) {
                out << m_options.strPolicyXml;
            } else {
                out << "  <policy context=\"default\">\n"
                    << (m_options.bOtherUsers ? "    <allow user=\"*\"/>\n" : "")
                    << "    <allow send_destination=\"*\" eavesdrop=\"true\"/>\n"
                       "    <allow eavesdrop=\"true\"/>\n"
                       "    <allow own=\"*\"/>\n"
                       "  </policy>\n";
            }
            out << "</busconfig>\n";
            if (!out) PrvFail("cannot write " + strConfig);
        }
        const std::string strDaemon = PrvFindProgram("dbus-daemon");
        if (strDaemon.empty()) PrvFail("dbus-daemon not found in PATH");

        int fdPipe[2];
        if (::pipe2(fdPipe, O_CLOEXEC) != 0) PrvFail("pipe2 failed");
        // Everything the child needs is built before fork: after it, only
        // async-signal-safe calls.
        const std::string strConfigArg = "--config-file=" + strConfig;
        const std::string strPrintArg = "--print-address=3";
        const std::string strLog = LogPath();
        std::vector<char*> vecArgs = {const_cast<char*>(strDaemon.c_str()),
                                      const_cast<char*>(strConfigArg.c_str()),
                                      const_cast<char*>("--nofork"),
                                      const_cast<char*>(strPrintArg.c_str()), nullptr};
        const pid_t nParent = ::getpid();
        m_pid = ::fork();
        if (m_pid < 0) {
            ::close(fdPipe[0]);
            ::close(fdPipe[1]);
            PrvFail("fork failed");
        }
        if (m_pid == 0) {
            ::prctl(PR_SET_PDEATHSIG, SIGTERM);
            if (::getppid() != nParent) ::_exit(127);
            // The daemon's own messages go to the log, not into the test output.
            const int fdLog = ::open(strLog.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
            if (fdLog >= 0 && fdLog != 2) ::dup2(fdLog, 2);
            if (fdPipe[1] == 3) {
                if (::fcntl(3, F_SETFD, 0) < 0) ::_exit(127);
            } else if (::dup2(fdPipe[1], 3) < 0) {  // dup2 clears close-on-exec
                ::_exit(127);
            }
            ::execv(vecArgs[0], vecArgs.data());
            ::_exit(127);
        }
        ::close(fdPipe[1]);
        m_strAddress = PrvReadAddress(fdPipe[0]);
        ::close(fdPipe[0]);
        if (m_strAddress.empty()) PrvFail("dbus-daemon did not print its address");
        if (m_options.bOtherUsers) {
            // connect() needs search permission on the folder and write
            // permission on the socket.
            namespace fs = std::filesystem;
            fs::permissions(m_strFolder, fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
            fs::permissions(m_strFolder + "/bus", fs::perms::all);
        }
    }

    [[noreturn]] static void PrvFail(const std::string& strWhat) {
        throw std::runtime_error("PrivateBus: " + strWhat);
    }

    static std::string PrvMakeFolder() {
        // A unix socket path must stay below 108 bytes: fall back to /tmp
        // when TMPDIR is long.
        std::string strBase = "/tmp";
        const char* pszTmp = ::getenv("TMPDIR");
        if (pszTmp && *pszTmp && std::strlen(pszTmp) < 60) strBase = pszTmp;
        std::string strTemplate = strBase + "/kettrin-bus-XXXXXX";
        if (!::mkdtemp(strTemplate.data())) PrvFail("mkdtemp failed in " + strBase);
        return strTemplate;
    }

    static std::string PrvFindProgram(const std::string& strName) {
        const char* pszPath = ::getenv("PATH");
        std::string strPath = pszPath ? pszPath : "/usr/bin:/bin";
        std::size_t nStart = 0;
        while (nStart <= strPath.size()) {
            const std::size_t nEnd = strPath.find(':', nStart);
            const std::string strDir =
                strPath.substr(nStart, nEnd == std::string::npos ? std::string::npos : nEnd - nStart);
            const std::string strCandidate = (strDir.empty() ? "." : strDir) + "/" + strName;
            if (::access(strCandidate.c_str(), X_OK) == 0) return strCandidate;
            if (nEnd == std::string::npos) break;
            nStart = nEnd + 1;
        }
        return std::string();
    }

    // Reads the first line from fd, waiting at most 10 s.
    static std::string PrvReadAddress(int fd) {
        std::string strText;
        for (;;) {
            pollfd pfd{fd, POLLIN, 0};
            const int r = ::poll(&pfd, 1, 10000);
            if (r < 0 && errno == EINTR) continue;
            if (r <= 0) return std::string();
            char szBuffer[512];
            const ssize_t n = ::read(fd, szBuffer, sizeof szBuffer);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return std::string();
            strText.append(szBuffer, static_cast<std::size_t>(n));
            const std::size_t nNewline = strText.find('\n');
            if (nNewline != std::string::npos) return strText.substr(0, nNewline);
        }
    }

    void PrvStop() noexcept {
        if (m_pid > 0) {
            ::kill(m_pid, SIGTERM);
            int nStatus = 0;
            while (::waitpid(m_pid, &nStatus, 0) < 0 && errno == EINTR) {
            }
            m_pid = -1;
        }
        if (!m_strFolder.empty()) {
            std::error_code ec;
            std::filesystem::remove_all(m_strFolder, ec);
            m_strFolder.clear();
        }
    }

    Options m_options;
    std::string m_strFolder;
    std::string m_strAddress;
    pid_t m_pid = -1;
};

}  // namespace testsupport
