#include "registry/mcCMUtils.h"

#include <sys/random.h>

#include <cerrno>
#include <cstdio>
#include <limits>
#include <random>
#include <vector>

#include "base/OsDependent.h"
#include "registry/RegistryKey.h"
#include "base/StrUtils.h"
#include "base/mcCMLog.h"

namespace mcCMUtils {

std::string GetAppPath();

namespace {

using core::registry::RegistryKey;

constexpr const char* kDayNames[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr const char* kMonthNames[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                       "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// _wtoi64: white space, sign, digits; saturates instead of overflowing.
std::int64_t PrvToInt64(const std::string& text) {
    std::size_t pos = 0;
    while (pos < text.size() && (text[pos] == ' ' || (text[pos] >= '\t' && text[pos] <= '\r'))) {
        ++pos;
    }
    bool negative = false;
    if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) {
        negative = text[pos] == '-';
        ++pos;
    }
    // Accumulate towards the sign so that the most negative value fits.
    std::int64_t value = 0;
    for (; pos < text.size() && text[pos] >= '0' && text[pos] <= '9'; ++pos) {
        int digit = text[pos] - '0';
        if (negative) {
            if (value < (std::numeric_limits<std::int64_t>::min() + digit) / 10) {
                return std::numeric_limits<std::int64_t>::min();
            }
            value = value * 10 - digit;
        } else {
            if (value > (std::numeric_limits<std::int64_t>::max() - digit) / 10) {
                return std::numeric_limits<std::int64_t>::max();
            }
            value = value * 10 + digit;
        }
    }
    return value;
}

std::string PrvWithoutDots(std::string text) {
    std::string result;
    result.reserve(text.size());
    for (char c : text) {
        if (c != '.') result += c;
    }
    return result;
}

// The log opens in the application folder on first use in every program
// that links these utilities.
const bool kLogFolderSourceSet = (mcCMLog::SetDefaultFolderSource(&GetAppPath), true);

}  // namespace

std::string GetAppPath() {
    std::string path;
    try {
        // Reading needs no more than read access; the value is the same.
        RegistryKey key(kRegistryRoot, kRegistryKey, core::registry::KEY_READ);
        path = key.GetValueString(kAppPathValue);
    } catch (const mcExc&) {
        mfCMLog(kLogAppPathNotFound);
        return kDefaultAppPath;
    }
    return path.empty() ? std::string(kDefaultAppPath) : path;
}

std::string GetHoldingArea() { return mfPathJoin(GetAppPath(), kHoldingAreaFolder); }

std::string NewZRUID() {
    unsigned char bytes[16];
    std::size_t got = 0;
    while (got < sizeof bytes) {
        ssize_t n = ::getrandom(bytes + got, sizeof bytes - got, 0);
        if (n < 0) {
            if (errno == EINTR) continue;
            break;
        }
        got += static_cast<std::size_t>(n);
    }
    if (got < sizeof bytes) {
        std::random_device device;
        for (auto& byte : bytes) byte = static_cast<unsigned char>(device());
    }
    bytes[6] = static_cast<unsigned char>((bytes[6] & 0x0F) | 0x40);  // version 4
    bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3F) | 0x80);  // variant 1
    char text[40];
    int length = std::snprintf(
        text, sizeof text, "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X",
        bytes[0], bytes[1], bytes[2], bytes[3], bytes[4], bytes[5], bytes[6], bytes[7], bytes[8],
        bytes[9], bytes[10], bytes[11], bytes[12], bytes[13], bytes[14], bytes[15]);
    if (length != 36) return kFallbackZRUID;
    return text;
}

std::string GetZRUID() {
    std::string id;
    try {
        RegistryKey key(kRegistryRoot, kRegistryKey, core::registry::KEY_READ);
        id = key.GetValueString(kZRUIDValue);
    } catch (const mcExc&) {
        mfCMLog(kLogZRUIDNotFound);
    }
    if (!id.empty()) return id;

    id = NewZRUID();
    if (id == kFallbackZRUID) return id;
    try {
        RegistryKey key(kRegistryRoot, kRegistryKey, core::registry::KEY_ALL_ACCESS);
        // Another process may store one at the same moment: keep the first.
        return key.GetOrSetValueString(kZRUIDValue, id);
    } catch (const mcExc&) {
        mfCMLog(kLogZRUIDNotSet);
    }
    return id;
}

std::string GetVersion() {
    return std::string(kVersionMajor) + "." + kVersionMinor + "." + kVersionBuild;
}

std::string GetUserAgent() {
    return kUserAgentPrefix + GetVersion() + " " + "(" + mfGetOSDescription() + ")";
}

std::string FormatHttpDate(std::time_t utc) {
    std::tm tm {};
    gmtime_r(&utc, &tm);
    char text[64];
    std::snprintf(text, sizeof text, "%s, %02d %s %04d %02d:%02d:%02d GMT", kDayNames[tm.tm_wday],
                  tm.tm_mday, kMonthNames[tm.tm_mon], tm.tm_year + 1900, tm.tm_hour, tm.tm_min,
                  tm.tm_sec);
    return text;
}

std::string GetHttpDate() { return FormatHttpDate(std::time(nullptr)); }

int CompareVersions(std::string a, std::string b) {
    std::int64_t left = PrvToInt64(PrvWithoutDots(std::move(a)));
    std::int64_t right = PrvToInt64(PrvWithoutDots(std::move(b)));
    if (left > right) return 1;
    if (left < right) return -1;
    return 0;
}

std::string GetTIPath() {
    std::string path = kDefaultTIPath;
    try {
        RegistryKey fileType(core::registry::kRootClassesRoot, kPackageFileType,
                             core::registry::KEY_READ);
        std::string className = fileType.GetValueString("");
        if (className.empty()) return path;
        RegistryKey command(core::registry::kRootClassesRoot, className + kOpenCommandKey,
                            core::registry::KEY_READ);
        std::vector<std::string> pieces;
        mfStrSplit(command.GetValueString(""), "\"", pieces, true, 8);
        if (!pieces.empty()) path = pieces.front();
    } catch (const mcExc&) {
        // The default stands.
    }
    return path;
}

}  // namespace mcCMUtils
