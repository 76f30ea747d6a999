#pragma once
// Who may call which method of the service: every method of the service
// object and the window's Close is classified here, next to the method table
// (ComponentMgrIfc.h). The bus binding consults it before a method's body
// runs; the system-bus policy file in packaging/ is a second wall in front
// of it.
//
//   Anyone     - queries and sink registration: any local user.
//   Manage     - operations that start, stop or change work: the polkit action
//                kActionManageComponents.
//   Clients    - client registration: the polkit action kActionManageClients.
//   ServiceUid - the installer interface, PredownloadComponent and the
//                window's Close: only callers running under the service's own
//                user id (installers are the service's children).
// Callers under the service's own user id are allowed everything, without
// asking polkit.
//
// Constant data and pure functions; any thread.
#include <string>

namespace cmifc {

inline constexpr const char* kActionManageComponents = "com.tavrolin.componentmgr.manage-components";
inline constexpr const char* kActionManageClients = "com.tavrolin.componentmgr.manage-clients";

enum class meAccess { Anyone, Manage, Clients, ServiceUid };

struct msMethodAccess {
    const char* pszInterface;
    const char* pszMember;
    meAccess access;
};

// The access of that method, or nullptr for a method not in the table (the
// binding refuses such a call to everyone but the service's own user id).
const msMethodAccess* FindMethodAccess(const std::string& strInterface, const std::string& strMember);
// The polkit action of Manage and Clients; "" for the others.
const char* PolkitAction(meAccess access);
// "Anyone", "Manage", "Clients", "ServiceUid".
const char* AccessName(meAccess access);

}  // namespace cmifc
