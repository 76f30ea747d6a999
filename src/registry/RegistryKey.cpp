#include "registry/RegistryKey.h"

#include <atomic>
#include <functional>
#include <utility>

#include "registry/RegistryDatabase.h"
#include "base/StrConv.h"
#include "base/Win32Error.h"

namespace core::registry {

namespace {

using db::Sql;

constexpr const char* kFnHandle = "core::registry::RegistryKey::Handle::Handle";
constexpr const char* kFnOpen = "core::registry::RegistryKey::Open";
constexpr const char* kFnGetValueType = "core::registry::RegistryKey::GetValueType";
constexpr const char* kFnGetValueTypeAndSize = "core::registry::RegistryKey::GetValueTypeAndSize";
constexpr const char* kFnGetValueDWord = "core::registry::RegistryKey::GetValueDWord";
constexpr const char* kFnGetValueString = "core::registry::RegistryKey::GetValueString";
constexpr const char* kFnGetValueBinary = "core::registry::RegistryKey::GetValueBinary";
constexpr const char* kFnGetValueMultiString = "core::registry::RegistryKey::GetValueMultiString";
constexpr const char* kFnGetValue = "core::registry::RegistryKey::GetValue";
constexpr const char* kFnSetValueString = "core::registry::RegistryKey::SetValueString";
constexpr const char* kFnSetValueExpandString = "core::registry::RegistryKey::SetValueExpandString";
constexpr const char* kFnSetValueDWord = "core::registry::RegistryKey::SetValueDWord";
constexpr const char* kFnSetValueBinary = "core::registry::RegistryKey::SetValueBinary";
constexpr const char* kFnSetValueMultiString = "core::registry::RegistryKey::SetValueMultiString";
constexpr const char* kFnSetValue = "core::registry::RegistryKey::SetValue";
constexpr const char* kFnGetOrSetValueString = "core::registry::RegistryKey::GetOrSetValueString";
constexpr const char* kFnGetValueCount = "core::registry::RegistryKey::GetValueCount";
constexpr const char* kFnGetValues = "core::registry::RegistryKey::GetValues";
constexpr const char* kFnGetSubKeyNames = "core::registry::RegistryKey::GetSubKeyNames";
constexpr const char* kFnDeleteValue = "core::registry::RegistryKey::DeleteValue";
constexpr const char* kFnCreateSubKey = "core::registry::RegistryKey::CreateSubKey";
constexpr const char* kFnDeleteSubKey = "core::registry::RegistryKey::DeleteSubKey";
constexpr const char* kFnDeleteKey = "core::registry::RegistryKey::DeleteKey";

constexpr const char* kQueryValueCall = "RegQueryValueEx(";
constexpr const char* kSetValueCall = "RegSetValueEx(";
constexpr const char* kDeleteTreeCall = "RegDeleteTree(";
constexpr const char* kTypeMismatch = "Registry value type mismatch for value ";

// Rights that change something; a database that can only be read refuses them.
constexpr std::uint32_t kWriteRights =
    KEY_SET_VALUE | KEY_CREATE_SUB_KEY | KEY_CREATE_LINK | KEY_DELETE | 0x00040000u | 0x00080000u;

std::atomic<long> g_nOpenHandles{0};

bool PrvValidRoot(std::int32_t root) {
    return root == kRootClassesRoot || root == kRootCurrentConfig || root == kRootCurrentUser ||
           root == kRootLocalMachine || root == kRootUsers;
}

template <class Exc>
[[noreturn]] void PrvThrow(const char* function, int line, std::string description,
                           std::uint32_t code) {
    Exc exc(function, __FILE__, line, std::move(description), code);
    mfAnnounceThrow(exc);
    throw exc;
}

// Runs body; a db::Error becomes Exc with call + " returned " + code + "." (or
// DatabaseException when the error is about the file itself).
template <class Exc, class Call, class Body>
auto PrvGuard(const char* function, int line, Call&& call, Body&& body) -> decltype(body()) {
    try {
        return body();
    } catch (const db::Error& error) {
        if (!error.description.empty()) {
            PrvThrow<RegistryKey::DatabaseException>(function, line, error.description,
                                                     error.code);
        }
        PrvThrow<Exc>(function, line, call() + " returned " + std::to_string(error.code) + ".",
                      error.code);
    }
}

std::string PrvTypeMismatch(const std::string& valuePath, const std::string& expected,
                            std::uint32_t got) {
    return kTypeMismatch + valuePath + " expected " + expected + " got " + std::to_string(got) +
           ".";
}

bool PrvKeyExists(db::Connection& connection, std::int64_t id) {
    sqlite3_stmt* statement = connection.Prepare(Sql::KeyExists);
    db::StatementScope scope(statement);
    db::BindInt(statement, 1, id);
    return db::Step(connection, statement);
}

// The error for "no such value": the key itself may have gone.
[[noreturn]] void PrvThrowMissing(db::Connection& connection, std::int64_t id) {
    throw db::Error{PrvKeyExists(connection, id) ? ERROR_FILE_NOT_FOUND : ERROR_KEY_DELETED, {}};
}

// Ids up to the highest root index belong to the roots, which exist even in a
// registry file that was never written.
constexpr std::int64_t kHighestRootId = 7;

bool PrvIsRootId(std::int64_t id) { return id <= kHighestRootId; }

// The connection for reading through handle, or nullptr when the file does
// not exist.
db::Connection* PrvReader(const RegistryKey::Handle& handle) {
    return db::Find(handle.Database());
}

// No file: a root is empty, any other key has gone with the file.
[[noreturn]] void PrvThrowMissingWithoutFile(std::int64_t id) {
    throw db::Error{PrvIsRootId(id) ? ERROR_FILE_NOT_FOUND : ERROR_KEY_DELETED, {}};
}

std::int64_t PrvFindKey(db::Connection& connection, std::int32_t root, const std::string& fold) {
    sqlite3_stmt* statement = connection.Prepare(Sql::FindKey);
    db::StatementScope scope(statement);
    db::BindInt(statement, 1, root);
    db::BindText(statement, 2, fold);
    return db::Step(connection, statement) ? sqlite3_column_int64(statement, 0) : 0;
}

struct StoredValue {
    bool found = false;
    std::uint32_t type = REG_NONE;
    std::string data;
};

StoredValue PrvReadValue(db::Connection& connection, std::int64_t id, const std::string& fold) {
    sqlite3_stmt* statement = connection.Prepare(Sql::GetValue);
    db::StatementScope scope(statement);
    db::BindInt(statement, 1, id);
    db::BindText(statement, 2, fold);
    StoredValue value;
    if (db::Step(connection, statement)) {
        value.found = true;
        value.type = static_cast<std::uint32_t>(sqlite3_column_int64(statement, 0));
        value.data = db::ColumnBlob(statement, 1);
    }
    return value;
}

// Type of an existing value, or -1 when there is none.
std::int64_t PrvStoredType(db::Connection& connection, std::int64_t id, const std::string& fold) {
    sqlite3_stmt* statement = connection.Prepare(Sql::GetValueInfo);
    db::StatementScope scope(statement);
    db::BindInt(statement, 1, id);
    db::BindText(statement, 2, fold);
    return db::Step(connection, statement) ? sqlite3_column_int64(statement, 0) : -1;
}

void PrvUpsert(db::Connection& connection, std::int64_t id, const std::string& fold,
               const std::string& name, std::uint32_t type, const std::string& data) {
    sqlite3_stmt* statement = connection.Prepare(Sql::UpsertValue);
    db::StatementScope scope(statement);
    db::BindInt(statement, 1, id);
    db::BindText(statement, 2, fold);
    db::BindText(statement, 3, name);
    db::BindInt(statement, 4, type);
    db::BindBlob(statement, 5, data);
    db::Step(connection, statement);
}

std::string PrvFoldName(const std::string& name) { return mfStrFoldCase(name); }

// UTF-8 -> UTF-16LE; text that is not valid UTF-8 cannot be stored (1113).
std::string PrvToUtf16(const std::string& text) {
    try {
        return mfUtf8ToUtf16Le(text);
    } catch (const mcExc&) {
        throw db::Error{ERROR_NO_UNICODE_TRANSLATION, {}};
    }
}

std::string PrvStringBytes(const std::string& text) { return PrvToUtf16(text) + std::string(2, '\0'); }

// UTF-16LE bytes -> UTF-8 with trailing NUL characters removed; an odd last
// byte is dropped.
std::string PrvStringFromBytes(std::string data) {
    if (data.size() % 2 != 0) data.pop_back();
    while (data.size() >= 2 && data[data.size() - 1] == '\0' && data[data.size() - 2] == '\0') {
        data.resize(data.size() - 2);
    }
    return mfUtf16LeToUtf8(data, kStrConvReplaceInvalid);
}

std::vector<std::string> PrvMultiFromBytes(const std::string& data) {
    std::vector<std::string> items;
    std::size_t units = data.size() / 2;
    std::size_t start = 0;
    for (std::size_t i = 0; i <= units; ++i) {
        bool end = i == units || (data[2 * i] == '\0' && data[2 * i + 1] == '\0');
        if (!end) continue;
        if (i == start) break;  // an empty item ends the list
        items.push_back(mfUtf16LeToUtf8(data.substr(2 * start, 2 * (i - start)),
                                        kStrConvReplaceInvalid));
        start = i + 1;
    }
    return items;
}

std::string PrvJoinPath(const std::string& keyPath, const std::string& name) {
    if (keyPath.empty()) return name;
    return keyPath + "\\" + name;
}

std::string PrvJoinFold(const std::string& fold, const std::string& relativeFold) {
    if (fold.empty()) return relativeFold;
    if (relativeFold.empty()) return fold;
    return fold + "\\" + relativeFold;
}

// Deletes the key fold (of root) and everything below it; false when it was
// not there.
bool PrvDeleteTree(db::Connection& connection, std::int32_t root, const std::string& fold) {
    sqlite3_stmt* statement = connection.Prepare(Sql::DeleteKeyTree);
    db::StatementScope scope(statement);
    std::string below = fold + "\\";
    std::string after = fold + "]";  // "]" follows "\" in byte order
    db::BindInt(statement, 1, root);
    db::BindText(statement, 2, fold);
    db::BindText(statement, 3, below);
    db::BindText(statement, 4, after);
    db::Step(connection, statement);
    return sqlite3_changes(connection.Db()) > 0;
}

}  // namespace

std::string mfRegistryFoldKeyPath(const std::string& keyPath) {
    std::string fold;
    std::size_t pos = 0;
    while (pos <= keyPath.size()) {
        std::size_t next = keyPath.find('\\', pos);
        if (next == std::string::npos) next = keyPath.size();
        if (next > pos) {
            if (!fold.empty()) fold += '\\';
            fold += mfStrFoldCase(std::string_view(keyPath).substr(pos, next - pos));
        }
        pos = next + 1;
    }
    return fold;
}

// ---- Handle ----------------------------------------------------------------

RegistryKey::Handle::Handle(std::int32_t root, const std::string& keyPath, std::uint32_t access)
    : m_dwAccess(access) {
    constexpr int kLine = 107;
    auto call = [&] { return "RegOpenKeyEx(" + keyPath + ")"; };
    PrvGuard<OpenException>(kFnHandle, kLine, call, [&] {
        if (!PrvValidRoot(root)) throw db::Error{ERROR_INVALID_HANDLE, {}};
        m_strDatabase = db::DatabasePath();
        std::string fold = mfRegistryFoldKeyPath(keyPath);
        db::Connection* connection = db::Find(m_strDatabase);
        if (connection == nullptr) {
            // Nothing was ever written: only the roots exist.
            if (!fold.empty()) throw db::Error{ERROR_FILE_NOT_FOUND, {}};
            m_nId = root;
            return;
        }
        if (connection->ReadOnly() && (access & kWriteRights) != 0) {
            throw db::Error{ERROR_ACCESS_DENIED, {}};
        }
        m_nId = PrvFindKey(*connection, root, fold);
        if (m_nId == 0) throw db::Error{ERROR_FILE_NOT_FOUND, {}};
    });
    ++g_nOpenHandles;
}

RegistryKey::Handle::Handle(std::string database, std::int64_t id, std::uint32_t access)
    : m_strDatabase(std::move(database)), m_nId(id), m_dwAccess(access) {
    ++g_nOpenHandles;
}

// Closing a key releases nothing in the database, so it cannot fail; the
// CloseException of the family is kept for callers that catch it.
RegistryKey::Handle::~Handle() { --g_nOpenHandles; }

long RegistryKey::Handle::OpenCount() { return g_nOpenHandles.load(); }

// ---- RegistryKey -------------------------------------------------------------

RegistryKey::RegistryKey(std::int32_t root, std::string keyPath, std::uint32_t access)
    : m_strKeyPath(std::move(keyPath)), m_nRoot(root), m_dwAccess(access) {
    Open();
}

RegistryKey::RegistryKey(std::int32_t root, std::string keyPath, std::uint32_t access,
                         std::unique_ptr<Handle> handle)
    : m_strKeyPath(std::move(keyPath)),
      m_nRoot(root),
      m_dwAccess(access),
      m_pHandle(std::move(handle)) {}

RegistryKey::~RegistryKey() = default;
RegistryKey::RegistryKey(RegistryKey&& other) noexcept = default;
RegistryKey& RegistryKey::operator=(RegistryKey&& other) noexcept = default;

void RegistryKey::Open() {
    constexpr int kLine = 1747;
    m_pHandle.reset();
    try {
        m_pHandle = std::make_unique<Handle>(m_nRoot, m_strKeyPath, m_dwAccess);
    } catch (const DatabaseException&) {
        throw;
    } catch (const Exception& exc) {
        PrvThrow<KeyException>(kFnOpen, kLine, "Handle() exception." + m_strKeyPath,
                               exc.ErrorCode());
    } catch (const mcExc&) {
        PrvThrow<KeyException>(kFnOpen, kLine, "Handle() exception." + m_strKeyPath, 0);
    }
}

void RegistryKey::Close() { m_pHandle.reset(); }

std::string RegistryKey::StringFromBytes(std::string bytes) {
    return PrvStringFromBytes(std::move(bytes));
}

std::vector<std::string> RegistryKey::MultiStringFromBytes(const std::string& bytes) {
    return PrvMultiFromBytes(bytes);
}

std::string RegistryKey::BytesFromString(const std::string& text) {
    return mfUtf8ToUtf16Le(text) + std::string(2, '\0');
}

std::string RegistryKey::PrvValuePath(const std::string& name) const {
    return m_strKeyPath + "\\" + name;
}

const RegistryKey::Handle& RegistryKey::PrvHandle(std::uint32_t right) const {
    if (m_pHandle == nullptr) throw db::Error{ERROR_INVALID_HANDLE, {}};
    if ((m_pHandle->Access() & right) == 0) throw db::Error{ERROR_ACCESS_DENIED, {}};
    return *m_pHandle;
}

std::uint32_t RegistryKey::GetValueType(const std::string& name) {
    constexpr int kLine = 715;
    auto call = [&] { return kQueryValueCall + PrvValuePath(name) + ")"; };
    return PrvGuard<ValueException>(kFnGetValueType, kLine, call, [&] {
        const Handle& handle = PrvHandle(KEY_QUERY_VALUE);
        db::Connection* reader = PrvReader(handle);
        if (reader == nullptr) PrvThrowMissingWithoutFile(handle.Id());
        db::Connection& connection = *reader;
        std::int64_t type = PrvStoredType(connection, handle.Id(), PrvFoldName(name));
        if (type < 0) PrvThrowMissing(connection, handle.Id());
        return static_cast<std::uint32_t>(type);
    });
}

RegistryKey::TypeAndSize RegistryKey::GetValueTypeAndSize(const std::string& name) {
    constexpr int kLine = 778;
    auto call = [&] { return kQueryValueCall + PrvValuePath(name) + ")"; };
    return PrvGuard<ValueException>(kFnGetValueTypeAndSize, kLine, call, [&] {
        const Handle& handle = PrvHandle(KEY_QUERY_VALUE);
        db::Connection* reader = PrvReader(handle);
        if (reader == nullptr) PrvThrowMissingWithoutFile(handle.Id());
        db::Connection& connection = *reader;
        sqlite3_stmt* statement = connection.Prepare(Sql::GetValueInfo);
        db::StatementScope scope(statement);
        std::string fold = PrvFoldName(name);
        db::BindInt(statement, 1, handle.Id());
        db::BindText(statement, 2, fold);
        if (!db::Step(connection, statement)) PrvThrowMissing(connection, handle.Id());
        return TypeAndSize{static_cast<std::uint32_t>(sqlite3_column_int64(statement, 0)),
                           static_cast<std::uint32_t>(sqlite3_column_int64(statement, 1))};
    });
}

RegistryKey::RawValue RegistryKey::GetValue(const std::string& name) {
    auto call = [&] { return kQueryValueCall + PrvValuePath(name) + ")"; };
    return PrvGuard<ValueException>(kFnGetValue, __LINE__, call, [&] {
        const Handle& handle = PrvHandle(KEY_QUERY_VALUE);
        db::Connection* reader = PrvReader(handle);
        if (reader == nullptr) PrvThrowMissingWithoutFile(handle.Id());
        db::Connection& connection = *reader;
        StoredValue value = PrvReadValue(connection, handle.Id(), PrvFoldName(name));
        if (!value.found) PrvThrowMissing(connection, handle.Id());
        return RawValue{name, value.type, std::move(value.data)};
    });
}

namespace {

// The one query of the typed getters: a missing value fails as the type query
// does (GetValueTypeAndSize, 778); check() then judges the type.
template <class Check>
std::string PrvTypedRead(const std::string& valuePath, const std::string& name,
                         const RegistryKey::Handle* handle, Check&& check) {
    auto call = [&] { return kQueryValueCall + valuePath + ")"; };
    StoredValue value = PrvGuard<RegistryKey::ValueException>(
        kFnGetValueTypeAndSize, 778, call, [&] {
            if (handle == nullptr) throw db::Error{ERROR_INVALID_HANDLE, {}};
            if ((handle->Access() & KEY_QUERY_VALUE) == 0) {
                throw db::Error{ERROR_ACCESS_DENIED, {}};
            }
            db::Connection* reader = PrvReader(*handle);
            if (reader == nullptr) PrvThrowMissingWithoutFile(handle->Id());
            db::Connection& connection = *reader;
            StoredValue stored = PrvReadValue(connection, handle->Id(), PrvFoldName(name));
            if (!stored.found) PrvThrowMissing(connection, handle->Id());
            return stored;
        });
    check(value.type);
    return std::move(value.data);
}

}  // namespace

std::uint32_t RegistryKey::GetValueDWord(const std::string& name) {
    std::string valuePath = PrvValuePath(name);
    std::string data = PrvTypedRead(valuePath, name, m_pHandle.get(),
                                    [&](std::uint32_t type) {
                                        if (type != REG_DWORD) {
                                            PrvThrow<ValueTypeException>(
                                                kFnGetValueDWord, 930,
                                                PrvTypeMismatch(valuePath, "4", type), 0);
                                        }
                                    });
    if (data.size() > 4) {
        PrvThrow<ValueException>(kFnGetValueDWord, 944,
                                 kQueryValueCall + valuePath + ") returned " +
                                     std::to_string(ERROR_MORE_DATA) + ".",
                                 ERROR_MORE_DATA);
    }
    std::uint32_t result = 0;
    for (std::size_t i = 0; i < data.size(); ++i) {
        result |= static_cast<std::uint32_t>(static_cast<unsigned char>(data[i])) << (8 * i);
    }
    return result;
}

std::string RegistryKey::GetValueString(const std::string& name) {
    std::string valuePath = PrvValuePath(name);
    std::string data = PrvTypedRead(valuePath, name, m_pHandle.get(), [&](std::uint32_t type) {
                                        if (type != REG_SZ && type != REG_EXPAND_SZ) {
                                            PrvThrow<ValueTypeException>(
                                                kFnGetValueString, 1067,
                                                PrvTypeMismatch(valuePath, "1 or 2", type), 0);
                                        }
                                    });
    if (data.empty()) return std::string();
    return PrvStringFromBytes(std::move(data));
}

std::string RegistryKey::GetValueBinary(const std::string& name) {
    std::string valuePath = PrvValuePath(name);
    return PrvTypedRead(valuePath, name, m_pHandle.get(), [&](std::uint32_t type) {
                            if (type != REG_BINARY) {
                                PrvThrow<ValueTypeException>(
                                    kFnGetValueBinary, __LINE__,
                                    PrvTypeMismatch(valuePath, "3", type), 0);
                            }
                        });
}

std::vector<std::string> RegistryKey::GetValueMultiString(const std::string& name) {
    std::string valuePath = PrvValuePath(name);
    std::string data = PrvTypedRead(valuePath, name, m_pHandle.get(), [&](std::uint32_t type) {
                                        if (type != REG_MULTI_SZ) {
                                            PrvThrow<ValueTypeException>(
                                                kFnGetValueMultiString, __LINE__,
                                                PrvTypeMismatch(valuePath, "7", type), 0);
                                        }
                                    });
    return PrvMultiFromBytes(data);
}

namespace {

// One write transaction that stores a value of the given type, refusing a
// value that exists with another type (ValueTypeException at typeLine) unless
// anyType.
void PrvWrite(const RegistryKey::Handle* handle, const std::string& valuePath,
              const std::string& name, std::uint32_t type, const std::function<std::string()>& bytes,
              const char* function, int typeLine, int writeLine, bool anyType) {
    auto call = [&] { return kSetValueCall + valuePath + ")"; };
    PrvGuard<RegistryKey::ValueException>(function, writeLine, call, [&] {
        if (handle == nullptr) throw db::Error{ERROR_INVALID_HANDLE, {}};
        if ((handle->Access() & KEY_SET_VALUE) == 0) throw db::Error{ERROR_ACCESS_DENIED, {}};
        std::string data = bytes();
        db::Connection& connection = db::Acquire(handle->Database());
        db::WriteTransaction transaction(connection);
        std::string fold = PrvFoldName(name);
        if (!anyType) {
            std::int64_t stored = PrvStoredType(connection, handle->Id(), fold);
            if (stored >= 0 && static_cast<std::uint32_t>(stored) != type) {
                PrvThrow<RegistryKey::ValueTypeException>(
                    function, typeLine,
                    PrvTypeMismatch(valuePath, std::to_string(type),
                                    static_cast<std::uint32_t>(stored)),
                    0);
            }
        }
        PrvUpsert(connection, handle->Id(), fold, name, type, data);
        transaction.Commit();
    });
}

}  // namespace

bool RegistryKey::SetValueString(const std::string& name, const std::string& text) {
    PrvWrite(m_pHandle.get(), PrvValuePath(name), name, REG_SZ,
             [&] { return PrvStringBytes(text); }, kFnSetValueString, 1355, 1374, false);
    return true;
}

void RegistryKey::SetValueExpandString(const std::string& name, const std::string& text) {
    PrvWrite(m_pHandle.get(), PrvValuePath(name), name, REG_EXPAND_SZ,
             [&] { return PrvStringBytes(text); }, kFnSetValueExpandString, __LINE__, __LINE__,
             false);
}

void RegistryKey::SetValueDWord(const std::string& name, std::uint32_t value) {
    PrvWrite(m_pHandle.get(), PrvValuePath(name), name, REG_DWORD,
             [&] {
                 std::string bytes(4, '\0');
                 for (int i = 0; i < 4; ++i) bytes[i] = static_cast<char>((value >> (8 * i)) & 0xFF);
                 return bytes;
             },
             kFnSetValueDWord, __LINE__, __LINE__, false);
}

void RegistryKey::SetValueBinary(const std::string& name, const std::string& bytes) {
    PrvWrite(m_pHandle.get(), PrvValuePath(name), name, REG_BINARY, [&] { return bytes; },
             kFnSetValueBinary, __LINE__, __LINE__, false);
}

void RegistryKey::SetValueMultiString(const std::string& name,
                                      const std::vector<std::string>& items) {
    PrvWrite(m_pHandle.get(), PrvValuePath(name), name, REG_MULTI_SZ,
             [&] {
                 std::string bytes;
                 for (const std::string& item : items) {
                     if (item.empty() || item.find('\0') != std::string::npos) {
                         throw db::Error{ERROR_INVALID_PARAMETER, {}};
                     }
                     bytes += PrvStringBytes(item);
                 }
                 bytes += std::string(2, '\0');
                 return bytes;
             },
             kFnSetValueMultiString, __LINE__, __LINE__, false);
}

void RegistryKey::SetValue(const std::string& name, std::uint32_t type, const std::string& bytes) {
    PrvWrite(m_pHandle.get(), PrvValuePath(name), name, type, [&] { return bytes; }, kFnSetValue,
             __LINE__, __LINE__, true);
}

std::string RegistryKey::GetOrSetValueString(const std::string& name, const std::string& text) {
    std::string valuePath = PrvValuePath(name);
    auto call = [&] { return kSetValueCall + valuePath + ")"; };
    return PrvGuard<ValueException>(kFnGetOrSetValueString, __LINE__, call, [&] {
        const Handle& handle = PrvHandle(KEY_SET_VALUE);
        if ((handle.Access() & KEY_QUERY_VALUE) == 0) throw db::Error{ERROR_ACCESS_DENIED, {}};
        std::string data = PrvStringBytes(text);
        db::Connection& connection = db::Acquire(handle.Database());
        db::WriteTransaction transaction(connection);
        std::string fold = PrvFoldName(name);
        StoredValue stored = PrvReadValue(connection, handle.Id(), fold);
        if (stored.found) {
            if (stored.type != REG_SZ && stored.type != REG_EXPAND_SZ) {
                PrvThrow<ValueTypeException>(kFnGetOrSetValueString, __LINE__,
                                             PrvTypeMismatch(valuePath, "1 or 2", stored.type), 0);
            }
            std::string current = PrvStringFromBytes(std::move(stored.data));
            if (!current.empty()) return current;
        }
        PrvUpsert(connection, handle.Id(), fold, name, REG_SZ, data);
        transaction.Commit();
        return text;
    });
}

std::uint32_t RegistryKey::GetValueCount() {
    constexpr int kLine = 684;
    auto call = [&] { return "RegQueryInfoKey(" + m_strKeyPath + ")"; };
    return PrvGuard<KeyException>(kFnGetValueCount, kLine, call, [&] {
        const Handle& handle = PrvHandle(KEY_QUERY_VALUE);
        db::Connection* reader = PrvReader(handle);
        if (reader == nullptr) {
            if (PrvIsRootId(handle.Id())) return 0u;
            throw db::Error{ERROR_KEY_DELETED, {}};
        }
        db::Connection& connection = *reader;
        sqlite3_stmt* statement = connection.Prepare(Sql::CountValues);
        db::StatementScope scope(statement);
        db::BindInt(statement, 1, handle.Id());
        std::int64_t count = db::Step(connection, statement) ? sqlite3_column_int64(statement, 0) : 0;
        if (count == 0 && !PrvKeyExists(connection, handle.Id())) {
            throw db::Error{ERROR_KEY_DELETED, {}};
        }
        return static_cast<std::uint32_t>(count);
    });
}

std::vector<RegistryKey::RawValue> RegistryKey::GetValues() {
    auto call = [&] { return "RegEnumValue(" + m_strKeyPath + ")"; };
    return PrvGuard<KeyException>(kFnGetValues, __LINE__, call, [&] {
        const Handle& handle = PrvHandle(KEY_QUERY_VALUE);
        std::vector<RawValue> values;
        db::Connection* reader = PrvReader(handle);
        if (reader == nullptr) {
            if (PrvIsRootId(handle.Id())) return values;
            throw db::Error{ERROR_KEY_DELETED, {}};
        }
        db::Connection& connection = *reader;
        {
            sqlite3_stmt* statement = connection.Prepare(Sql::ListValues);
            db::StatementScope scope(statement);
            db::BindInt(statement, 1, handle.Id());
            while (db::Step(connection, statement)) {
                values.push_back(RawValue{db::ColumnText(statement, 0),
                                          static_cast<std::uint32_t>(sqlite3_column_int64(statement, 1)),
                                          db::ColumnBlob(statement, 2)});
            }
        }
        if (values.empty() && !PrvKeyExists(connection, handle.Id())) {
            throw db::Error{ERROR_KEY_DELETED, {}};
        }
        return values;
    });
}

std::vector<std::string> RegistryKey::GetValueNames() {
    std::vector<std::string> names;
    for (RawValue& value : GetValues()) names.push_back(std::move(value.name));
    return names;
}

std::vector<std::string> RegistryKey::GetSubKeyNames() {
    auto call = [&] { return "RegEnumKeyEx(" + m_strKeyPath + ")"; };
    return PrvGuard<KeyException>(kFnGetSubKeyNames, __LINE__, call, [&] {
        const Handle& handle = PrvHandle(KEY_ENUMERATE_SUB_KEYS);
        std::vector<std::string> names;
        db::Connection* reader = PrvReader(handle);
        if (reader == nullptr) {
            if (PrvIsRootId(handle.Id())) return names;
            throw db::Error{ERROR_KEY_DELETED, {}};
        }
        db::Connection& connection = *reader;
        {
            sqlite3_stmt* statement = connection.Prepare(Sql::ListSubKeys);
            db::StatementScope scope(statement);
            db::BindInt(statement, 1, handle.Id());
            while (db::Step(connection, statement)) names.push_back(db::ColumnText(statement, 0));
        }
        if (names.empty() && !PrvKeyExists(connection, handle.Id())) {
            throw db::Error{ERROR_KEY_DELETED, {}};
        }
        return names;
    });
}

void RegistryKey::DeleteValue(const std::string& name) {
    constexpr int kLine = 1515;
    auto call = [&] { return "RegDeleteValue(" + PrvValuePath(name) + ")"; };
    PrvGuard<ValueException>(kFnDeleteValue, kLine, call, [&] {
        const Handle& handle = PrvHandle(KEY_SET_VALUE);
        db::Connection* reader = PrvReader(handle);
        if (reader == nullptr) PrvThrowMissingWithoutFile(handle.Id());
        db::Connection& connection = *reader;
        db::WriteTransaction transaction(connection);
        {
            sqlite3_stmt* statement = connection.Prepare(Sql::DeleteValue);
            db::StatementScope scope(statement);
            std::string fold = PrvFoldName(name);
            db::BindInt(statement, 1, handle.Id());
            db::BindText(statement, 2, fold);
            db::Step(connection, statement);
        }
        if (sqlite3_changes(connection.Db()) == 0) PrvThrowMissing(connection, handle.Id());
        transaction.Commit();
    });
}

namespace {

// Walks the components of relative below the key (root, fold, id); creates the
// missing ones when create is set (the caller holds a write transaction).
// Returns the last key's id, or 0 when one is missing and create is not set.
std::int64_t PrvWalk(db::Connection& connection, std::int32_t root, std::string fold,
                     std::int64_t id, const std::string& relative, bool create,
                     std::uint32_t parentAccess) {
    std::size_t pos = 0;
    while (pos <= relative.size()) {
        std::size_t next = relative.find('\\', pos);
        if (next == std::string::npos) next = relative.size();
        if (next > pos) {
            std::string component = relative.substr(pos, next - pos);
            fold = PrvJoinFold(fold, PrvFoldName(component));
            std::int64_t child = PrvFindKey(connection, root, fold);
            if (child == 0) {
                if (!create) return 0;
                if ((parentAccess & KEY_CREATE_SUB_KEY) == 0) {
                    throw db::Error{ERROR_ACCESS_DENIED, {}};
                }
                sqlite3_stmt* statement = connection.Prepare(Sql::InsertKey);
                db::StatementScope scope(statement);
                db::BindInt(statement, 1, root);
                db::BindInt(statement, 2, id);
                db::BindText(statement, 3, component);
                db::BindText(statement, 4, fold);
                db::Step(connection, statement);
                child = sqlite3_last_insert_rowid(connection.Db());
            }
            id = child;
        }
        pos = next + 1;
    }
    return id;
}

}  // namespace

RegistryKey RegistryKey::CreateSubKey(const std::string& name, std::uint32_t access) {
    constexpr int kLine = 1428;
    std::string path = PrvJoinPath(m_strKeyPath, name);
    auto call = [&] { return "RegCreateKeyEx(" + path + ")"; };
    std::unique_ptr<Handle> handle = PrvGuard<KeyException>(kFnCreateSubKey, kLine, call, [&] {
        if (m_pHandle == nullptr) throw db::Error{ERROR_INVALID_HANDLE, {}};
        const Handle& parent = *m_pHandle;
        db::Connection& connection = db::Acquire(parent.Database());
        if (connection.ReadOnly() && (access & kWriteRights) != 0) {
            throw db::Error{ERROR_ACCESS_DENIED, {}};
        }
        std::string fold = mfRegistryFoldKeyPath(m_strKeyPath);
        // Opening an existing key needs no write lock.
        std::int64_t id = PrvWalk(connection, m_nRoot, fold, parent.Id(), name, false, 0);
        if (id == 0) {
            db::WriteTransaction transaction(connection);
            if (!PrvKeyExists(connection, parent.Id())) throw db::Error{ERROR_KEY_DELETED, {}};
            id = PrvWalk(connection, m_nRoot, fold, parent.Id(), name, true, parent.Access());
            transaction.Commit();
        } else if (!PrvKeyExists(connection, parent.Id())) {
            throw db::Error{ERROR_KEY_DELETED, {}};
        }
        return std::unique_ptr<Handle>(new Handle(parent.Database(), id, access));
    });
    return RegistryKey(m_nRoot, path, access, std::move(handle));
}

void RegistryKey::DeleteSubKey(const std::string& name) {
    auto call = [&] { return kDeleteTreeCall + PrvValuePath(name) + ")"; };
    PrvGuard<KeyException>(kFnDeleteSubKey, __LINE__, call, [&] {
        if (m_pHandle == nullptr) throw db::Error{ERROR_INVALID_HANDLE, {}};
        const Handle& handle = *m_pHandle;
        if ((handle.Access() & (KEY_DELETE | KEY_SET_VALUE)) == 0) {
            throw db::Error{ERROR_ACCESS_DENIED, {}};
        }
        std::string relative = mfRegistryFoldKeyPath(name);
        if (relative.empty()) throw db::Error{ERROR_INVALID_PARAMETER, {}};
        db::Connection* reader = PrvReader(handle);
        if (reader == nullptr) PrvThrowMissingWithoutFile(handle.Id());
        db::Connection& connection = *reader;
        db::WriteTransaction transaction(connection);
        if (!PrvKeyExists(connection, handle.Id())) throw db::Error{ERROR_KEY_DELETED, {}};
        std::string fold = PrvJoinFold(mfRegistryFoldKeyPath(m_strKeyPath), relative);
        if (!PrvDeleteTree(connection, m_nRoot, fold)) throw db::Error{ERROR_FILE_NOT_FOUND, {}};
        transaction.Commit();
    });
}

bool RegistryKey::Exists(std::int32_t root, const std::string& keyPath, std::uint32_t access) {
    try {
        Handle handle(root, keyPath, access);
        return true;
    } catch (const Handle::OpenException&) {
        return false;
    }
}

bool RegistryKey::ValueExists(std::int32_t root, const std::string& keyPath,
                              std::uint32_t access, const std::string& name) {
    std::unique_ptr<Handle> handle;
    try {
        handle = std::make_unique<Handle>(root, keyPath, access);
    } catch (const Handle::OpenException&) {
        return false;
    }
    if ((access & KEY_QUERY_VALUE) == 0) return false;
    try {
        db::Connection* connection = PrvReader(*handle);
        return connection != nullptr && PrvStoredType(*connection, handle->Id(), PrvFoldName(name)) >= 0;
    } catch (const db::Error&) {
        return false;
    }
}

void RegistryKey::DeleteKey(std::int32_t root, const std::string& keyPath) {
    auto call = [&] { return kDeleteTreeCall + keyPath + ")"; };
    PrvGuard<KeyException>(kFnDeleteKey, __LINE__, call, [&] {
        if (!PrvValidRoot(root)) throw db::Error{ERROR_INVALID_HANDLE, {}};
        std::string fold = mfRegistryFoldKeyPath(keyPath);
        if (fold.empty()) throw db::Error{ERROR_ACCESS_DENIED, {}};
        db::Connection* reader = db::Find(db::DatabasePath());
        if (reader == nullptr) throw db::Error{ERROR_FILE_NOT_FOUND, {}};
        db::Connection& connection = *reader;
        if (connection.ReadOnly()) throw db::Error{ERROR_ACCESS_DENIED, {}};
        db::WriteTransaction transaction(connection);
        if (!PrvDeleteTree(connection, root, fold)) throw db::Error{ERROR_FILE_NOT_FOUND, {}};
        transaction.Commit();
    });
}

}  // namespace core::registry
