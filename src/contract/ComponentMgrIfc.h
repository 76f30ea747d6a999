#pragma once
// The component manager's D-Bus contract, shared by the service, its client
// library, the job code that calls clients back, and the tools: the bus name,
// object paths, interface names, and the method table from which both the
// dispatcher registrations and the introspection data ("type library") are
// made.
//
// Conventions of every method of the service object: the reply starts with the
// HRESULT (i), then the out-arguments in order. Strings are s, VARIANT_BOOL b,
// SAFEARRAY of BSTR as, 32-bit numbers i/u. A callback argument is an object
// path (o) on the caller's own connection; "/" means none. The methods that
// clients implement (callback, notification sink, plug-in) answer with their
// HRESULT (i) as well.
//
// Everything here is constant data or pure functions; any thread.
#include <cstdint>
#include <string>
#include <vector>

#include "contract/Hresult.h"

namespace cmifc {

// The service's well-known bus name (the ProgID) and its objects.
inline constexpr const char* kBusName = "ComponentMgr.ComponentMgrObj";
inline constexpr const char* kObjectPath = "/ComponentMgrObj";
inline constexpr const char* kWindowPath = "/ComponentMgrClass";

// Interfaces of the service object, in their table order.
inline constexpr const char* kIfaceControl = "ComponentMgr.IComponentMgrControl";
inline constexpr const char* kIfaceManifest = "ComponentMgr.IComponentMgrManifest";
inline constexpr const char* kIfaceInstaller = "ComponentMgr.IComponentMgrInstaller";
inline constexpr const char* kIfaceComponentMgr = "ComponentMgr.IComponentMgr";
// Interfaces that clients implement and the service calls.
inline constexpr const char* kIfaceCallback = "ComponentMgr.IComponentMgrCallback";
inline constexpr const char* kIfaceNotify = "ComponentMgr.IComponentMgrNotify";
inline constexpr const char* kIfacePlugin = "ComponentMgr.IComponentPlugin";
// The hidden window: other programs find the running server by it.
inline constexpr const char* kIfaceWindow = "ComponentMgr.Window";
inline constexpr const char* kWindowTitleProperty = "Title";
inline constexpr const char* kWindowCloseMethod = "Close";
inline constexpr const char* kWindowTitle = "Tavrolin Component Manager";

// The path a caller passes for "no callback" / "no sink".
inline constexpr const char* kNoObjectPath = "/";

// HRESULTs of the COM transport that the bus failures stand for.
inline constexpr HRESULT RPC_E_DISCONNECTED = static_cast<HRESULT>(0x80010108u);
inline constexpr HRESULT RPC_E_SERVERFAULT = static_cast<HRESULT>(0x80010105u);
inline constexpr HRESULT RPC_E_TIMEOUT = static_cast<HRESULT>(0x8001011Fu);
inline constexpr HRESULT CO_E_SERVER_EXEC_FAILURE = static_cast<HRESULT>(0x80080005u);
inline constexpr HRESULT CO_E_SERVER_STOPPING = static_cast<HRESULT>(0x80080008u);
inline constexpr HRESULT RPC_E_INVALID_DATA = static_cast<HRESULT>(0x8001010Fu);

// One argument: its name in the introspection data and its D-Bus type.
struct msArg {
    const char* pszName;
    const char* pszType;
};

// One method of an interface. vecOut lists the out-arguments after the
// HRESULT; bReturnsHResult is false only for the window's Close.
struct msMethod {
    const char* pszInterface;
    const char* pszMember;
    std::vector<msArg> vecIn;
    std::vector<msArg> vecOut;
    bool bReturnsHResult = true;

    // Concatenated types of vecIn.
    std::string InSignature() const;
    // "i" followed by the types of vecOut (or just the out types without the
    // HRESULT).
    std::string OutSignature() const;
};

// The methods of the service object (/ComponentMgrObj), interface by
// interface in the order above, each interface's methods in slot order.
const std::vector<msMethod>& ServiceMethods();
// The methods of the client-side interfaces (callback, sink, plug-in).
const std::vector<msMethod>& ClientMethods();
// The window's method (Close).
const std::vector<msMethod>& WindowMethods();
// The first method of that interface and name in any of the three tables, or
// null.
const msMethod* FindMethod(const std::string& strInterface, const std::string& strMember);

// <interface> elements of the given interfaces, built from the tables (one
// space of indentation per level, as the dispatcher inserts them into its
// Introspect answer). Unknown names are skipped.
std::string IntrospectInterfaces(const std::vector<std::string>& vecInterfaces);
// The installed type library: a complete introspection document holding every
// interface of the contract (service object, window, client-side interfaces).
std::string TypeLibraryXml();

// The HRESULT a caller reports when a call fails on the bus instead of
// returning one: the D-Bus error name decides (ServiceUnknown and failed
// activation -> CO_E_SERVER_EXEC_FAILURE, NoReply/Timeout -> RPC_E_TIMEOUT,
// Disconnected -> RPC_E_DISCONNECTED, Failed ->
// RPC_E_SERVERFAULT, unknown object/interface/method -> E_NOINTERFACE,
// InvalidArgs -> E_INVALIDARG, AccessDenied -> E_ACCESSDENIED, out of memory
// -> E_OUTOFMEMORY); anything else is E_FAIL.
HRESULT HResultFromBusError(const std::string& strErrorName);

// "0x80004005": 8 lower-case hex digits.
std::string FormatHResult(HRESULT hr);

}  // namespace cmifc
