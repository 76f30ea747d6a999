#pragma once
// The bus connection of the calling worker thread, on which the jobs of that
// thread call their clients back (sd-bus connections are never shared between
// threads).
//
// The service attaches each engine's worker thread to its bus in the worker's
// InitThread and detaches it when the worker ends. The connection is opened
// when the thread is attached; when that fails, or the connection breaks
// later, Get() opens it again on the next use.
//
// Threads: every function acts on the calling thread's own state only.
#include <string>

class mcBusConnection;

class mcWorkerBusConnection {
public:
    // Binds the calling thread to the bus at strAddress and tries to open the
    // connection at once. False when it could not be opened now (logged once;
    // Get() tries again). Replaces an earlier attachment of this thread.
    static bool Attach(const std::string& strAddress);
    // Closes the calling thread's connection (flushing what is queued) and
    // forgets the address.
    static void Detach();
    // The calling thread's open connection, opened (again) when needed; null
    // when the thread is not attached or the bus cannot be reached now.
    static mcBusConnection* Get();
    // True when the calling thread is attached (whether or not it is open).
    static bool IsAttached();
};
