#pragma once
// Registration of the server ("RegServer") and its removal ("UnregServer"):
// the class keys under HKEY_CLASSES_ROOT in the registry database, the type
// library keys, and the bus activation file that names the program.
//
// Written by registration (all below the classes root; "=" is a key's default
// value):
//   AppID\{B0D40B5C-...}            = "ComponentMgr"
//   AppID\ComponentMgr.EXE          value "AppID" = "{B0D40B5C-...}"
//   ComponentMgr.ComponentMgrObj.1  = "moComponentMgr Object"; \CLSID = the CLSID
//   ComponentMgr.ComponentMgrObj    = "moComponentMgr Object"; \CLSID; \CurVer
//   CLSID\{E08DE58F-...}            = "moComponentMgr Object"; value "AppID";
//                                     \ProgID, \VersionIndependentProgID,
//                                     \Programmable, \TypeLib, and the module
//                                     key "LocalServer32" (the quoted program
//                                     path, value "ThreadingModel" = "free";
//                                     "InprocServer32" when the file is not an
//                                     executable program)
//   TypeLib\{B0D40B5C-...}\1.0      = "ComponentMgr 1.0 Type Library";
//                                     \0\linux = the introspection file,
//                                     \FLAGS = "0", \HELPDIR = the program's folder
//   Interface\{IID}                 = interface name; \TypeLib = the library
//                                     identifier with value "Version" = "1.0"
//                                     (one per interface identifier of the object)
// plus <activation dir>/ComponentMgr.ComponentMgrObj.service.
//
// The CLSID key is deleted with everything below it before it is written.
// Removal deletes all of that except the "AppID" and "CLSID" parents; keys
// that are already missing are not an error.
//
// Results: S_OK, or the failing step's HRESULT (registry failures as
// HRESULT_FROM_WIN32 of the registry's error number, file failures of the
// system's). Registration stops at a failure of the AppID keys; removal
// removes the AppID keys only when the class and type library keys went.
// Any thread; the registry serialises writers across processes.
#include <string>

#include "contract/Hresult.h"
#include "service/mcServiceConfig.h"

namespace svcreg {

inline constexpr const char* kAppId = "{B0D40B5C-9E9D-4BAD-A0AC-1D905240A2B7}";
inline constexpr const char* kTypeLibId = "{B0D40B5C-9E9D-4BAD-A0AC-1D905240A2B7}";
inline constexpr const char* kClsid = "{E08DE58F-82D2-4B97-A063-95E34EF205DE}";
inline constexpr const char* kProgId = "ComponentMgr.ComponentMgrObj.1";
inline constexpr const char* kVersionIndependentProgId = "ComponentMgr.ComponentMgrObj";
inline constexpr const char* kFriendlyName = "moComponentMgr Object";
inline constexpr const char* kAppName = "ComponentMgr";
inline constexpr const char* kAppExeKey = "ComponentMgr.EXE";
inline constexpr const char* kTypeLibName = "ComponentMgr 1.0 Type Library";
inline constexpr const char* kTypeLibVersion = "1.0";
inline constexpr const char* kLocalServer32 = "LocalServer32";
inline constexpr const char* kInprocServer32 = "InprocServer32";
inline constexpr const char* kThreadingModel = "free";
inline constexpr const char* kActivationFileName = "ComponentMgr.ComponentMgrObj.service";
// The systemd unit a bus with systemd activation starts instead of the program
// (the installed unit; a bus without systemd activation ignores the line).
inline constexpr const char* kSystemdUnitName = "kettrin.service";

// Registers the server: the program is config.ExecutablePath(), the
// activation file goes to config.strActivationDir (created when missing).
HRESULT mfRegisterServer(const mcServiceConfig& config);
// Removes what mfRegisterServer wrote.
HRESULT mfUnregisterServer(const mcServiceConfig& config);

// The activation file's text for the program at strExecutable: the same text
// the package installs, so registering an installed server changes nothing.
std::string mfActivationFileText(const std::string& strExecutable);

}  // namespace svcreg
