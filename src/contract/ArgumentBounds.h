#pragma once
// Byte limits on the string arguments of the service object's methods, kept
// next to the method table so a new method or argument gets its bound where
// it is declared. The binding checks every call against them before any
// handler runs; a call over a limit is answered E_INVALIDARG.
//
// Names (client, manifest, component) hold at most kMaxNameBytes, XML texts
// (install and uninstall data, predownload requests) kMaxXmlTextBytes, every
// other string or object path kMaxOtherTextBytes.
//
// Constant data and pure functions; any thread.
#include <cstddef>
#include <string>

#include "contract/ComponentMgrIfc.h"

namespace cmifc {

inline constexpr std::size_t kMaxNameBytes = 256;
inline constexpr std::size_t kMaxXmlTextBytes = 64 * 1024;
inline constexpr std::size_t kMaxOtherTextBytes = 4 * 1024;

// The byte limit of one in-argument of method (by its name in the table).
std::size_t MaxArgumentBytes(const msMethod& method, const msArg& arg);

}  // namespace cmifc
