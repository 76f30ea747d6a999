#pragma once
// Win32-style error codes on Linux. Code that reports failures with Windows
// error numbers (a "last error" read after a failed call, numbers printed in
// texts) sets a thread-local last error from errno with
// mfSetLastError(mfWin32ErrorFromErrno(errno)) and mcWin32Exc picks it up.
#include <cstdint>

// Error numbers with their Windows meaning (and Windows names).
inline constexpr std::uint32_t ERROR_SUCCESS = 0;
inline constexpr std::uint32_t ERROR_INVALID_FUNCTION = 1;
inline constexpr std::uint32_t ERROR_FILE_NOT_FOUND = 2;
inline constexpr std::uint32_t ERROR_PATH_NOT_FOUND = 3;
inline constexpr std::uint32_t ERROR_TOO_MANY_OPEN_FILES = 4;
inline constexpr std::uint32_t ERROR_ACCESS_DENIED = 5;
inline constexpr std::uint32_t ERROR_INVALID_HANDLE = 6;
inline constexpr std::uint32_t ERROR_NOT_ENOUGH_MEMORY = 8;
inline constexpr std::uint32_t ERROR_BAD_ENVIRONMENT = 10;
inline constexpr std::uint32_t ERROR_INVALID_DATA = 13;
inline constexpr std::uint32_t ERROR_OUTOFMEMORY = 14;
inline constexpr std::uint32_t ERROR_NOT_SAME_DEVICE = 17;
inline constexpr std::uint32_t ERROR_NO_MORE_FILES = 18;
inline constexpr std::uint32_t ERROR_WRITE_PROTECT = 19;
inline constexpr std::uint32_t ERROR_GEN_FAILURE = 31;
inline constexpr std::uint32_t ERROR_SHARING_VIOLATION = 32;
inline constexpr std::uint32_t ERROR_LOCK_VIOLATION = 33;
inline constexpr std::uint32_t ERROR_HANDLE_EOF = 38;
inline constexpr std::uint32_t ERROR_HANDLE_DISK_FULL = 39;
inline constexpr std::uint32_t ERROR_NOT_SUPPORTED = 50;
inline constexpr std::uint32_t ERROR_FILE_EXISTS = 80;
inline constexpr std::uint32_t ERROR_CANNOT_MAKE = 82;
inline constexpr std::uint32_t ERROR_INVALID_PARAMETER = 87;
inline constexpr std::uint32_t ERROR_BROKEN_PIPE = 109;
inline constexpr std::uint32_t ERROR_OPEN_FAILED = 110;
inline constexpr std::uint32_t ERROR_BUFFER_OVERFLOW = 111;
inline constexpr std::uint32_t ERROR_DISK_FULL = 112;
inline constexpr std::uint32_t ERROR_CALL_NOT_IMPLEMENTED = 120;
inline constexpr std::uint32_t ERROR_INSUFFICIENT_BUFFER = 122;
inline constexpr std::uint32_t ERROR_INVALID_NAME = 123;
inline constexpr std::uint32_t ERROR_DIR_NOT_EMPTY = 145;
inline constexpr std::uint32_t ERROR_BAD_PATHNAME = 161;
inline constexpr std::uint32_t ERROR_BUSY = 170;
inline constexpr std::uint32_t ERROR_ALREADY_EXISTS = 183;
inline constexpr std::uint32_t ERROR_BAD_EXE_FORMAT = 193;
inline constexpr std::uint32_t ERROR_FILENAME_EXCED_RANGE = 206;
inline constexpr std::uint32_t ERROR_FILE_TOO_LARGE = 223;
inline constexpr std::uint32_t ERROR_MORE_DATA = 234;
inline constexpr std::uint32_t WAIT_TIMEOUT = 258;
inline constexpr std::uint32_t ERROR_NO_MORE_ITEMS = 259;
inline constexpr std::uint32_t ERROR_DIRECTORY = 267;
inline constexpr std::uint32_t ERROR_NOT_OWNER = 288;
inline constexpr std::uint32_t ERROR_OPERATION_ABORTED = 995;
inline constexpr std::uint32_t ERROR_NOACCESS = 998;
inline constexpr std::uint32_t ERROR_BADDB = 1009;
inline constexpr std::uint32_t ERROR_BADKEY = 1010;
inline constexpr std::uint32_t ERROR_CANTOPEN = 1011;
inline constexpr std::uint32_t ERROR_CANTREAD = 1012;
inline constexpr std::uint32_t ERROR_CANTWRITE = 1013;
inline constexpr std::uint32_t ERROR_KEY_DELETED = 1018;
inline constexpr std::uint32_t ERROR_NO_UNICODE_TRANSLATION = 1113;
inline constexpr std::uint32_t ERROR_IO_DEVICE = 1117;
inline constexpr std::uint32_t ERROR_NO_ASSOCIATION = 1155;
inline constexpr std::uint32_t ERROR_NOT_FOUND = 1168;
inline constexpr std::uint32_t ERROR_CANCELLED = 1223;
inline constexpr std::uint32_t ERROR_CONNECTION_REFUSED = 1225;
inline constexpr std::uint32_t ERROR_NETWORK_UNREACHABLE = 1231;
inline constexpr std::uint32_t ERROR_HOST_UNREACHABLE = 1232;
inline constexpr std::uint32_t ERROR_TIMEOUT = 1460;
inline constexpr std::uint32_t ERROR_CANT_RESOLVE_FILENAME = 1921;
// WinInet numbers, used by the HTTP layer.
inline constexpr std::uint32_t ERROR_INTERNET_TIMEOUT = 12002;
inline constexpr std::uint32_t ERROR_INTERNET_NAME_NOT_RESOLVED = 12007;
inline constexpr std::uint32_t ERROR_INTERNET_CANNOT_CONNECT = 12029;

// The calling thread's last error (0 on a new thread). Never fails.
std::uint32_t mfGetLastError() noexcept;
void mfSetLastError(std::uint32_t code) noexcept;

// Maps an errno value to the Windows error a Windows call would have reported
// for the same situation: ENOENT 2, ENOTDIR 3, EACCES/EPERM 5, ENOMEM 8,
// ETXTBSY 32, EEXIST 80 (a caller that creates something other than a file
// reports ERROR_ALREADY_EXISTS itself), EINVAL 87, ENOSPC 112, EBUSY 170, ...
// 0 gives 0; an errno without a Windows counterpart gives ERROR_GEN_FAILURE.
std::uint32_t mfWin32ErrorFromErrno(int err) noexcept;

// Shorthand: mfSetLastError(mfWin32ErrorFromErrno(err)); returns the code.
std::uint32_t mfSetLastErrorFromErrno(int err) noexcept;
