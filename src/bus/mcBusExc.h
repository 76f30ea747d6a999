#pragma once
// Failure of the D-Bus layer: an sd-bus function that returned an error, an
// error reply or a time-out of a call, or misuse of the dispatcher (wrong
// thread, nesting too deep, dispatcher stopped). The description carries the
// errno text or the remote error's name and message. Plain value, safe to copy
// between threads.
#include <string>

#include "base/mcExc.h"

class mcBusExc : public mcExc {
public:
    // errorName: the D-Bus error name when one is known (an error reply, a
    // time-out), else empty. nErrno: the positive errno value, else 0.
    mcBusExc(const char* function, const char* file, int line, std::string description,
             std::string errorName = {}, int nErrno = 0);

    const std::string& ErrorName() const { return m_strErrorName; }
    int Errno() const { return m_nErrno; }

    // "<what> failed: <strerror(-r)>" for a negative sd-bus result r.
    static std::string ErrnoText(const std::string& strWhat, int r);

private:
    std::string m_strErrorName;
    int m_nErrno;
};
