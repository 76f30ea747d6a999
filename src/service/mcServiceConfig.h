#pragma once
// Everything the service takes from outside, in one object handed to the
// server, the component manager object and the registration: folders, the
// registry file, the bus, the activation directory, time-outs and delays, the
// clock and the connection check. The program fills it from its command line
// and environment (FromEnvironment); tests fill it directly so that nothing
// touches the machine's folders, registry or buses.
//
// A plain value; copy it freely. Empty fields mean "the default" as described
// per field; the std::function members may be empty.
#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "bus/BusAddress.h"
#include "net/IHttpFetcher.h"

struct mcServiceConfig {
    // Environment variables read by FromEnvironment.
    static constexpr const char* kEnvServiceDir = "KETTRIN_DBUS_SERVICE_DIR";
    static constexpr const char* kEnvShutdownDelay = "KETTRIN_SHUTDOWN_DELAY_MS";
    static constexpr const char* kEnvPolkitBusAddress = "KETTRIN_POLKIT_BUS_ADDRESS";
    static constexpr const char* kDefaultServiceDir = "/usr/share/dbus-1/system-services";
    // The introspection data installed beside this program (the same
    // relative place as in the build's install layout, so any install prefix
    // works); the configured install location when that file is missing.
    static std::string DefaultTypeLibPath();

    // Application folder (log, configuration, manifests). Empty:
    // mcCMUtils::GetAppPath() when the server starts.
    std::string strAppFolder;
    // Registry database file. Empty: the registry's own choice
    // ($KETTRIN_REGISTRY, else the system file). When set, the server makes it
    // the process-wide registry location.
    std::string strRegistryPath;
    // Bus to serve on. Empty: mfResolveBusAddress(Service, bSessionBus) when
    // the server starts.
    std::string strBusAddress;
    bool bSessionBus = false;
    // The bus of the polkit authority. Empty: the system bus
    // (DBUS_SYSTEM_BUS_ADDRESS, else the standard socket). It must be the bus
    // the service serves for the authority to be asked at all.
    std::string strPolkitBusAddress;
    // The authority's bus address as resolved when the server starts.
    std::string PolkitBusAddress(const mcEnvLookup& lookup = mcEnvLookup()) const;
    // Longest wait for the bus and the authority to judge a caller.
    std::chrono::milliseconds authorizationTimeout{25000};
    // Where "RegServer" writes the activation file.
    std::string strActivationDir = kDefaultServiceDir;
    // Full path of the server program, for the registry and the activation
    // file. Empty: this process's executable (/proc/self/exe).
    std::string strExecutablePath;
    // The installed introspection data (type library) named in the registry.
    std::string strTypeLibPath = DefaultTypeLibPath();

    // Quiet time after the last reference before the server ends.
    std::chrono::milliseconds shutdownDelay{5000};
    // Pause between giving up the bus name and releasing the object; calls
    // that still arrive are served meanwhile.
    std::chrono::milliseconds pauseAfterLoop{1000};
    // Period of the cleanup thread's working-set trim.
    std::chrono::milliseconds cleanupInterval{30000};
    // Longest wait for the notification sinks' answers (zero: the bus
    // default); the sinks of one update are called together.
    std::chrono::milliseconds notifyTimeout{5000};

    // Current time for the manifest directory; empty: the system clock.
    std::function<std::chrono::system_clock::time_point()> fnNow;
    // Is the machine online? Empty: the real connection check.
    std::function<bool()> fnConnectionCheck;
    // The cleanup thread's trim; empty: mfTrimWorkingSet (malloc_trim).
    std::function<void()> fnTrimWorkingSet;
    // Every HTTP request of the manifest updates (redirect service, downloads,
    // events, the default connection check); empty: an mcHttpFetcher of the
    // object's own. The object calls its AbortAll when it is released.
    std::shared_ptr<IHttpFetcher> pFetcher;

    // The program's configuration: the defaults above, changed by
    // KETTRIN_DBUS_SERVICE_DIR (activation directory), KETTRIN_SHUTDOWN_DELAY_MS
    // (a decimal number of milliseconds; anything else is ignored),
    // KETTRIN_POLKIT_BUS_ADDRESS (the authority's bus) and the
    // --session switch. The bus address stays empty (resolved at start).
    static mcServiceConfig FromEnvironment(bool bSessionSwitch,
                                           const mcEnvLookup& lookup = mcEnvLookup());

    // strExecutablePath, or this process's executable when it is empty
    // ("" when that cannot be read).
    std::string ExecutablePath() const;
};
