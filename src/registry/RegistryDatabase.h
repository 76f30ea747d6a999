#pragma once
// Storage of the registry: one SQLite file that holds every root.
//
// Location: the process-wide override (SetDatabasePathOverride) when set, else
// $KETTRIN_REGISTRY when set and non-empty, else /var/lib/tavrolin/registry.db.
// The location is resolved each time a key is opened, so a process (or a test)
// may change the variable between opens.
//
// Connections: each thread keeps its own small cache of connections, one per
// database file, with prepared statements; a connection is never shared between
// threads. A cached connection is checked against the file on every use (same
// device and inode) and reopened when the file was replaced or removed. After a
// fork the child leaves the parent's connections alone and opens its own.
//
// Several processes may use one file at once: every write runs in its own
// BEGIN IMMEDIATE transaction, and a busy database is waited for up to
// kBusyTimeoutMs before the call fails with ERROR_BUSY. The file runs in
// write-ahead-log mode with synchronous=NORMAL: a committed write survives a
// crash of any process; a power failure may take back the last commits but
// never damages the file. The "-wal" and "-shm" files next to it are kept, so
// that users who may only read the file can open it.
//
// Layout (application_id kApplicationId, user_version kSchemaVersion):
//   keys(id INTEGER PRIMARY KEY AUTOINCREMENT, root, parent, name, fold)
//       one row per key; the five roots are rows with their root index as id
//       and an empty fold. fold is the case-folded path below the root with
//       "\" between the components; (root, fold) is unique. Ids are never
//       reused, so a handle to a deleted key can tell that it was deleted.
//   vals(key -> keys.id ON DELETE CASCADE, fold, name, type, data)
//       one row per value; (key, fold) is unique; data is the value's bytes as
//       Windows stores them (strings UTF-16LE with their terminator).
//
// Failures are thrown as core::registry::db::Error carrying the Windows error
// number a registry call would report; callers turn them into the registry's
// own exceptions. Errors about the file itself (not a SQLite file, a SQLite file
// of another program, a folder that cannot be created) carry a description that
// names the file.
#include <sqlite3.h>

#include <cstdint>
#include <string>

namespace core::registry::db {

inline constexpr const char* kDatabaseEnv = "KETTRIN_REGISTRY";
inline constexpr const char* kDefaultDatabasePath = "/var/lib/tavrolin/registry.db";
inline constexpr int kBusyTimeoutMs = 10000;
inline constexpr std::int32_t kApplicationId = 0x4B455452;  // "KETR"
inline constexpr std::int32_t kSchemaVersion = 1;

// A failed database call. code: Windows error number; description: empty for
// ordinary statement failures, a full sentence naming the file for failures of
// the file itself.
struct Error {
    std::uint32_t code;
    std::string description;
};

// Windows error number for an SQLite result code (extended codes accepted).
std::uint32_t Win32FromSqlite(int rc) noexcept;

// Resolved location of the database file (see above). Any thread.
std::string DatabasePath();

// Opens the database file at path when one is there, so that a file which is
// not this program's registry (not a regular file, not SQLite, another
// program's database, a newer layout) is found at once: throws Error with a
// description naming the file. A missing file passes and is not created.
// Any thread.
void CheckDatabaseFile(const std::string& path);

// Sets (non-empty) or clears (empty) the process-wide override. Meant for tests
// and tools; any thread.
void SetDatabasePathOverride(const std::string& path);

// Sets the override for the lifetime of the object and restores the previous
// one afterwards.
class ScopedDatabasePath {
public:
    explicit ScopedDatabasePath(const std::string& path);
    ~ScopedDatabasePath();
    ScopedDatabasePath(const ScopedDatabasePath&) = delete;
    ScopedDatabasePath& operator=(const ScopedDatabasePath&) = delete;

private:
    std::string m_strPrevious;
};

// Statements that the registry runs; each connection prepares each once.
enum class Sql : int {
    FindKey,          // ?1 root, ?2 fold -> id
    KeyExists,        // ?1 id -> 1
    InsertKey,        // ?1 root, ?2 parent, ?3 name, ?4 fold -> (none)
    GetValue,         // ?1 key, ?2 fold -> type, data
    GetValueInfo,     // ?1 key, ?2 fold -> type, length(data)
    UpsertValue,      // ?1 key, ?2 fold, ?3 name, ?4 type, ?5 data
    DeleteValue,      // ?1 key, ?2 fold
    CountValues,      // ?1 key -> count
    ListValues,       // ?1 key -> name, type, data (in the order they were created)
    ListSubKeys,      // ?1 parent -> name (in case-folded order)
    DeleteKeyTree,    // ?1 root, ?2 fold, ?3 fold + "\", ?4 fold + "]"
    Begin,            // BEGIN IMMEDIATE
    Commit,           // COMMIT
    Rollback,         // ROLLBACK
    Count_
};

// One open database. Owned by the calling thread's cache; valid until the
// thread ends or the next Acquire of the same file replaces it.
class Connection {
public:
    Connection(std::string path, sqlite3* db, bool readOnly);
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    const std::string& Path() const { return m_strPath; }
    sqlite3* Db() const { return m_db; }
    // True when the file could only be opened for reading.
    bool ReadOnly() const { return m_bReadOnly; }

    // The prepared statement, reset and with its bindings cleared. Throws Error.
    sqlite3_stmt* Prepare(Sql which);

private:
    std::string m_strPath;
    sqlite3* m_db;
    bool m_bReadOnly;
    sqlite3_stmt* m_aStatements[static_cast<int>(Sql::Count_)] = {};
};

// The calling thread's connection to the file at path, opened (and the file
// created with its folder, and initialised) when needed. Throws Error. Only
// writers call it: reading never creates the file.
Connection& Acquire(const std::string& path);

// The same for readers: nullptr when the file does not exist (a registry that
// was never written holds nothing but its empty roots). Throws Error.
Connection* Find(const std::string& path);

// Closes the calling thread's cached connections (tests; threads close theirs
// when they end).
void CloseThreadConnections() noexcept;

// Runs a prepared statement. Step returns true when a row is ready, false when
// done; failures throw Error.
bool Step(Connection& connection, sqlite3_stmt* statement);

// Binds text/blob without copying; the data must outlive the step. Data
// longer than SQLite takes (its length limit, and never more than INT_MAX
// bytes) throws Error 87 instead of being bound as NULL or misread.
void BindText(sqlite3_stmt* statement, int index, const std::string& text);
void BindBlob(sqlite3_stmt* statement, int index, const std::string& bytes);
void BindInt(sqlite3_stmt* statement, int index, std::int64_t value);
std::string ColumnText(sqlite3_stmt* statement, int index);
std::string ColumnBlob(sqlite3_stmt* statement, int index);

// A write transaction (BEGIN IMMEDIATE). Rolls back unless Commit() was called.
class WriteTransaction {
public:
    explicit WriteTransaction(Connection& connection);  // throws Error
    ~WriteTransaction();
    WriteTransaction(const WriteTransaction&) = delete;
    WriteTransaction& operator=(const WriteTransaction&) = delete;
    void Commit();  // throws Error

private:
    Connection& m_connection;
    bool m_bDone = false;
};

// Resets a statement when the scope ends, so no read lock is held afterwards.
class StatementScope {
public:
    explicit StatementScope(sqlite3_stmt* statement) : m_pStatement(statement) {}
    ~StatementScope() { sqlite3_reset(m_pStatement); }
    StatementScope(const StatementScope&) = delete;
    StatementScope& operator=(const StatementScope&) = delete;

private:
    sqlite3_stmt* m_pStatement;
};

}  // namespace core::registry::db
