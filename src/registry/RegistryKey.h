#pragma once
// core::registry::RegistryKey: one open registry key with checked, typed value
// access and the registry's own failure texts.
//
// The registry is a SQLite file (see RegistryDatabase.h for where it lives and
// how several processes share it). Roots are chosen by index: 1 classes root,
// 2 current configuration, 3 current user, 5 local machine, 7 users; any other
// index opens nothing (error 6). The file is created, with its folder, by the
// first write; until then reads find the five empty roots and nothing else.
//
// Names: key and value names are compared ignoring case (simple Unicode case
// folding of the UTF-8 text) and keep the case they were created with. A key
// path is split at "\"; empty components (a leading, trailing or doubled "\")
// are ignored, and the empty path is the root itself. The default value of a
// key has the empty name.
//
// Values keep the Windows type numbers and are stored as Windows stores them:
// strings (1, 2) and multi-strings (7) as UTF-16LE with their terminators, so
// sizes are in UTF-16 bytes; 32-bit numbers (4) as 4 little-endian bytes.
// Texts go in and come out as UTF-8.
//
// Access: the mask given at open is checked the way Windows checks it: reading
// values needs KEY_QUERY_VALUE, writing or deleting values KEY_SET_VALUE,
// creating sub-keys KEY_CREATE_SUB_KEY, listing sub-keys
// KEY_ENUMERATE_SUB_KEYS, deleting a key tree DELETE or KEY_SET_VALUE; a
// missing right fails with 5. A database file that can only be read refuses
// to open keys for any writing right (5).
//
// Failures are exceptions of the RegistryKey::Exception family whose texts
// print a Windows error number: 2 key or value not found, 5 access denied,
// 6 bad root, 87 bad argument, 170 database busy past the time-out, 234 data
// larger than asked for, 1009 database damaged or not ours, 1018 key deleted
// while open. ErrorCode() returns that number. Problems with the database
// file itself (not a SQLite file, a file of another program, a folder that
// cannot be made) raise DatabaseException naming the file; the file is never
// overwritten.
//
// Threads: a RegistryKey is used by one thread at a time; it may move between
// threads (each thread reaches the file through its own connection).
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "base/mcExc.h"

namespace core::registry {

// Root indices.
inline constexpr std::int32_t kRootClassesRoot = 1;
inline constexpr std::int32_t kRootCurrentConfig = 2;
inline constexpr std::int32_t kRootCurrentUser = 3;
inline constexpr std::int32_t kRootLocalMachine = 5;
inline constexpr std::int32_t kRootUsers = 7;

// Access rights (Windows numbers).
inline constexpr std::uint32_t KEY_QUERY_VALUE = 0x0001;
inline constexpr std::uint32_t KEY_SET_VALUE = 0x0002;
inline constexpr std::uint32_t KEY_CREATE_SUB_KEY = 0x0004;
inline constexpr std::uint32_t KEY_ENUMERATE_SUB_KEYS = 0x0008;
inline constexpr std::uint32_t KEY_NOTIFY = 0x0010;
inline constexpr std::uint32_t KEY_CREATE_LINK = 0x0020;
inline constexpr std::uint32_t KEY_DELETE = 0x00010000;  // DELETE
inline constexpr std::uint32_t KEY_READ = 0x00020019;
inline constexpr std::uint32_t KEY_WRITE = 0x00020006;
inline constexpr std::uint32_t KEY_ALL_ACCESS = 0x000F003F;

// Value types (Windows numbers).
inline constexpr std::uint32_t REG_NONE = 0;
inline constexpr std::uint32_t REG_SZ = 1;
inline constexpr std::uint32_t REG_EXPAND_SZ = 2;
inline constexpr std::uint32_t REG_BINARY = 3;
inline constexpr std::uint32_t REG_DWORD = 4;
inline constexpr std::uint32_t REG_MULTI_SZ = 7;
inline constexpr std::uint32_t REG_QWORD = 11;

class RegistryKey {
public:
    // Root of the registry's exceptions. ErrorCode(): the Windows error number
    // the description prints (0 when there is none).
    class Exception : public mcExc {
    public:
        Exception(const char* function, const char* file, int line, std::string description,
                  std::uint32_t errorCode = 0)
            : mcExc(function, file, line, std::move(description)), m_dwError(errorCode) {}
        std::uint32_t ErrorCode() const { return m_dwError; }

    private:
        std::uint32_t m_dwError;
    };
#define KETTRIN_REGISTRY_EXC(Name)                                                         \
    class Name : public Exception {                                                        \
    public:                                                                                \
        Name(const char* function, const char* file, int line, std::string description,    \
             std::uint32_t errorCode = 0)                                                  \
            : Exception(function, file, line, std::move(description), errorCode) {}        \
    }
    KETTRIN_REGISTRY_EXC(KeyException);
    KETTRIN_REGISTRY_EXC(ValueException);
    KETTRIN_REGISTRY_EXC(ValueTypeException);
    // The database file is unusable (see above); the description names it.
    KETTRIN_REGISTRY_EXC(DatabaseException);

    // The open key: which key of which database, with which rights. Counts the
    // handles open in the process.
    class Handle {
    public:
        KETTRIN_REGISTRY_EXC(OpenException);
        KETTRIN_REGISTRY_EXC(CloseException);

        // Opens root\keyPath. Failure: OpenException "RegOpenKeyEx(" + keyPath +
        // ") returned " + code + "."; DatabaseException when the file is unusable.
        Handle(std::int32_t root, const std::string& keyPath, std::uint32_t access);
        ~Handle();
        Handle(const Handle&) = delete;
        Handle& operator=(const Handle&) = delete;

        std::int64_t Id() const { return m_nId; }
        const std::string& Database() const { return m_strDatabase; }
        std::uint32_t Access() const { return m_dwAccess; }

        // Handles open in the process right now.
        static long OpenCount();

    private:
        friend class RegistryKey;
        Handle(std::string database, std::int64_t id, std::uint32_t access);
        std::string m_strDatabase;
        std::int64_t m_nId = 0;
        std::uint32_t m_dwAccess = 0;
    };
#undef KETTRIN_REGISTRY_EXC

    struct TypeAndSize {
        std::uint32_t type;
        std::uint32_t size;  // bytes
    };
    struct RawValue {
        std::string name;
        std::uint32_t type = REG_NONE;
        std::string data;  // bytes as stored
    };

    // Stores the fields and opens the key at once (see Open).
    RegistryKey(std::int32_t root, std::string keyPath, std::uint32_t access = KEY_ALL_ACCESS);
    ~RegistryKey();  // closes the key if open
    RegistryKey(RegistryKey&& other) noexcept;
    RegistryKey& operator=(RegistryKey&& other) noexcept;
    RegistryKey(const RegistryKey&) = delete;
    RegistryKey& operator=(const RegistryKey&) = delete;

    std::int32_t Root() const { return m_nRoot; }
    const std::string& KeyPath() const { return m_strKeyPath; }
    std::uint32_t AccessMask() const { return m_dwAccess; }
    bool IsOpen() const { return m_pHandle != nullptr; }

    // Closes the current handle (if any) and opens again. Any failure becomes
    // KeyException "Handle() exception." + key path, with the cause's error
    // number; DatabaseException passes through unchanged.
    void Open();
    // Closes the handle; later calls fail with error 6 until Open().
    void Close();

    // Type of a value. Failure: ValueException "RegQueryValueEx(path\name) returned N.".
    std::uint32_t GetValueType(const std::string& name);
    TypeAndSize GetValueTypeAndSize(const std::string& name);

    // Typed reads. A missing value fails in the type query; a value of another
    // type raises ValueTypeException "Registry value type mismatch for value ...".
    std::uint32_t GetValueDWord(const std::string& name);
    // Types 1 and 2; trailing NULs removed; expandable strings are not expanded.
    std::string GetValueString(const std::string& name);
    std::string GetValueBinary(const std::string& name);                // type 3, bytes
    std::vector<std::string> GetValueMultiString(const std::string& name);  // type 7
    // Any type, bytes as stored.
    RawValue GetValue(const std::string& name);

    // Typed writes. A value that exists with another type raises
    // ValueTypeException and is left alone. Each write is one transaction.
    bool SetValueString(const std::string& name, const std::string& text);
    void SetValueExpandString(const std::string& name, const std::string& text);
    void SetValueDWord(const std::string& name, std::uint32_t value);
    void SetValueBinary(const std::string& name, const std::string& bytes);
    // Items must be non-empty and free of NUL characters (error 87 otherwise):
    // an empty item would end the list early for every reader.
    void SetValueMultiString(const std::string& name, const std::vector<std::string>& items);
    // Writes any type over whatever the value was.
    void SetValue(const std::string& name, std::uint32_t type, const std::string& bytes);
    // In one transaction: returns the value's text when it is a non-empty
    // string; otherwise stores text as a string value and returns it. Lets
    // several processes agree on a value generated once.
    std::string GetOrSetValueString(const std::string& name, const std::string& text);

    // Number of values. Failure: KeyException "RegQueryInfoKey(path) returned N.".
    std::uint32_t GetValueCount();
    // Values and names of direct sub-keys, as created (case kept); values in
    // the order they were first written, sub-keys ordered ignoring case.
    std::vector<RawValue> GetValues();
    std::vector<std::string> GetValueNames();
    std::vector<std::string> GetSubKeyNames();

    // Failure (also a missing value, 2): ValueException "RegDeleteValue(path\name) returned N.".
    void DeleteValue(const std::string& name);

    // Creates or opens key path + "\" + name (just name below a root), with
    // any missing keys on the way. Failure: KeyException
    // "RegCreateKeyEx(" + path + ") returned N.".
    RegistryKey CreateSubKey(const std::string& name, std::uint32_t access = KEY_ALL_ACCESS);
    // Deletes the sub-key with everything below it. Failure (also a missing
    // key, 2): KeyException "RegDeleteTree(path\name) returned N.".
    void DeleteSubKey(const std::string& name);

    // Opens and closes the key: true when it opened. A database that is
    // unusable raises DatabaseException rather than answering false.
    static bool Exists(std::int32_t root, const std::string& keyPath,
                       std::uint32_t access = KEY_READ);
    // False when the key does not open; otherwise true when the value exists.
    static bool ValueExists(std::int32_t root, const std::string& keyPath, std::uint32_t access,
                            const std::string& name);
    // Deletes root\keyPath with everything below it. A root itself cannot be
    // deleted (5). Failure: KeyException "RegDeleteTree(path) returned N.".
    static void DeleteKey(std::int32_t root, const std::string& keyPath);

    // The byte forms of the string types, for callers that handle RawValue.
    // Decoding never fails (invalid UTF-16 becomes U+FFFD; trailing NULs and an
    // odd last byte are dropped; a multi-string ends at its first empty item).
    // Encoding adds the terminators and throws mcExc for text that is not
    // UTF-8.
    static std::string StringFromBytes(std::string bytes);
    static std::vector<std::string> MultiStringFromBytes(const std::string& bytes);
    static std::string BytesFromString(const std::string& text);

private:
    RegistryKey(std::int32_t root, std::string keyPath, std::uint32_t access,
                std::unique_ptr<Handle> handle);
    std::string PrvValuePath(const std::string& name) const;
    const Handle& PrvHandle(std::uint32_t right) const;  // throws db::Error 6 or 5

    std::string m_strKeyPath;
    std::int32_t m_nRoot;
    std::uint32_t m_dwAccess;
    std::unique_ptr<Handle> m_pHandle;
};

// Case-folded form of a key path as the registry compares it ("A\\b\\" and
// "a\B" give "a\b").
std::string mfRegistryFoldKeyPath(const std::string& keyPath);

}  // namespace core::registry
