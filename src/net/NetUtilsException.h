#pragma once
// Root of the connection-check helpers' exceptions (netutils::ICMP::Exception,
// netutils::ARPTable::Exception, ...).
#include <utility>

#include "base/mcExc.h"

namespace netutils {

KETTRIN_DECLARE_EXC(Exception, mcExc);

}  // namespace netutils
