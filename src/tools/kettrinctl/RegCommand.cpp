// kettrinctl reg: reads and writes the registry for administrators, installers
// and tests.
#include <cstdlib>
#include <iostream>

#include "tools/kettrinctl/CtlCommand.h"
#include "tools/kettrinctl/CtlJson.h"
#include "tools/kettrinctl/CtlMessages.h"
#include "tools/kettrinctl/CtlOptions.h"
#include "registry/RegistryKey.h"
#include "base/StrConv.h"
#include "base/Win32Error.h"

namespace kettrinctl {

namespace {

using core::registry::RegistryKey;
namespace reg = core::registry;

constexpr const char* kUsage =
    "usage: kettrinctl reg set KEY NAME TYPE DATA\n"
    "       kettrinctl reg query KEY [NAME]\n"
    "       kettrinctl reg delete KEY [NAME]\n"
    "       kettrinctl reg list KEY\n"
    "\n"
    "KEY is a root, written in full or short, and a path below it with \"\\\":\n"
    "  HKEY_LOCAL_MACHINE (HKLM), HKEY_CURRENT_USER (HKCU), HKEY_CLASSES_ROOT (HKCR),\n"
    "  HKEY_USERS (HKU), HKEY_CURRENT_CONFIG (HKCC)\n"
    "e.g. 'HKLM\\software\\Tavrolin, Inc.\\componentMgr'. Key and value names ignore case;\n"
    "NAME \"\" is the key's default value.\n"
    "\n"
    "  set     writes a value, creating the key when missing. TYPE is one of\n"
    "          sz, expand_sz, dword (decimal or 0x hex), binary (hex digits),\n"
    "          multi_sz (items separated by newlines).\n"
    "  query   with NAME prints the value's data alone (a dword in decimal, a\n"
    "          multi_sz one item per line); without NAME one line per value:\n"
    "          name, tab, type, tab, data (multi_sz items joined by \\0).\n"
    "  delete  with NAME deletes the value; without NAME the key and everything\n"
    "          below it.\n"
    "  list    prints the names of the key's direct sub-keys, one per line.\n"
    "\n"
    "The registry file is $KETTRIN_REGISTRY, else /var/lib/tavrolin/registry.db.\n"
    "Exit status: 0 success, 1 key or value missing or of another type,\n"
    "2 usage error, 3 the registry could not be used.\n"
    "With --json, query prints {\"key\",\"values\":[{\"name\",\"type\",\"data\"}]} (data\n"
    "of a multi_sz as an array) or, with NAME, {\"key\",\"name\",\"type\",\"data\"};\n"
    "list prints {\"key\",\"subkeys\":[...]}.\n"
    "'kettrinctl config' names the component manager's own settings.\n";

struct RootName {
    const char* full;
    const char* shortName;
    std::int32_t root;
};

constexpr RootName kRoots[] = {
    {"HKEY_LOCAL_MACHINE", "HKLM", reg::kRootLocalMachine},
    {"HKEY_CURRENT_USER", "HKCU", reg::kRootCurrentUser},
    {"HKEY_CLASSES_ROOT", "HKCR", reg::kRootClassesRoot},
    {"HKEY_USERS", "HKU", reg::kRootUsers},
    {"HKEY_CURRENT_CONFIG", "HKCC", reg::kRootCurrentConfig},
};

struct TypeName {
    const char* word;
    std::uint32_t type;
};

constexpr TypeName kTypes[] = {
    {"sz", reg::REG_SZ},          {"expand_sz", reg::REG_EXPAND_SZ},
    {"binary", reg::REG_BINARY},  {"dword", reg::REG_DWORD},
    {"multi_sz", reg::REG_MULTI_SZ}, {"none", reg::REG_NONE},
    {"qword", reg::REG_QWORD},
};

struct UsageError {
    std::string message;
};

struct KeyName {
    std::int32_t root;
    std::string path;
};

bool PrvEqualNoCase(const std::string& a, const char* b) {
    return mfStrFoldCase(a) == mfStrFoldCase(b);
}

KeyName PrvParseKey(const std::string& text) {
    std::size_t slash = text.find('\\');
    std::string rootWord = text.substr(0, slash);
    for (const RootName& root : kRoots) {
        if (PrvEqualNoCase(rootWord, root.full) || PrvEqualNoCase(rootWord, root.shortName)) {
            return KeyName{root.root, slash == std::string::npos ? "" : text.substr(slash + 1)};
        }
    }
    throw UsageError{"unknown root '" + rootWord + "' in key '" + text + "'"};
}

std::uint32_t PrvParseType(const std::string& word) {
    for (const TypeName& type : kTypes) {
        if (type.type == reg::REG_NONE || type.type == reg::REG_QWORD) continue;
        if (PrvEqualNoCase(word, type.word) ||
            PrvEqualNoCase(word, (std::string("reg_") + type.word).c_str())) {
            return type.type;
        }
    }
    throw UsageError{"unknown type '" + word + "' (sz, expand_sz, dword, binary, multi_sz)"};
}

std::string PrvTypeWord(std::uint32_t type) {
    for (const TypeName& name : kTypes) {
        if (name.type == type) return name.word;
    }
    return std::to_string(type);
}

int PrvHexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::uint32_t PrvParseDWord(const std::string& text) {
    bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    std::string digits = hex ? text.substr(2) : text;
    if (digits.empty() || digits.size() > (hex ? 8u : 10u)) {
        throw UsageError{"not a dword: '" + text + "'"};
    }
    std::uint64_t value = 0;
    for (char c : digits) {
        int digit = PrvHexDigit(c);
        if (digit < 0 || (!hex && digit > 9)) throw UsageError{"not a dword: '" + text + "'"};
        value = value * (hex ? 16 : 10) + static_cast<std::uint64_t>(digit);
    }
    if (value > 0xFFFFFFFFull) throw UsageError{"dword out of range: '" + text + "'"};
    return static_cast<std::uint32_t>(value);
}

std::string PrvParseBinary(const std::string& text) {
    if (text.size() % 2 != 0) throw UsageError{"binary data needs pairs of hex digits"};
    std::string bytes;
    for (std::size_t i = 0; i < text.size(); i += 2) {
        int high = PrvHexDigit(text[i]);
        int low = PrvHexDigit(text[i + 1]);
        if (high < 0 || low < 0) throw UsageError{"not hex digits: '" + text + "'"};
        bytes += static_cast<char>(high * 16 + low);
    }
    return bytes;
}

std::string PrvHex(const std::string& bytes) {
    static const char kDigits[] = "0123456789abcdef";
    std::string text;
    for (unsigned char byte : bytes) {
        text += kDigits[byte >> 4];
        text += kDigits[byte & 0x0F];
    }
    return text;
}

std::string PrvDataBytes(std::uint32_t type, const std::string& data) {
    try {
        switch (type) {
            case reg::REG_SZ:
            case reg::REG_EXPAND_SZ:
                return RegistryKey::BytesFromString(data);
            case reg::REG_DWORD: {
                std::uint32_t value = PrvParseDWord(data);
                std::string bytes(4, '\0');
                for (int i = 0; i < 4; ++i) bytes[i] = static_cast<char>((value >> (8 * i)) & 0xFF);
                return bytes;
            }
            case reg::REG_BINARY:
                return PrvParseBinary(data);
            default: {  // multi_sz: one item per line, empty lines dropped
                std::string bytes;
                std::size_t pos = 0;
                while (pos <= data.size()) {
                    std::size_t end = data.find('\n', pos);
                    if (end == std::string::npos) end = data.size();
                    if (end > pos) bytes += RegistryKey::BytesFromString(data.substr(pos, end - pos));
                    pos = end + 1;
                }
                return bytes + std::string(2, '\0');
            }
        }
    } catch (const mcExc&) {
        throw UsageError{"the data is not UTF-8 text"};
    }
}

// The data of a value as query prints it; separator joins multi_sz items.
std::string PrvDataText(const RegistryKey::RawValue& value, const std::string& separator) {
    switch (value.type) {
        case reg::REG_SZ:
        case reg::REG_EXPAND_SZ:
            return RegistryKey::StringFromBytes(value.data);
        case reg::REG_DWORD: {
            std::uint32_t number = 0;
            for (std::size_t i = 0; i < value.data.size() && i < 4; ++i) {
                number |= static_cast<std::uint32_t>(static_cast<unsigned char>(value.data[i]))
                          << (8 * i);
            }
            return std::to_string(number);
        }
        case reg::REG_MULTI_SZ: {
            std::string text;
            for (const std::string& item : RegistryKey::MultiStringFromBytes(value.data)) {
                if (!text.empty()) text += separator;
                text += item;
            }
            return text;
        }
        default:
            return PrvHex(value.data);
    }
}

CtlJson PrvDataJson(const RegistryKey::RawValue& value) {
    if (value.type == reg::REG_DWORD) return CtlJson(static_cast<std::int64_t>(std::stoull(PrvDataText(value, ""))));
    if (value.type == reg::REG_MULTI_SZ) return CtlJson::StringArray(RegistryKey::MultiStringFromBytes(value.data));
    return CtlJson(PrvDataText(value, ""));
}

// What is missing when an operation on args found nothing: the key, or the
// value under it.
std::string PrvMissingText(const std::vector<std::string>& args) {
    if (args.size() < 2) return "not found";
    try {
        const KeyName name = PrvParseKey(args[1]);
        if (args.size() >= 3 && RegistryKey::Exists(name.root, name.path, reg::KEY_READ)) {
            return "no value '" + args[2] + "' under " + args[1];
        }
    } catch (...) {
    }
    return "no such key " + args[1];
}

int PrvSet(const std::vector<std::string>& args) {
    if (args.size() != 5) throw UsageError{"set needs KEY NAME TYPE DATA"};
    KeyName key = PrvParseKey(args[1]);
    std::uint32_t type = PrvParseType(args[3]);
    std::string bytes = PrvDataBytes(type, args[4]);
    RegistryKey root(key.root, "", reg::KEY_ALL_ACCESS);
    RegistryKey target = root.CreateSubKey(key.path, reg::KEY_ALL_ACCESS);
    target.SetValue(args[2], type, bytes);
    return kExitOk;
}

int PrvQuery(const std::vector<std::string>& args) {
    if (args.size() != 2 && args.size() != 3) throw UsageError{"query needs KEY [NAME]"};
    KeyName name = PrvParseKey(args[1]);
    RegistryKey key(name.root, name.path, reg::KEY_READ);
    const bool bJson = CtlOptions::Current().bJson;
    const bool bQuiet = CtlOptions::Current().bQuiet;
    if (args.size() == 3) {
        const RegistryKey::RawValue value = key.GetValue(args[2]);
        if (bJson) {
            PrintJson(CtlJson::MakeObject({{"key", args[1]}, {"name", args[2]},
                                           {"type", PrvTypeWord(value.type)}, {"data", PrvDataJson(value)}}));
        } else if (!bQuiet) {
            std::cout << PrvDataText(value, "\n") << '\n';
        }
        return kExitOk;
    }
    CtlJson::Array values;
    for (const RegistryKey::RawValue& value : key.GetValues()) {
        if (bJson) {
            values.push_back(CtlJson::MakeObject(
                {{"name", value.name}, {"type", PrvTypeWord(value.type)}, {"data", PrvDataJson(value)}}));
        } else if (!bQuiet) {
            std::cout << value.name << '\t' << PrvTypeWord(value.type) << '\t'
                      << PrvDataText(value, "\\0") << '\n';
        }
    }
    if (bJson) PrintJson(CtlJson::MakeObject({{"key", args[1]}, {"values", CtlJson(std::move(values))}}));
    return kExitOk;
}

int PrvDelete(const std::vector<std::string>& args) {
    if (args.size() != 2 && args.size() != 3) throw UsageError{"delete needs KEY [NAME]"};
    KeyName name = PrvParseKey(args[1]);
    if (args.size() == 3) {
        RegistryKey key(name.root, name.path, reg::KEY_ALL_ACCESS);
        key.DeleteValue(args[2]);
        return kExitOk;
    }
    if (core::registry::mfRegistryFoldKeyPath(name.path).empty()) {
        throw UsageError{"a root key cannot be deleted"};
    }
    RegistryKey::DeleteKey(name.root, name.path);
    return kExitOk;
}

int PrvList(const std::vector<std::string>& args) {
    if (args.size() != 2) throw UsageError{"list needs KEY"};
    KeyName name = PrvParseKey(args[1]);
    RegistryKey key(name.root, name.path, reg::KEY_READ);
    const std::vector<std::string> vecNames = key.GetSubKeyNames();
    if (CtlOptions::Current().bJson) {
        PrintJson(CtlJson::MakeObject({{"key", args[1]}, {"subkeys", CtlJson::StringArray(vecNames)}}));
    } else if (!CtlOptions::Current().bQuiet) {
        for (const std::string& sub : vecNames) std::cout << sub << '\n';
    }
    return kExitOk;
}

int RunReg(const std::vector<std::string>& args) {
    if (WantsHelp(args)) {
        std::cout << kUsage;
        return kExitOk;
    }
    try {
        if (args.empty()) throw UsageError{"missing sub-command"};
        const std::string& verb = args[0];
        if (verb == "set") return PrvSet(args);
        if (verb == "query") return PrvQuery(args);
        if (verb == "delete") return PrvDelete(args);
        if (verb == "list") return PrvList(args);
        throw UsageError{"unknown sub-command '" + verb + "'"};
    } catch (const UsageError& error) {
        PrintError("reg", error.message);
        std::cerr << "(see 'kettrinctl reg --help')\n";
        return kExitUsage;
    } catch (const RegistryKey::ValueTypeException& exc) {
        PrintError("reg", "the value has another type than asked for", exc.what(), true);
        return kExitNo;
    } catch (const RegistryKey::DatabaseException& exc) {
        PrintRegistryFailure("reg", exc);
        return kExitFailed;
    } catch (const RegistryKey::Exception& exc) {
        if (exc.ErrorCode() == ERROR_FILE_NOT_FOUND || exc.ErrorCode() == ERROR_KEY_DELETED) {
            PrintError("reg", PrvMissingText(args), exc.what());
            return kExitNo;
        }
        PrintRegistryFailure("reg", exc);
        return kExitFailed;
    } catch (const mcExc& exc) {
        PrintRegistryFailure("reg", exc);
        return kExitFailed;
    }
}

}  // namespace

KETTRINCTL_COMMAND("reg", "read and write the registry (set, query, delete, list)", RunReg);

}  // namespace kettrinctl
