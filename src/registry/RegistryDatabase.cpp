#include "registry/RegistryDatabase.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <limits>
#include <memory>
#include <mutex>
#include <vector>

#include "base/Win32Error.h"

namespace core::registry::db {

namespace {

// Not in the common table: "An I/O operation initiated by the registry failed
// unrecoverably."
constexpr std::uint32_t kErrorRegistryIoFailed = 1016;

constexpr char kSqliteMagic[16] = {'S', 'Q', 'L', 'i', 't', 'e', ' ', 'f',
                                   'o', 'r', 'm', 'a', 't', ' ', '3', '\0'};
constexpr std::size_t kMaxCachedConnections = 8;

constexpr const char* kSchema =
    "CREATE TABLE keys("
    " id INTEGER PRIMARY KEY AUTOINCREMENT,"
    " root INTEGER NOT NULL,"
    " parent INTEGER,"
    " name TEXT NOT NULL,"
    " fold TEXT NOT NULL,"
    " UNIQUE(root, fold));"
    "CREATE INDEX keys_by_parent ON keys(parent);"
    "CREATE TABLE vals("
    " key INTEGER NOT NULL REFERENCES keys(id) ON DELETE CASCADE,"
    " fold TEXT NOT NULL,"
    " name TEXT NOT NULL,"
    " type INTEGER NOT NULL,"
    " data BLOB NOT NULL,"
    " UNIQUE(key, fold));"
    "INSERT INTO keys(id, root, parent, name, fold) VALUES"
    " (1, 1, NULL, '', ''), (2, 2, NULL, '', ''), (3, 3, NULL, '', ''),"
    " (5, 5, NULL, '', ''), (7, 7, NULL, '', '');";

constexpr const char* kStatements[] = {
    /* FindKey */ "SELECT id FROM keys WHERE root = ?1 AND fold = ?2",
    /* KeyExists */ "SELECT 1 FROM keys WHERE id = ?1",
    /* InsertKey */ "INSERT INTO keys(root, parent, name, fold) VALUES(?1, ?2, ?3, ?4)",
    /* GetValue */ "SELECT type, data FROM vals WHERE key = ?1 AND fold = ?2",
    /* GetValueInfo */ "SELECT type, length(data) FROM vals WHERE key = ?1 AND fold = ?2",
    /* UpsertValue */
    "INSERT INTO vals(key, fold, name, type, data) VALUES(?1, ?2, ?3, ?4, ?5) "
    "ON CONFLICT(key, fold) DO UPDATE SET type = excluded.type, data = excluded.data",
    /* DeleteValue */ "DELETE FROM vals WHERE key = ?1 AND fold = ?2",
    /* CountValues */ "SELECT count(*) FROM vals WHERE key = ?1",
    /* ListValues */ "SELECT name, type, data FROM vals WHERE key = ?1 ORDER BY rowid",
    /* ListSubKeys */ "SELECT name FROM keys WHERE parent = ?1 ORDER BY fold",
    /* DeleteKeyTree */
    "DELETE FROM keys WHERE root = ?1 AND (fold = ?2 OR (fold >= ?3 AND fold < ?4))",
    /* Begin */ "BEGIN IMMEDIATE",
    /* Commit */ "COMMIT",
    /* Rollback */ "ROLLBACK",
};
static_assert(sizeof kStatements / sizeof kStatements[0] == static_cast<int>(Sql::Count_));

std::mutex g_overrideMutex;
std::string g_strOverride;

Error PrvFileError(std::uint32_t code, const std::string& path, const std::string& what) {
    return Error{code, "Registry database " + path + " " + what};
}

// Runs SQL without results on db; throws Error on failure.
void PrvExec(sqlite3* db, const char* sql) {
    char* message = nullptr;
    int rc = sqlite3_exec(db, sql, nullptr, nullptr, &message);
    sqlite3_free(message);
    if (rc != SQLITE_OK) throw Error{Win32FromSqlite(sqlite3_extended_errcode(db)), {}};
}

std::int64_t PrvPragmaInt(sqlite3* db, const char* sql) {
    sqlite3_stmt* statement = nullptr;
    int rc = sqlite3_prepare_v2(db, sql, -1, &statement, nullptr);
    if (rc != SQLITE_OK) throw Error{Win32FromSqlite(sqlite3_extended_errcode(db)), {}};
    rc = sqlite3_step(statement);
    std::int64_t value = rc == SQLITE_ROW ? sqlite3_column_int64(statement, 0) : 0;
    sqlite3_finalize(statement);
    if (rc != SQLITE_ROW && rc != SQLITE_DONE) throw Error{Win32FromSqlite(rc), {}};
    return value;
}

// A file that exists and is not empty must begin with the SQLite header;
// anything else is refused before SQLite may touch it.
void PrvCheckHeader(const std::string& path) {
    // Non-blocking: a FIFO or device in its place must not hold the caller.
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        if (errno == ENOENT) return;
        throw PrvFileError(mfWin32ErrorFromErrno(errno), path,
                           std::string("cannot be read: ") + std::strerror(errno) + ".");
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        throw PrvFileError(ERROR_BADDB, path, "is not a regular file; it was left unchanged.");
    }
    char header[sizeof kSqliteMagic] = {};
    ssize_t got = 0;
    while (got < static_cast<ssize_t>(sizeof header)) {
        ssize_t n = ::read(fd, header + got, sizeof header - static_cast<std::size_t>(got));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += n;
    }
    ::close(fd);
    if (got == 0) return;  // an empty file is an empty database
    if (got != static_cast<ssize_t>(sizeof header) ||
        std::memcmp(header, kSqliteMagic, sizeof header) != 0) {
        throw PrvFileError(ERROR_BADDB, path, "is not a SQLite database; it was left unchanged.");
    }
}

// Creates the tables in a new database, or checks that an existing one is ours.
void PrvInitialise(sqlite3* db, const std::string& path, bool readOnly) {
    try {
        for (int attempt = 0; attempt < 2; ++attempt) {
            std::int64_t appId = PrvPragmaInt(db, "PRAGMA application_id");
            if (appId == kApplicationId) {
                if (PrvPragmaInt(db, "PRAGMA user_version") > kSchemaVersion) {
                    throw PrvFileError(ERROR_BADDB, path,
                                       "was written by a newer version of this program.");
                }
                return;
            }
            if (appId != 0 || PrvPragmaInt(db, "SELECT count(*) FROM sqlite_master") != 0) {
                throw PrvFileError(ERROR_BADDB, path,
                                   "is a SQLite database of another program; it was left "
                                   "unchanged.");
            }
            if (readOnly) {
                throw PrvFileError(ERROR_ACCESS_DENIED, path,
                                   "is empty and cannot be written.");
            }
            if (attempt == 1) break;
            // Write-ahead log: a commit costs no fsync, readers never wait for
            // writers. The mode is kept in the file.
            PrvExec(db, "PRAGMA journal_mode = WAL");
            // Another process may be creating the tables at the same moment: decide
            // under the write lock.
            PrvExec(db, "BEGIN IMMEDIATE");
            try {
                if (PrvPragmaInt(db, "PRAGMA application_id") == 0 &&
                    PrvPragmaInt(db, "SELECT count(*) FROM sqlite_master") == 0) {
                    PrvExec(db, kSchema);
                    PrvExec(db, ("PRAGMA application_id = " + std::to_string(kApplicationId) +
                                 "; PRAGMA user_version = " + std::to_string(kSchemaVersion))
                                    .c_str());
                }
                PrvExec(db, "COMMIT");
            } catch (...) {
                sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
                throw;
            }
        }
    } catch (Error& error) {
        if (error.description.empty()) {
            if (error.code == ERROR_BADDB) {
                error.description = "Registry database " + path + " is not a SQLite database.";
            } else {
                error.description = "Registry database " + path +
                                    " could not be opened (error " +
                                    std::to_string(error.code) + ").";
            }
        }
        throw;
    }
}

struct CacheEntry {
    std::unique_ptr<Connection> connection;
    dev_t device;
    ino_t inode;
};

// Counts forks in the child, so that a thread can tell (without a system
// call) that its cached connections were inherited from the parent.
std::atomic<unsigned> g_nForkGeneration{0};

void PrvAfterForkInChild() { g_nForkGeneration.fetch_add(1, std::memory_order_relaxed); }

struct ThreadCache {
    unsigned generation = 0;
    std::vector<CacheEntry> entries;  // most recently used first

    ThreadCache() {
        static std::once_flag registered;
        std::call_once(registered, [] { ::pthread_atfork(nullptr, nullptr, PrvAfterForkInChild); });
        generation = g_nForkGeneration.load(std::memory_order_relaxed);
    }
    ~ThreadCache() {
        if (generation != g_nForkGeneration.load(std::memory_order_relaxed)) {
            // Inherited through fork: the parent still owns these connections.
            for (auto& entry : entries) (void)entry.connection.release();
        }
    }
};

ThreadCache& PrvCache() {
    thread_local ThreadCache cache;
    unsigned generation = g_nForkGeneration.load(std::memory_order_relaxed);
    if (cache.generation != generation) {
        for (auto& entry : cache.entries) (void)entry.connection.release();
        cache.entries.clear();
        cache.generation = generation;
    }
    return cache;
}

std::unique_ptr<Connection> PrvOpen(const std::string& path) {
    std::error_code ec;
    std::filesystem::path file(path);
    if (file.has_parent_path() && !std::filesystem::exists(file.parent_path(), ec)) {
        std::filesystem::create_directories(file.parent_path(), ec);
        if (ec) {
            throw PrvFileError(mfWin32ErrorFromErrno(ec.value()), path,
                               "cannot be created: its folder could not be made (" +
                                   ec.message() + ").");
        }
    }
    PrvCheckHeader(path);

    sqlite3* db = nullptr;
    bool readOnly = false;
    int rc = sqlite3_open_v2(path.c_str(), &db,
                             SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                             nullptr);
    if (rc != SQLITE_OK) {
        sqlite3_close(db);
        db = nullptr;
        rc = sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX,
                             nullptr);
        readOnly = true;
    }
    if (rc != SQLITE_OK) {
        int err = errno;
        sqlite3_close(db);
        std::uint32_t code = rc == SQLITE_CANTOPEN && err != 0 ? mfWin32ErrorFromErrno(err)
                                                                : Win32FromSqlite(rc);
        throw PrvFileError(code, path,
                           std::string("cannot be opened: ") + sqlite3_errstr(rc) + ".");
    }
    auto connection = std::make_unique<Connection>(path, db, readOnly || sqlite3_db_readonly(db, "main") == 1);
    sqlite3_busy_timeout(db, kBusyTimeoutMs);
    sqlite3_extended_result_codes(db, 1);
    PrvExec(db, "PRAGMA foreign_keys = ON; PRAGMA synchronous = NORMAL");
    // Keep the -wal and -shm files after the last connection closes, so that
    // users who may only read the file can still open it.
    int persist = 1;
    sqlite3_file_control(db, "main", SQLITE_FCNTL_PERSIST_WAL, &persist);
    PrvInitialise(db, path, connection->ReadOnly());
    return connection;
}

}  // namespace

std::uint32_t Win32FromSqlite(int rc) noexcept {
    if (rc == SQLITE_CONSTRAINT_FOREIGNKEY) return ERROR_KEY_DELETED;
    switch (rc & 0xFF) {
        case SQLITE_OK:
        case SQLITE_ROW:
        case SQLITE_DONE:
            return ERROR_SUCCESS;
        case SQLITE_BUSY:
        case SQLITE_LOCKED:
            return ERROR_BUSY;
        case SQLITE_PERM:
        case SQLITE_READONLY:
        case SQLITE_AUTH:
            return ERROR_ACCESS_DENIED;
        case SQLITE_NOMEM:
            return ERROR_OUTOFMEMORY;
        case SQLITE_FULL:
            return ERROR_DISK_FULL;
        case SQLITE_NOTADB:
        case SQLITE_CORRUPT:
        case SQLITE_ERROR:
        case SQLITE_SCHEMA:
            return ERROR_BADDB;
        case SQLITE_CANTOPEN:
            return ERROR_CANTOPEN;
        case SQLITE_TOOBIG:
        case SQLITE_RANGE:
        case SQLITE_MISMATCH:
            return ERROR_INVALID_PARAMETER;
        case SQLITE_CONSTRAINT:
            return ERROR_BADKEY;
        default:
            return kErrorRegistryIoFailed;
    }
}

std::string DatabasePath() {
    {
        std::lock_guard<std::mutex> lock(g_overrideMutex);
        if (!g_strOverride.empty()) return g_strOverride;
    }
    const char* env = std::getenv(kDatabaseEnv);
    if (env != nullptr && *env != '\0') return env;
    return kDefaultDatabasePath;
}

void SetDatabasePathOverride(const std::string& path) {
    std::lock_guard<std::mutex> lock(g_overrideMutex);
    g_strOverride = path;
}

ScopedDatabasePath::ScopedDatabasePath(const std::string& path) {
    std::lock_guard<std::mutex> lock(g_overrideMutex);
    m_strPrevious = g_strOverride;
    g_strOverride = path;
}

void CheckDatabaseFile(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 && errno == ENOENT) return;
    (void)Acquire(path);
}

ScopedDatabasePath::~ScopedDatabasePath() { SetDatabasePathOverride(m_strPrevious); }

Connection::Connection(std::string path, sqlite3* db, bool readOnly)
    : m_strPath(std::move(path)), m_db(db), m_bReadOnly(readOnly) {}

Connection::~Connection() {
    for (sqlite3_stmt* statement : m_aStatements) sqlite3_finalize(statement);
    sqlite3_close(m_db);
}

sqlite3_stmt* Connection::Prepare(Sql which) {
    sqlite3_stmt*& statement = m_aStatements[static_cast<int>(which)];
    if (statement == nullptr) {
        int rc = sqlite3_prepare_v3(m_db, kStatements[static_cast<int>(which)], -1,
                                    SQLITE_PREPARE_PERSISTENT, &statement, nullptr);
        if (rc != SQLITE_OK) {
            statement = nullptr;
            throw Error{Win32FromSqlite(sqlite3_extended_errcode(m_db)), {}};
        }
    } else {
        sqlite3_reset(statement);
        sqlite3_clear_bindings(statement);
    }
    return statement;
}

Connection& Acquire(const std::string& path) {
    ThreadCache& cache = PrvCache();
    struct stat st {};
    bool present = ::stat(path.c_str(), &st) == 0;
    for (std::size_t i = 0; i < cache.entries.size(); ++i) {
        CacheEntry& entry = cache.entries[i];
        if (entry.connection->Path() != path) continue;
        if (present && entry.device == st.st_dev && entry.inode == st.st_ino) {
            if (i != 0) std::swap(cache.entries[0], cache.entries[i]);
            return *cache.entries[0].connection;
        }
        // The file was removed or replaced since: start afresh.
        cache.entries.erase(cache.entries.begin() + static_cast<std::ptrdiff_t>(i));
        break;
    }
    std::unique_ptr<Connection> connection = PrvOpen(path);
    if (::stat(path.c_str(), &st) != 0) {
        throw PrvFileError(mfWin32ErrorFromErrno(errno), path, "disappeared while opening.");
    }
    if (cache.entries.size() >= kMaxCachedConnections) cache.entries.pop_back();
    cache.entries.insert(cache.entries.begin(), CacheEntry{std::move(connection), st.st_dev,
                                                          st.st_ino});
    return *cache.entries[0].connection;
}

Connection* Find(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 && errno == ENOENT) {
        ThreadCache& cache = PrvCache();
        for (std::size_t i = 0; i < cache.entries.size(); ++i) {
            if (cache.entries[i].connection->Path() == path) {
                cache.entries.erase(cache.entries.begin() + static_cast<std::ptrdiff_t>(i));
                break;
            }
        }
        return nullptr;
    }
    return &Acquire(path);
}

void CloseThreadConnections() noexcept { PrvCache().entries.clear(); }

bool Step(Connection& connection, sqlite3_stmt* statement) {
    int rc = sqlite3_step(statement);
    if (rc == SQLITE_ROW) return true;
    if (rc == SQLITE_DONE) return false;
    int extended = sqlite3_extended_errcode(connection.Db());
    sqlite3_reset(statement);
    throw Error{Win32FromSqlite(extended != SQLITE_OK ? extended : rc), {}};
}

namespace {

// A size SQLite's int length cannot carry would be taken as "up to the first
// NUL" (text) or be undefined (blob).
void PrvCheckBindSize(std::size_t size) {
    if (size > static_cast<std::size_t>(std::numeric_limits<int>::max())) {
        throw Error{ERROR_INVALID_PARAMETER, {}};
    }
}

void PrvCheckBind(int rc) {
    if (rc != SQLITE_OK) throw Error{Win32FromSqlite(rc), {}};
}

}  // namespace

void BindText(sqlite3_stmt* statement, int index, const std::string& text) {
    PrvCheckBindSize(text.size());
    PrvCheckBind(sqlite3_bind_text(statement, index, text.data(), static_cast<int>(text.size()),
                                   SQLITE_STATIC));
}

void BindBlob(sqlite3_stmt* statement, int index, const std::string& bytes) {
    // A zero-length blob still binds as a blob, not NULL.
    static const char kEmpty = 0;
    PrvCheckBindSize(bytes.size());
    PrvCheckBind(sqlite3_bind_blob(statement, index, bytes.empty() ? &kEmpty : bytes.data(),
                                   static_cast<int>(bytes.size()), SQLITE_STATIC));
}

void BindInt(sqlite3_stmt* statement, int index, std::int64_t value) {
    sqlite3_bind_int64(statement, index, value);
}

std::string ColumnText(sqlite3_stmt* statement, int index) {
    const unsigned char* text = sqlite3_column_text(statement, index);
    int size = sqlite3_column_bytes(statement, index);
    return text == nullptr ? std::string() : std::string(reinterpret_cast<const char*>(text),
                                                         static_cast<std::size_t>(size));
}

std::string ColumnBlob(sqlite3_stmt* statement, int index) {
    const void* data = sqlite3_column_blob(statement, index);
    int size = sqlite3_column_bytes(statement, index);
    return data == nullptr ? std::string() : std::string(static_cast<const char*>(data),
                                                         static_cast<std::size_t>(size));
}

WriteTransaction::WriteTransaction(Connection& connection) : m_connection(connection) {
    sqlite3_stmt* begin = connection.Prepare(Sql::Begin);
    Step(connection, begin);
    sqlite3_reset(begin);
}

WriteTransaction::~WriteTransaction() {
    if (m_bDone) return;
    if (sqlite3_get_autocommit(m_connection.Db()) == 0) {
        try {
            sqlite3_stmt* rollback = m_connection.Prepare(Sql::Rollback);
            sqlite3_step(rollback);
            sqlite3_reset(rollback);
        } catch (...) {
            sqlite3_exec(m_connection.Db(), "ROLLBACK", nullptr, nullptr, nullptr);
        }
    }
}

void WriteTransaction::Commit() {
    sqlite3_stmt* commit = m_connection.Prepare(Sql::Commit);
    StatementScope scope(commit);
    Step(m_connection, commit);
    m_bDone = true;
}

}  // namespace core::registry::db
