#include "base/Win32Error.h"

#include <cerrno>

namespace {
thread_local std::uint32_t t_nLastError = ERROR_SUCCESS;
}

std::uint32_t mfGetLastError() noexcept { return t_nLastError; }

void mfSetLastError(std::uint32_t code) noexcept { t_nLastError = code; }

std::uint32_t mfWin32ErrorFromErrno(int err) noexcept {
    switch (err) {
    case 0: return ERROR_SUCCESS;
    case ENOENT: return ERROR_FILE_NOT_FOUND;
    case ENOTDIR: return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EISDIR: return ERROR_ACCESS_DENIED;
    case EROFS: return ERROR_WRITE_PROTECT;
    case EBADF: return ERROR_INVALID_HANDLE;
    case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    case E2BIG: return ERROR_BAD_ENVIRONMENT;
    case EMFILE:
    case ENFILE: return ERROR_TOO_MANY_OPEN_FILES;
    case EXDEV: return ERROR_NOT_SAME_DEVICE;
    case ETXTBSY: return ERROR_SHARING_VIOLATION;
    case EWOULDBLOCK: return ERROR_LOCK_VIOLATION;
    case EBUSY: return ERROR_BUSY;
    case EEXIST: return ERROR_FILE_EXISTS;
    case EINVAL: return ERROR_INVALID_PARAMETER;
    case EPIPE: return ERROR_BROKEN_PIPE;
    case ENOSPC:
    case EDQUOT: return ERROR_DISK_FULL;
    case ENOSYS: return ERROR_CALL_NOT_IMPLEMENTED;
    case ENOTSUP: return ERROR_NOT_SUPPORTED;  // EOPNOTSUPP has the same value
    case ERANGE: return ERROR_INSUFFICIENT_BUFFER;
    case ENAMETOOLONG: return ERROR_FILENAME_EXCED_RANGE;
    case ENOTEMPTY: return ERROR_DIR_NOT_EMPTY;
    case ENOEXEC: return ERROR_BAD_EXE_FORMAT;
    case EFBIG: return ERROR_FILE_TOO_LARGE;
    case EINTR:
    case ECANCELED: return ERROR_OPERATION_ABORTED;
    case EFAULT: return ERROR_NOACCESS;
    case EILSEQ: return ERROR_NO_UNICODE_TRANSLATION;
    case EIO: return ERROR_IO_DEVICE;
    case ETIMEDOUT: return ERROR_TIMEOUT;
    case ECONNREFUSED: return ERROR_CONNECTION_REFUSED;
    case ENETUNREACH: return ERROR_NETWORK_UNREACHABLE;
    case EHOSTUNREACH: return ERROR_HOST_UNREACHABLE;
    case ELOOP: return ERROR_CANT_RESOLVE_FILENAME;
    default: return ERROR_GEN_FAILURE;
    }
}

std::uint32_t mfSetLastErrorFromErrno(int err) noexcept {
    std::uint32_t code = mfWin32ErrorFromErrno(err);
    mfSetLastError(code);
    return code;
}
