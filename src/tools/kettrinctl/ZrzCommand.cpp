// kettrinctl zrz: the publisher's tools for ".zrz" component packages.
//   pack DIR --component C --version V [--manifest M] [--compression gzip|xz] -o FILE
//   list FILE
#include <iostream>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "package/mcZrzPackage.h"
#include "tools/kettrinctl/CtlCommand.h"
#include "tools/kettrinctl/CtlJson.h"
#include "tools/kettrinctl/CtlOptions.h"
#include "tools/kettrinctl/CtlValueArgs.h"

namespace kettrinctl {
namespace {

constexpr const char* kSynopsis =
    "usage: kettrinctl zrz pack DIR --component C --version V [--manifest M]\n"
    "                           [--compression gzip|xz] -o FILE\n"
    "       kettrinctl zrz list FILE\n";
constexpr const char* kDetails =
    "\n"
    "A \".zrz\" package is an archive (tar with gzip, xz or zstd, or zip) holding\n"
    "\"zrz.xml\" at its root, <Package component=\"C\" version=\"V\" manifest=\"M\"/>,\n"
    "and the files to install below \"files/\". The package installer TI installs\n"
    "them into <ComponentsPath>/C.\n"
    "\n"
    "  pack   writes FILE (tar.gz, or tar.xz with --compression xz) holding the\n"
    "         content of DIR: regular files, folders and symbolic links that\n"
    "         stay inside DIR. The package is read back with the installer's\n"
    "         own checks before it replaces FILE.\n"
    "  list   checks FILE as the installer does and prints its descriptor and\n"
    "         entries (type, permission bits, size, path, link target).\n"
    "\n"
    "With --json, pack prints {\"file\",\"component\",\"version\",\"manifest\",\"entries\"}\n"
    "and list {\"file\",\"component\",\"version\",\"manifest\",\"entries\":[{\"path\",\n"
    "\"type\",\"mode\",\"size\",\"target\"}]}.\n"
    "\n"
    "Exit codes: 0 done, 1 the package was refused or could not be read or\n"
    "written (the reason is printed), 2 usage error.\n";

using Args = CtlValueArgs;

int UsageError(const std::string& strMessage) {
    std::cerr << "kettrinctl zrz: " << strMessage << "\n" << kSynopsis << "'kettrinctl zrz --help' for more.\n";
    return kExitUsage;
}

std::optional<Args> ParseArgs(const std::vector<std::string>& args, const std::vector<std::string>& vecValueOptions) {
    std::string strError;
    std::optional<Args> parsed = CtlValueArgs::Parse(args, 1, vecValueOptions, strError);
    if (!parsed) UsageError(strError);
    return parsed;
}

const char* TypeName(mcZrzPackage::EntryType eType) {
    switch (eType) {
        case mcZrzPackage::EntryType::kFolder: return "folder";
        case mcZrzPackage::EntryType::kSymlink: return "symlink";
        case mcZrzPackage::EntryType::kFile: break;
    }
    return "file";
}

std::string OctalMode(std::uint32_t nMode) {
    std::string s = "0000";
    for (int i = 3; i >= 0; --i, nMode >>= 3) s[static_cast<std::size_t>(i)] = static_cast<char>('0' + (nMode & 7));
    return s;
}

int Pack(const std::vector<std::string>& args) {
    auto parsed = ParseArgs(args, {"--component", "--version", "--manifest", "--compression", "-o"});
    if (!parsed) return kExitUsage;
    if (parsed->words.size() != 1) return UsageError("pack takes one DIR");
    for (const char* psz : {"--component", "--version", "-o"}) {
        if (parsed->options.count(psz) == 0) return UsageError(std::string("pack needs ") + psz);
    }
    mcZrzPackage::Compression eCompression = mcZrzPackage::Compression::kGzip;
    if (parsed->options.count("--compression") != 0) {
        const std::string& strName = parsed->options["--compression"];
        if (strName == "xz") {
            eCompression = mcZrzPackage::Compression::kXz;
        } else if (strName != "gzip") {
            return UsageError("--compression takes gzip or xz");
        }
    }
    mcZrzPackage::Descriptor descriptor;
    descriptor.strComponent = parsed->options["--component"];
    descriptor.strVersion = parsed->options["--version"];
    descriptor.strManifest = parsed->options.count("--manifest") ? parsed->options["--manifest"] : "";
    const std::string& strOutput = parsed->options["-o"];
    std::size_t nEntries = 0;
    try {
        mcZrzPackage::Write(parsed->words[0], descriptor, strOutput, eCompression);
        nEntries = mcZrzPackage::Open(strOutput).Entries().size();
    } catch (const mcExc& e) {
        std::cerr << "kettrinctl zrz pack: " << e.Description() << "\n";
        return kExitNo;
    }
    if (CtlOptions::Current().bJson) {
        PrintJson(CtlJson::MakeObject({{"file", strOutput},
                                       {"component", descriptor.strComponent},
                                       {"version", descriptor.strVersion},
                                       {"manifest", descriptor.strManifest},
                                       {"entries", static_cast<std::int64_t>(nEntries)}}));
    } else if (!CtlOptions::Current().bQuiet) {
        std::cout << "wrote " << strOutput << ": " << descriptor.strComponent << " " << descriptor.strVersion
                  << ", " << nEntries << " entries\n";
    }
    return kExitOk;
}

int List(const std::vector<std::string>& args) {
    auto parsed = ParseArgs(args, {});
    if (!parsed) return kExitUsage;
    if (parsed->words.size() != 1) return UsageError("list takes one FILE");
    const std::string& strFile = parsed->words[0];
    std::optional<mcZrzPackage> package;
    try {
        package.emplace(mcZrzPackage::Open(strFile));
    } catch (const mcExc& e) {
        std::cerr << "kettrinctl zrz list: " << e.Description() << "\n";
        return kExitNo;
    }
    const mcZrzPackage::Descriptor& descriptor = package->GetDescriptor();
    if (CtlOptions::Current().bJson) {
        CtlJson::Array entries;
        for (const mcZrzPackage::Entry& entry : package->Entries()) {
            entries.push_back(CtlJson::MakeObject(
                {{"path", entry.strPath},
                 {"type", TypeName(entry.eType)},
                 {"mode", OctalMode(entry.nMode)},
                 {"size", static_cast<std::int64_t>(entry.nSize)},
                 {"target", CtlJson::StringOrNull(entry.eType == mcZrzPackage::EntryType::kSymlink,
                                                  entry.strLinkTarget)}}));
        }
        PrintJson(CtlJson::MakeObject({{"file", strFile},
                                       {"component", descriptor.strComponent},
                                       {"version", descriptor.strVersion},
                                       {"manifest", descriptor.strManifest},
                                       {"entries", CtlJson(std::move(entries))}}));
        return kExitOk;
    }
    std::cout << "component " << descriptor.strComponent << "\nversion   " << descriptor.strVersion
              << "\nmanifest  " << descriptor.strManifest << "\n";
    for (const mcZrzPackage::Entry& entry : package->Entries()) {
        std::cout << TypeName(entry.eType) << "\t" << OctalMode(entry.nMode) << "\t" << entry.nSize << "\t"
                  << entry.strPath;
        if (entry.eType == mcZrzPackage::EntryType::kSymlink) std::cout << " -> " << entry.strLinkTarget;
        std::cout << "\n";
    }
    return kExitOk;
}

int Run(const std::vector<std::string>& args) {
    if (args.empty()) return UsageError("missing sub-command");
    if (args[0] == "help" || WantsHelp(args)) {
        std::cout << kSynopsis << kDetails;
        return kExitOk;
    }
    if (args[0] == "pack") return Pack(args);
    if (args[0] == "list") return List(args);
    return UsageError("unknown sub-command '" + args[0] + "'");
}

}  // namespace

KETTRINCTL_COMMAND("zrz", "publisher tools: pack and list \".zrz\" component packages", Run);

}  // namespace kettrinctl
