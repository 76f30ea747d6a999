#include "registry/SettingsPath.h"

#include "base/StrConv.h"

namespace core::settings {

namespace {

constexpr const char* kFnAssign = "core::settings::Path::operator`='";
constexpr const char* kIllegalCharacters = "*?<>";
constexpr const char* kPhysicalSoftware = "SOFTWARE";
constexpr const char* kPhysicalDefaultUser = ".DEFAULT\\Software";

[[noreturn]] void PrvThrowPath(int line, std::string description) {
    Path::PathException exc(kFnAssign, __FILE__, line, std::move(description));
    mfAnnounceThrow(exc);
    throw exc;
}

bool PrvIs(const std::string& component, const char* word) {
    return mfStrFoldCase(component) == mfStrFoldCase(word);
}

// Number of leading components that make up the root of components, and the
// registry root index (0 when none).
std::size_t PrvRootLength(const std::vector<std::string>& components, std::int32_t* root) {
    *root = 0;
    if (!components.empty() && PrvIs(components[0], "SYSTEM")) {
        *root = 5;
        return 1;
    }
    if (components.size() >= 2 && PrvIs(components[0], "USERS")) {
        if (PrvIs(components[1], "ALL")) {
            *root = 7;
            return 2;
        }
        if (PrvIs(components[1], "CURRENT")) {
            *root = 3;
            return 2;
        }
    }
    return 0;
}

}  // namespace

std::string mfProductSettingsPath(const std::string& root) {
    return root + kSeparator + kProductCompany + kSeparator + kProductName + kSeparator +
           kProductVersion;
}

Path::Path() : m_strText(1, kSeparator) {}

Path::Path(const std::string& text) : Path() { *this = text; }

Path& Path::operator=(const std::string& text) {
    if (!IsAbsolute(text)) PrvThrowPath(254, "Path " + text + " is not absolute.");
    if (!IsWellFormed(text)) PrvThrowPath(259, "Path " + text + " is not well-formed.");
    std::vector<std::string> components;
    std::size_t pos = 1;
    while (pos <= text.size()) {
        std::size_t next = text.find(kSeparator, pos);
        if (next == std::string::npos) next = text.size();
        std::string component = text.substr(pos, next - pos);
        if (component == kParentComponent) {
            if (!components.empty()) components.pop_back();
        } else if (!component.empty()) {
            components.push_back(std::move(component));
        }
        pos = next + 1;
    }
    m_strText = text;
    m_vComponents = std::move(components);
    return *this;
}

std::int32_t Path::RootIndex() const {
    std::int32_t root = 0;
    PrvRootLength(m_vComponents, &root);
    return root;
}

std::string Path::PhysicalKeyPath(int level) const {
    std::size_t count = m_vComponents.size();
    if (level != kWholePath) {
        if (level < 0) {
            std::size_t drop = static_cast<std::size_t>(-static_cast<long>(level));
            count = drop >= count ? 0 : count - drop;
        } else if (static_cast<std::size_t>(level) < count) {
            count = static_cast<std::size_t>(level);
        }
    }
    std::vector<std::string> selected(m_vComponents.begin(),
                                      m_vComponents.begin() + static_cast<std::ptrdiff_t>(count));
    std::int32_t root = 0;
    std::size_t rootLength = PrvRootLength(selected, &root);
    if (root == 0) return std::string();
    std::string result = root == 7 ? kPhysicalDefaultUser : kPhysicalSoftware;
    for (std::size_t i = rootLength; i < selected.size(); ++i) result += kSeparator + selected[i];
    return result;
}

std::string Path::LastComponent() const {
    return m_vComponents.empty() ? std::string() : m_vComponents.back();
}

bool Path::IsAbsolute(const std::string& text) { return !text.empty() && text[0] == kSeparator; }

bool Path::IsWellFormed(const std::string& text) {
    return text.find_first_of(kIllegalCharacters) == std::string::npos &&
           text.find("\\\\") == std::string::npos && text.find("...") == std::string::npos;
}

}  // namespace core::settings
