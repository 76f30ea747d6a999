#include "tools/kettrinctl/CtlMessages.h"

#include <iostream>

#include "base/Win32Error.h"
#include "client/mcComponentMgrClient.h"
#include "registry/RegistryKey.h"
#include "contract/ComponentMgrIfc.h"
#include "tools/kettrinctl/CtlOptions.h"

namespace kettrinctl {

namespace {

struct msHResultName {
    HRESULT hr;
    const char* pszName;
};

constexpr msHResultName kHResultNames[] = {
    {S_OK, "S_OK"},
    {S_FALSE, "S_FALSE"},
    {E_NOTIMPL, "E_NOTIMPL"},
    {E_NOINTERFACE, "E_NOINTERFACE"},
    {E_POINTER, "E_POINTER"},
    {E_ABORT, "E_ABORT"},
    {E_FAIL, "E_FAIL"},
    {E_UNEXPECTED, "E_UNEXPECTED"},
    {E_ACCESSDENIED, "E_ACCESSDENIED"},
    {E_OUTOFMEMORY, "E_OUTOFMEMORY"},
    {E_INVALIDARG, "E_INVALIDARG"},
    {DISP_E_TYPEMISMATCH, "DISP_E_TYPEMISMATCH"},
    {DISP_E_OVERFLOW, "DISP_E_OVERFLOW"},
    {cmifc::RPC_E_DISCONNECTED, "RPC_E_DISCONNECTED"},
    {cmifc::RPC_E_SERVERFAULT, "RPC_E_SERVERFAULT"},
    {cmifc::RPC_E_TIMEOUT, "RPC_E_TIMEOUT"},
    {cmifc::CO_E_SERVER_EXEC_FAILURE, "CO_E_SERVER_EXEC_FAILURE"},
    {cmifc::CO_E_SERVER_STOPPING, "CO_E_SERVER_STOPPING"},
    {cmifc::RPC_E_INVALID_DATA, "RPC_E_INVALID_DATA"},
};

// Failures that mean nobody answered: the service is missing, could not be
// started, ended or was disconnected, or the wait ran out.
bool PrvIsNoAnswer(HRESULT hr) {
    return hr == cmifc::CO_E_SERVER_EXEC_FAILURE || hr == cmifc::RPC_E_TIMEOUT ||
           hr == cmifc::RPC_E_DISCONNECTED || hr == cmifc::CO_E_SERVER_STOPPING;
}

}  // namespace

std::string HResultText(HRESULT hr) {
    for (const msHResultName& entry : kHResultNames) {
        if (entry.hr == hr) return std::string(entry.pszName) + " (" + cmifc::FormatHResult(hr) + ")";
    }
    return cmifc::FormatHResult(hr);
}

void PrintError(const std::string& strCommand, const std::string& strMessage, const std::string& strDetail,
                bool bShowDetail) {
    std::cerr << "kettrinctl " << strCommand << ": " << strMessage;
    if ((bShowDetail || CtlOptions::Current().bVerbose) && !strDetail.empty()) std::cerr << " (" << strDetail << ")";
    std::cerr << "\n";
}

void PrintCallFailure(const std::string& strCommand, HRESULT hr, const mcComponentMgrClient& client) {
    if (PrvIsNoAnswer(hr)) {
        PrintError(strCommand, "the component manager did not answer: " + HResultText(hr), client.LastError());
    } else if (hr == cmifc::RPC_E_SERVERFAULT) {
        PrintError(strCommand, "the component manager failed while serving the call: " + HResultText(hr),
                   client.LastError());
    } else if (hr == E_ACCESSDENIED) {
        PrintError(strCommand, std::string(mcComponentMgrClient::kPermissionDenied) + ": " + HResultText(hr),
                   client.LastError());
    } else {
        PrintError(strCommand, "the call failed: " + HResultText(hr), client.LastError());
    }
}

void PrintRegistryFailure(const std::string& strCommand, const mcExc& exc) {
    using core::registry::RegistryKey;
    if (dynamic_cast<const RegistryKey::DatabaseException*>(&exc) != nullptr) {
        PrintError(strCommand, "the registry file cannot be used", exc.what(), true);
        return;
    }
    const auto* pRegistry = dynamic_cast<const RegistryKey::Exception*>(&exc);
    if (pRegistry != nullptr && pRegistry->ErrorCode() == ERROR_ACCESS_DENIED) {
        PrintError(strCommand, "permission denied (the registry file is not writable for you)", exc.what());
        return;
    }
    PrintError(strCommand, "the registry operation failed", exc.what());
}

void PrintBusFailure(const std::string& strCommand, const std::string& strAddress, const std::string& strDetail) {
    // sd-bus refuses a malformed entry with EINVAL, and skips entries of a
    // transport it does not know, ending with "connection refused".
    bool bKnownTransport = false;
    for (std::size_t nStart = 0; nStart <= strAddress.size();) {
        std::size_t nEnd = strAddress.find(';', nStart);
        if (nEnd == std::string::npos) nEnd = strAddress.size();
        const std::string strEntry = strAddress.substr(nStart, nEnd - nStart);
        for (const char* pszTransport : {"unix:", "tcp:", "unixexec:", "x-machine-unix:", "x-machine-container:"}) {
            if (strEntry.rfind(pszTransport, 0) == 0) bKnownTransport = true;
        }
        nStart = nEnd + 1;
    }
    const bool bInvalid = !bKnownTransport || strDetail.find("Invalid argument") != std::string::npos;
    if (bInvalid) {
        PrintError(strCommand, "invalid bus address " + strAddress, strDetail);
    } else {
        PrintError(strCommand, "cannot reach the bus at " + strAddress, strDetail);
    }
}

}  // namespace kettrinctl
