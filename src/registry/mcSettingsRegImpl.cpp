#include "registry/mcSettingsRegImpl.h"

#include "registry/RegistryKey.h"
#include "registry/Settings.h"
#include "registry/SettingsPath.h"
#include "base/StrConv.h"
#include "base/Win32Error.h"
#include "base/mfReportAssertion.h"

namespace {

struct RootWord {
    const char* prefix;
    std::int32_t root;
    const char* keyPrefix;
};

// Tried in this order: "\USERS\" last, after its two longer forms.
constexpr RootWord kRootWords[] = {
    {"\\SYSTEM\\", core::registry::kRootLocalMachine, "Software\\"},
    {"\\USERS\\CURRENT\\", core::registry::kRootCurrentUser, "Software\\"},
    {"\\CLASSES\\", core::registry::kRootClassesRoot, ""},
    {"\\USERS\\ALL\\", core::registry::kRootUsers, ".Default\\Software\\"},
    {"\\USERS\\", core::registry::kRootUsers, ""},
};

constexpr const char* kFnValueInt32 = "mcSettingsRegImpl::ValueInt32";
constexpr int kValueInt32Line = 129;

bool PrvStartsWithNoCase(const std::string& text, const char* prefix) {
    std::string word(prefix);
    return text.size() >= word.size() &&
           mfStrFoldCase(std::string_view(text).substr(0, word.size())) == mfStrFoldCase(word);
}

[[noreturn]] void PrvThrowValueInt32(const std::string& path, std::uint32_t code) {
    core::settings::Exception exc(kFnValueInt32, __FILE__, kValueInt32Line,
                                  "mcSettingsRegImpl::ValueInt32(" + path + ") - return code " +
                                      std::to_string(code));
    mfAnnounceThrow(exc);
    throw exc;
}

}  // namespace

bool mcSettingsRegImpl::ParseValuePath(const std::string& path, ValuePath& result) {
    result = ValuePath{};
    for (const RootWord& word : kRootWords) {
        if (!PrvStartsWithNoCase(path, word.prefix)) continue;
        std::size_t prefixLength = std::string(word.prefix).size();
        std::size_t last = path.rfind('\\');
        std::string middle =
            last >= prefixLength ? path.substr(prefixLength, last - prefixLength) : std::string();
        result.root = word.root;
        result.key = word.keyPrefix + middle;
        result.name = path.substr(last + 1);
        return true;
    }
    mfReportAssertion("mcSettingsRegImpl::ParseValuePath", __FILE__, 390, "false");
    return false;
}

std::int32_t mcSettingsRegImpl::ValueInt32(const std::string& path) {
    ValuePath parsed;
    if (!ParseValuePath(path, parsed)) PrvThrowValueInt32(path, 0);
    std::string data;
    try {
        core::registry::RegistryKey key(parsed.root, parsed.key, kValueAccess);
        data = key.GetValue(parsed.name).data;
    } catch (const core::registry::RegistryKey::Exception& exc) {
        PrvThrowValueInt32(path, exc.ErrorCode());
    } catch (const mcExc&) {
        PrvThrowValueInt32(path, 0);
    }
    // Four bytes were asked for: anything longer does not fit.
    if (data.size() > 4) PrvThrowValueInt32(path, ERROR_MORE_DATA);
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < data.size(); ++i) {
        value |= static_cast<std::uint32_t>(static_cast<unsigned char>(data[i])) << (8 * i);
    }
    return static_cast<std::int32_t>(value);
}

bool mcSettingsRegImpl::SettingExists(const std::string& path) {
    try {
        return core::settings::Path::IsAbsolute(path) &&
               core::settings::Path::IsWellFormed(path) &&
               !core::settings::Setting::PhysicalPath(path).empty();
    } catch (const mcExc&) {
        return false;
    }
}
