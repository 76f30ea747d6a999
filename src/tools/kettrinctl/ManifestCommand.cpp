// kettrinctl manifest: the publisher's tools for signed component manifests.
//   keygen [--type T] PRIVATE_KEY_FILE           new signing key
//   sign --key PRIVATE_KEY_FILE IN.xml OUT       write a signed manifest
//   verify [--public-key HEX] FILE               check a signature
//   show [--public-key HEX] [--client ...] FILE  list the components
//   trust list|add FILE|remove KEYID             the trusted-key folder
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "ManifestKey.h"
#include "tools/kettrinctl/CtlCommand.h"
#include "tools/kettrinctl/CtlJson.h"
#include "tools/kettrinctl/CtlOptions.h"
#include "tools/kettrinctl/CtlValueArgs.h"
#include "base/FileUtils.h"
#include "base/mcCMLog.h"
#include "base/mcTraceViewer.h"
#include "manifest/Crypt.h"
#include "manifest/mcComponentManifest.h"
#include "manifest/StrongCrypt.h"
#include "manifest/mcSignedFile.h"
#include "manifest/mcTrustedKeys.h"

namespace kettrinctl {
namespace {

constexpr const char* kSynopsis =
    "usage: kettrinctl manifest keygen [--type ed25519|rsa-sha256|legacy] PRIVATE_KEY_FILE\n"
    "       kettrinctl manifest sign --key PRIVATE_KEY_FILE IN.xml OUT\n"
    "       kettrinctl manifest verify [--public-key HEX] [--trusted-keys DIR] FILE\n"
    "       kettrinctl manifest show [--public-key HEX] [--trusted-keys DIR]\n"
    "                                [--client NAME [--version V] [--oem O] [--lang L]] FILE\n"
    "       kettrinctl manifest trust [--trusted-keys DIR] list|add PUBLIC_KEY_FILE|remove KEYID\n";
constexpr const char* kDetails =
    "\n"
    "Signed component manifests: a signature line followed by the XML document.\n"
    "The line is either the legacy form, 128 hex digits (RSASSA-PKCS1-v1_5 with\n"
    "SHA-1, 512-bit RSA key built into the program), or the strong form\n"
    "\"KSIG2 <ed25519|rsa-sha256> <key id> <hex signature>\", verified with the\n"
    "trusted key of that id (first 16 hex digits of the SHA-256 of its DER\n"
    "SubjectPublicKeyInfo). Trusted keys are the PEM public keys in the folder\n"
    "--trusted-keys names, by default the registry's TrustedKeysPath\n"
    "(/etc/tavrolin/trusted-keys when unset).\n"
    "\n"
    "  keygen   writes a new private key (PEM PKCS#8, mode 0600; an existing file\n"
    "           is not overwritten). --type legacy (default): 512-bit RSA, prints\n"
    "           the 188 hex digits the build takes (-DKETTRIN_MANIFEST_PUBLIC_KEY=...).\n"
    "           --type ed25519 or rsa-sha256 (3072 bits): prints the PEM public key\n"
    "           to put into the trusted-key folder; its key id goes to stderr.\n"
    "  sign     signs IN.xml with a PEM PKCS#8 key and writes the signed file OUT:\n"
    "           a 512-bit RSA key makes the legacy form, an Ed25519 key or an RSA\n"
    "           key of 2048 bits or more the KSIG2 form.\n"
    "  verify   prints \"verified: \" with the form and key and exits 0 when FILE's\n"
    "           signature holds (legacy form: against HEX, default the key built\n"
    "           into this program); otherwise prints the reason and exits 1. The\n"
    "           service's RequireStrongSignature is not applied here.\n"
    "  trust    list: the folder's keys (key id, algorithm, bits, file) and the\n"
    "           files skipped; add: copies a PEM public key in as <key id>.pem;\n"
    "           remove: deletes the files holding the key of that id.\n"
    "  show     loads FILE as the service does (signature, XML) and prints its\n"
    "           version and a table of its components: plug-in record, hidden,\n"
    "           mandatory and available flags, uninstall rule and client filters.\n"
    "           With --client only the components that client may see. The\n"
    "           service's log lines for the file go to standard error. Exits 1\n"
    "           when the manifest does not load.\n"
    "\n"
    "With --json, verify prints {\"file\",\"verified\",\"reason\",\"form\",\"algorithm\",\n"
    "\"key_id\"}, trust list [{\"key_id\",\"algorithm\",\"bits\"}] and show\n"
    "{\"manifest\",\"loaded\",\"version\",\"client\",\"components\":[...]}.\n"
    "\n"
    "Exit codes: 0 done, 1 not verified or a file could not be used, 2 usage error.\n";

// Parsed command line: options with a value, then positional words.
using Args = CtlValueArgs;

int UsageError(const std::string& message) {
    std::cerr << "kettrinctl manifest: " << message << "\n"
              << kSynopsis << "'kettrinctl manifest --help' for more.\n";
    return kExitUsage;
}

// Options in valueOptions take the next word as value; "--" ends the options.
// Returns nullopt after printing a usage error.
std::optional<Args> ParseArgs(const std::vector<std::string>& args, std::size_t first,
                              const std::vector<std::string>& valueOptions) {
    std::string strError;
    std::optional<Args> parsed = CtlValueArgs::Parse(args, first, valueOptions, strError);
    if (!parsed) UsageError(strError);
    return parsed;
}

bool IsHex(const std::string& s) {
    if (s.empty()) return false;
    for (char c : s) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'))) return false;
    }
    return true;
}

// Reads a whole regular file of at most maxBytes; false with a message otherwise.
bool ReadWholeFile(const std::string& path, std::int64_t maxBytes, std::string& out, std::string& error) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        error = path + ": " + std::strerror(errno);
        return false;
    }
    struct stat st {};
    bool bOk = ::fstat(fd, &st) == 0;
    if (!bOk || !S_ISREG(st.st_mode)) {
        error = path + ": not a regular file";
        ::close(fd);
        return false;
    }
    if (st.st_size > maxBytes) {
        error = path + ": larger than " + std::to_string(maxBytes) + " bytes";
        ::close(fd);
        return false;
    }
    out.assign(static_cast<std::size_t>(st.st_size), '\0');
    std::size_t done = 0;
    while (done < out.size()) {
        ssize_t n = ::read(fd, out.data() + done, out.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            error = path + ": read failed";
            ::close(fd);
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    ::close(fd);
    return true;
}

bool WriteAll(int fd, const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// Replaces path through the crash-safe writer (a new file gets mode, less
// the umask).
bool WriteFileAtomically(const std::string& path, const std::string& bytes, mode_t mode,
                         std::string& error) {
    if (mfWriteFileAtomic(path, bytes, mode)) return true;
    error = path + ": " + std::strerror(errno);
    return false;
}

int Keygen(const std::vector<std::string>& args) {
    auto parsed = ParseArgs(args, 1, {"--type"});
    if (!parsed) return kExitUsage;
    if (parsed->words.size() != 1) return UsageError("keygen takes one PRIVATE_KEY_FILE");
    const std::string& path = parsed->words[0];
    const std::string strType = parsed->options.count("--type") ? parsed->options["--type"] : "legacy";
    const auto eStrong = zr::crypt::AlgorithmFromName(strType);
    if (!eStrong && strType != "legacy") return UsageError("--type takes ed25519, rsa-sha256 or legacy");

    zr::crypt::msKeyPair pair;
    std::string strKeyId;
    try {
        if (eStrong) {
            const zr::crypt::msStrongKeyPair strong = zr::crypt::StrongGenerateKey(*eStrong);
            pair.privateKeyPem = strong.privateKeyPem;
            // Printed as is below: the PEM public key.
            pair.publicKeyHex = strong.publicKeyPem;
            strKeyId = strong.keyId;
        } else {
            pair = zr::crypt::RSAGenerateKey();
        }
    } catch (const mcExc& e) {
        std::cerr << "kettrinctl manifest keygen: " << e.Description() << "\n";
        return kExitNo;
    }
    // O_EXCL: never replace an existing key by accident.
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
        std::cerr << "kettrinctl manifest keygen: " << path << ": " << std::strerror(errno) << "\n";
        return kExitNo;
    }
    bool bOk = WriteAll(fd, pair.privateKeyPem) && ::fsync(fd) == 0;
    bOk = (::close(fd) == 0) && bOk;
    if (!bOk) {
        std::cerr << "kettrinctl manifest keygen: " << path << ": write failed\n";
        ::unlink(path.c_str());
        return kExitNo;
    }
    if (CtlOptions::Current().bJson) {
        PrintJson(CtlJson::MakeObject({{"file", path},
                                       {"type", strType},
                                       {"public_key", pair.publicKeyHex},
                                       {"key_id", CtlJson::StringOrNull(eStrong.has_value(), strKeyId)}}));
    } else if (CtlOptions::Current().bQuiet) {
        // The key file is written; nothing to print.
    } else if (eStrong) {
        std::cout << pair.publicKeyHex;
        std::cerr << "key id " << strKeyId << "\n";
    } else {
        std::cout << pair.publicKeyHex << "\n";
    }
    return kExitOk;
}

int Sign(const std::vector<std::string>& args) {
    auto parsed = ParseArgs(args, 1, {"--key"});
    if (!parsed) return kExitUsage;
    if (parsed->options.count("--key") == 0) return UsageError("sign needs --key PRIVATE_KEY_FILE");
    if (parsed->words.size() != 2) return UsageError("sign takes IN.xml and OUT");
    const std::string& in = parsed->words[0];
    const std::string& out = parsed->words[1];

    std::string pem, document, error;
    if (!ReadWholeFile(parsed->options["--key"], 1 << 20, pem, error) ||
        !ReadWholeFile(in,
                       mcSignedFile::kMaxFileSize - static_cast<std::int64_t>(mcSignedFile::kMaxStrongLineBytes + 1),
                       document, error)) {
        std::cerr << "kettrinctl manifest sign: " << error << "\n";
        return kExitNo;
    }
    if (document.empty()) {
        std::cerr << "kettrinctl manifest sign: " << in << ": empty document\n";
        return kExitNo;
    }
    if (document.back() == '\0') {
        // Readers drop one trailing NUL, so such a document could never verify.
        std::cerr << "kettrinctl manifest sign: " << in << ": document ends with a NUL byte\n";
        return kExitNo;
    }
    std::string bytes;
    try {
        if (zr::crypt::StrongTypeOfPrivateKey(pem)) {
            bytes = mcSignedFile::ComposeStrong(zr::crypt::StrongSign(pem, document), document);
        } else {
            bytes = mcSignedFile::Compose(zr::crypt::RSASign(pem, document), document);
        }
    } catch (const mcExc& e) {
        std::cerr << "kettrinctl manifest sign: " << e.Description() << "\n";
        return kExitNo;
    }
    if (!WriteFileAtomically(out, bytes, 0644, error)) {
        std::cerr << "kettrinctl manifest sign: " << error << "\n";
        return kExitNo;
    }
    return kExitOk;
}

// The --public-key value, or the built-in key. Empty after a usage error.
std::optional<std::string> PublicKeyOption(Args& parsed) {
    auto it = parsed.options.find("--public-key");
    if (it == parsed.options.end()) return std::string(zr::crypt::kManifestPublicKey);
    if (!IsHex(it->second)) {
        UsageError("--public-key takes hex digits (hex DER SubjectPublicKeyInfo)");
        return std::nullopt;
    }
    return it->second;
}

// Captures what the manifest code logs while the tool runs, instead of writing
// into the service's log: a private folder holds the log until it is printed.
class LogToStderr {
public:
    LogToStderr() {
        std::string tmpl = (std::filesystem::temp_directory_path() / "kettrinctl-log-XXXXXX").string();
        if (::mkdtemp(tmpl.data()) != nullptr) {
            m_strFolder = tmpl;
            mcCMLog::Instance().Open(m_strFolder);
        } else {
            mcCMLog::Instance().Close();  // no default log either
        }
    }
    ~LogToStderr() {
        mcCMLog::Instance().Close();
        if (m_strFolder.empty()) return;
        std::ifstream in(m_strFolder + "/" + mcCMLog::kLogFileName);
        std::string line;
        while (std::getline(in, line)) std::cerr << "log: " << mcTraceViewer::Printable(line) << "\n";
        std::error_code ec;
        std::filesystem::remove_all(m_strFolder, ec);
    }
    LogToStderr(const LogToStderr&) = delete;
    LogToStderr& operator=(const LogToStderr&) = delete;

private:
    std::string m_strFolder;
};

std::string TrustFolderOption(Args& parsed) {
    auto it = parsed.options.find("--trusted-keys");
    return it != parsed.options.end() ? it->second : mcTrustedKeys::FolderFromRegistry();
}

// The key given (or built in) for the legacy form and the folder's keys; the
// registry's RequireStrongSignature is left to the service.
msTrustPolicy ToolPolicy(Args& parsed, const std::string& keyHex) {
    return msTrustPolicy{keyHex, std::make_shared<const mcTrustedKeys>(mcTrustedKeys::LoadFolder(TrustFolderOption(parsed))),
                         false};
}

int Verify(const std::vector<std::string>& args) {
    auto parsed = ParseArgs(args, 1, {"--public-key", "--trusted-keys"});
    if (!parsed) return kExitUsage;
    if (parsed->words.size() != 1) return UsageError("verify takes one FILE");
    auto key = PublicKeyOption(*parsed);
    if (!key) return kExitUsage;
    std::optional<mcSignedFile> file;
    {
        LogToStderr logCapture;  // keys the folder skips
        file.emplace(parsed->words[0], ToolPolicy(*parsed, *key));
    }
    const bool bVerified = file->IsVerified();
    const bool bStrong = file->GetForm() == mcSignedFile::meForm::kStrong;
    const char* pszForm = bStrong ? "KSIG2" : file->GetForm() == mcSignedFile::meForm::kLegacy ? "legacy" : "none";
    if (CtlOptions::Current().bJson) {
        PrintJson(CtlJson::MakeObject(
            {{"file", parsed->words[0]},
             {"verified", bVerified},
             {"reason", CtlJson::StringOrNull(!bVerified, mcSignedFile::StatusText(file->GetStatus()))},
             {"form", pszForm},
             {"algorithm", bStrong ? file->GetAlgorithm() : std::string("rsa-sha1")},
             {"key_id", CtlJson::StringOrNull(bStrong, file->GetKeyId())}}));
    } else if (!CtlOptions::Current().bQuiet) {
        if (bVerified && bStrong) {
            std::cout << "verified: KSIG2 " << file->GetAlgorithm() << ", key id " << file->GetKeyId() << "\n";
        } else if (bVerified) {
            std::cout << "verified: legacy RSA-512/SHA-1, "
                      << (parsed->options.count("--public-key") ? "key given" : "built-in key") << "\n";
        } else {
            std::cout << "not verified: " << mcSignedFile::StatusText(file->GetStatus()) << "\n";
        }
    }
    return bVerified ? kExitOk : kExitNo;
}


std::string Join(const std::vector<std::string>& items, const char* separator) {
    std::string text;
    for (const auto& item : items) {
        if (!text.empty()) text += separator;
        text += item;
    }
    return text;
}

std::string FilterText(const std::vector<mcClientFilter>& filters) {
    std::vector<std::string> entries;
    for (const auto& f : filters) {
        std::string entry = f.m_strName;
        if (!f.m_strMinVersion.empty() || !f.m_strMaxVersion.empty()) {
            entry += " " + (f.m_strMinVersion.empty() ? std::string("*") : f.m_strMinVersion) + ".." +
                     (f.m_strMaxVersion.empty() ? std::string("*") : f.m_strMaxVersion);
        }
        if (!f.m_vecOEMs.empty()) entry += " oem=" + Join(f.m_vecOEMs, ",");
        if (!f.m_vecLangs.empty()) entry += " lang=" + Join(f.m_vecLangs, ",");
        entries.push_back(entry);
    }
    return Join(entries, "; ");
}

const char* UninstallRuleText(std::int32_t rule) {
    switch (rule) {
        case mcManifestPlugin::kUninstallRuleCM: return "CM";
        case mcManifestPlugin::kUninstallRuleClient: return "Client";
        default: return "-";
    }
}

std::string OrDash(const std::string& text) { return text.empty() ? "-" : text; }

// Texts from the manifest are printed with control characters (line breaks,
// terminal escapes) replaced by '?', so a file cannot forge rows or drive the
// terminal.
void PrintTable(std::vector<std::vector<std::string>> rows) {
    for (auto& row : rows) {
        for (auto& cell : row) cell = mcTraceViewer::Printable(cell);
    }
    std::vector<std::size_t> widths;
    for (const auto& row : rows) {
        widths.resize(std::max(widths.size(), row.size()), 0);
        for (std::size_t i = 0; i < row.size(); ++i) widths[i] = std::max(widths[i], row[i].size());
    }
    for (const auto& row : rows) {
        std::string line;
        for (std::size_t i = 0; i < row.size(); ++i) {
            line += row[i];
            if (i + 1 < row.size()) line += std::string(widths[i] - row[i].size() + 2, ' ');
        }
        while (!line.empty() && line.back() == ' ') line.pop_back();
        std::cout << line << "\n";
    }
}

CtlJson FiltersJson(const std::vector<mcClientFilter>& filters) {
    CtlJson::Array array;
    for (const mcClientFilter& f : filters) {
        array.push_back(CtlJson::MakeObject({{"name", f.m_strName},
                                             {"min_version", CtlJson::StringOrNull(!f.m_strMinVersion.empty(),
                                                                                   f.m_strMinVersion)},
                                             {"max_version", CtlJson::StringOrNull(!f.m_strMaxVersion.empty(),
                                                                                   f.m_strMaxVersion)},
                                             {"oems", CtlJson::StringArray(f.m_vecOEMs)},
                                             {"langs", CtlJson::StringArray(f.m_vecLangs)}}));
    }
    return CtlJson(std::move(array));
}

CtlJson ShowJson(const std::string& strPath, const mcComponentManifest& manifest, bool bClient,
                 const msClientRecord& client, const std::vector<std::string>& names) {
    CtlJson::Array components;
    for (const std::string& name : names) {
        mcManifestComponent component;
        if (!manifest.GetComponent(name, component)) {
            components.push_back(CtlJson::MakeObject({{"name", name}, {"readable", false}}));
            continue;
        }
        const mcManifestPlugin& p = component.m_plugin;
        components.push_back(CtlJson::MakeObject({{"name", name},
                                                  {"readable", true},
                                                  {"plugin", p.m_strName},
                                                  {"version", p.m_strVersion},
                                                  {"guid", p.m_strGUID},
                                                  {"hidden", p.m_bHidden},
                                                  {"mandatory", p.m_bMandatory},
                                                  {"available", p.m_bAvailable},
                                                  {"uninstall", UninstallRuleText(p.m_nUninstallRule)},
                                                  {"url", p.m_strUpdateURL},
                                                  {"sha256", CtlJson::StringOrNull(!component.m_strPackageSha256.empty(),
                                                                                   component.m_strPackageSha256)},
                                                  {"install", p.m_strInstallCmdline},
                                                  {"compatible", FiltersJson(component.m_vecCompatibleClients)},
                                                  {"incompatible",
                                                   FiltersJson(component.m_vecIncompatibleClients)}}));
    }
    CtlJson clientJson;
    if (bClient) {
        clientJson = CtlJson::MakeObject(
            {{"name", client.name}, {"version", client.version}, {"oem", client.oem}, {"lang", client.lang}});
    }
    return CtlJson::MakeObject({{"manifest", strPath},
                                {"loaded", true},
                                {"version", manifest.GetVersion()},
                                {"client", clientJson},
                                {"components", CtlJson(std::move(components))}});
}

int Show(const std::vector<std::string>& args) {
    auto parsed = ParseArgs(args, 1, {"--public-key", "--trusted-keys", "--client", "--version", "--oem", "--lang"});
    if (!parsed) return kExitUsage;
    if (parsed->words.size() != 1) return UsageError("show takes one FILE");
    auto key = PublicKeyOption(*parsed);
    if (!key) return kExitUsage;
    msClientRecord client;
    const bool bClient = parsed->options.count("--client") != 0;
    if (bClient) {
        client.name = parsed->options["--client"];
        if (client.name.empty()) return UsageError("--client needs a name");
    } else if (parsed->options.count("--version") || parsed->options.count("--oem") ||
               parsed->options.count("--lang")) {
        return UsageError("--version, --oem and --lang describe a --client");
    }
    if (parsed->options.count("--version")) client.version = parsed->options["--version"];
    if (parsed->options.count("--oem")) client.oem = parsed->options["--oem"];
    if (parsed->options.count("--lang")) client.lang = parsed->options["--lang"];
    const std::string& path = parsed->words[0];

    LogToStderr logCapture;
    const bool bJson = CtlOptions::Current().bJson;
    const auto pPolicy = std::make_shared<const msTrustPolicy>(ToolPolicy(*parsed, *key));
    const mcComponentManifest manifest(msManifestFile{path, *key, pPolicy});
    if (!manifest.IsLoaded()) {
        const mcSignedFile signedFile(path, *pPolicy);
        const std::string strWhy = signedFile.IsVerified() ? "the document is not usable XML"
                                                           : mcSignedFile::StatusText(signedFile.GetStatus());
        if (bJson) {
            PrintJson(CtlJson::MakeObject({{"manifest", path}, {"loaded", false}, {"reason", strWhy}}));
        } else if (!CtlOptions::Current().bQuiet) {
            std::cout << "not loaded: " << strWhy << "\n";
        }
        return kExitNo;
    }

    std::vector<std::string> names;
    const bool bListed = manifest.GetComponents(client, names);
    if (bJson) {
        PrintJson(ShowJson(path, manifest, bClient, client, names));
        return bListed ? kExitOk : kExitNo;
    }
    if (CtlOptions::Current().bQuiet) return bListed ? kExitOk : kExitNo;
    std::cout << "manifest: " << mcTraceViewer::Printable(path) << "\n";
    std::cout << "version:  " << mcTraceViewer::Printable(manifest.GetVersion()) << "\n";
    if (bClient) {
        std::cout << "client:   "
                  << mcTraceViewer::Printable(client.name + " version=" + OrDash(client.version) +
                                              " oem=" + OrDash(client.oem) + " lang=" + OrDash(client.lang))
                  << "\n";
    }
    std::cout << "components: " << names.size() << "\n\n";

    std::vector<std::vector<std::string>> rows;
    rows.push_back({"COMPONENT", "PLUGIN", "VERSION", "GUID", "HIDDEN", "MANDATORY", "AVAILABLE",
                    "UNINSTALL", "URL", "SHA256", "INSTALL", "COMPATIBLE", "INCOMPATIBLE"});
    for (const std::string& name : names) {
        mcManifestComponent component;
        if (!manifest.GetComponent(name, component)) {
            rows.push_back({name, "(unreadable: see log)"});
            continue;
        }
        const mcManifestPlugin& p = component.m_plugin;
        rows.push_back({name, OrDash(p.m_strName), OrDash(p.m_strVersion), OrDash(p.m_strGUID),
                        p.m_bHidden ? "yes" : "no", p.m_bMandatory ? "yes" : "no",
                        p.m_bAvailable ? "yes" : "no", UninstallRuleText(p.m_nUninstallRule),
                        OrDash(p.m_strUpdateURL), OrDash(component.m_strPackageSha256),
                        OrDash(p.m_strInstallCmdline),
                        OrDash(FilterText(component.m_vecCompatibleClients)),
                        OrDash(FilterText(component.m_vecIncompatibleClients))});
    }
    PrintTable(rows);
    return bListed ? kExitOk : kExitNo;
}

int TrustList(const std::string& folder) {
    std::optional<mcTrustedKeys> keys;
    {
        LogToStderr logCapture;
        keys.emplace(mcTrustedKeys::LoadFolder(folder));
    }
    if (CtlOptions::Current().bJson) {
        CtlJson::Array array;
        for (const auto& k : keys->GetKeys()) {
            array.push_back(CtlJson::MakeObject({{"key_id", k.strKeyId},
                                                 {"algorithm", zr::crypt::AlgorithmName(k.eType)},
                                                 {"bits", static_cast<std::int64_t>(k.nBits)}}));
        }
        PrintJson(CtlJson(std::move(array)));
        return kExitOk;
    }
    if (CtlOptions::Current().bQuiet) return kExitOk;
    std::cout << "folder: " << mcTraceViewer::Printable(folder) << "\n";
    std::vector<std::vector<std::string>> rows{{"KEYID", "ALGORITHM", "BITS"}};
    for (const auto& k : keys->GetKeys()) {
        rows.push_back({k.strKeyId, zr::crypt::AlgorithmName(k.eType), std::to_string(k.nBits)});
    }
    PrintTable(rows);
    for (const auto& skipped : keys->GetSkipped()) std::cout << "skipped: " << mcTraceViewer::Printable(skipped) << "\n";
    return kExitOk;
}

int TrustAdd(const std::string& folder, const std::string& file) {
    std::string pem, error;
    if (!ReadWholeFile(file, static_cast<std::int64_t>(mcTrustedKeys::kMaxKeyFileSize), pem, error)) {
        std::cerr << "kettrinctl manifest trust: " << error << "\n";
        return kExitNo;
    }
    zr::crypt::msPublicKey key;
    try {
        key = zr::crypt::PublicKeyFromPem(pem);
    } catch (const mcExc& e) {
        std::cerr << "kettrinctl manifest trust: " << file << ": " << e.Description() << "\n";
        return kExitNo;
    }
    std::optional<mcTrustedKeys> keys;
    {
        LogToStderr logCapture;
        keys.emplace(mcTrustedKeys::LoadFolder(folder));
    }
    if (keys->Find(key.strKeyId) != nullptr) {
        std::cerr << "kettrinctl manifest trust: key " << key.strKeyId << " is already trusted\n";
        return kExitNo;
    }
    std::error_code ec;
    std::filesystem::create_directories(folder, ec);
    // Written as re-encoded here: only the key, whatever else the file held.
    if (!WriteFileAtomically(folder + "/" + key.strKeyId + ".pem", zr::crypt::PublicKeyToPem(key), 0644, error)) {
        std::cerr << "kettrinctl manifest trust: " << error << "\n";
        return kExitNo;
    }
    if (!CtlOptions::Current().bQuiet) {
        std::cout << "trusted " << zr::crypt::AlgorithmName(key.eType) << " key " << key.strKeyId << "\n";
    }
    return kExitOk;
}

int TrustRemove(const std::string& folder, const std::string& keyId) {
    if (keyId.size() != zr::crypt::kKeyIdHexDigits || !IsHex(keyId)) {
        return UsageError("remove takes a key id of 16 hex digits");
    }
    std::string lower = keyId;
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    std::size_t nRemoved = 0;
    std::error_code ec;
    for (std::filesystem::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        std::string pem, error;
        if (!ReadWholeFile(it->path().string(), static_cast<std::int64_t>(mcTrustedKeys::kMaxKeyFileSize), pem, error)) {
            continue;
        }
        try {
            if (zr::crypt::PublicKeyFromPem(pem).strKeyId != lower) continue;
        } catch (const mcExc&) {
            continue;
        }
        if (::unlink(it->path().c_str()) == 0) {
            ++nRemoved;
        } else {
            std::cerr << "kettrinctl manifest trust: " << it->path().string() << ": " << std::strerror(errno) << "\n";
            return kExitNo;
        }
    }
    if (nRemoved == 0) {
        std::cerr << "kettrinctl manifest trust: no trusted key " << lower << " in " << folder << "\n";
        return kExitNo;
    }
    if (!CtlOptions::Current().bQuiet) std::cout << "removed key " << lower << "\n";
    return kExitOk;
}

int Trust(const std::vector<std::string>& args) {
    auto parsed = ParseArgs(args, 1, {"--trusted-keys"});
    if (!parsed) return kExitUsage;
    const std::vector<std::string>& words = parsed->words;
    if (words.empty()) return UsageError("trust needs list, add or remove");
    const std::string folder = TrustFolderOption(*parsed);
    if (words[0] == "list" && words.size() == 1) return TrustList(folder);
    if (words[0] == "add" && words.size() == 2) return TrustAdd(folder, words[1]);
    if (words[0] == "remove" && words.size() == 2) return TrustRemove(folder, words[1]);
    return UsageError("trust takes list, add PUBLIC_KEY_FILE or remove KEYID");
}

int Run(const std::vector<std::string>& args) {
    if (args.empty()) return UsageError("missing sub-command");
    if (args[0] == "--help" || args[0] == "-h" || args[0] == "help") {
        std::cout << kSynopsis << kDetails;
        return kExitOk;
    }
    if (WantsHelp(args)) {
        std::cout << kSynopsis << kDetails;
        return kExitOk;
    }
    if (args[0] == "keygen") return Keygen(args);
    if (args[0] == "sign") return Sign(args);
    if (args[0] == "verify") return Verify(args);
    if (args[0] == "show") return Show(args);
    if (args[0] == "trust") return Trust(args);
    return UsageError("unknown sub-command '" + args[0] + "'");
}

}  // namespace

KETTRINCTL_COMMAND("manifest", "publisher tools: make keys, sign, verify and show manifests", Run);

}  // namespace kettrinctl
