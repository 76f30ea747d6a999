#pragma once
// Root of the settings exceptions (core::settings::Path::Exception,
// core::settings::Setting::Exception and what mcSettingsRegImpl raises).
#include <utility>

#include "base/mcExc.h"

namespace core::settings {

KETTRIN_DECLARE_EXC(Exception, mcExc);

}  // namespace core::settings
