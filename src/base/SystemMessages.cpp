#include "base/SystemMessages.h"

#include <cstdio>

namespace {

struct SystemMessage {
    std::uint32_t code;
    const char* text;
};

// Win32 error codes (also reached through their HRESULT_FROM_WIN32 form).
constexpr SystemMessage kWin32Messages[] = {
    {0, "The operation completed successfully."},
    {1, "Incorrect function."},
    {2, "The system cannot find the file specified."},
    {3, "The system cannot find the path specified."},
    {4, "The system cannot open the file."},
    {5, "Access is denied."},
    {6, "The handle is invalid."},
    {8, "Not enough memory resources are available to process this command."},
    {10, "The environment is incorrect."},
    {13, "The data is invalid."},
    {14, "Not enough memory resources are available to complete this operation."},
    {15, "The system cannot find the drive specified."},
    {17, "The system cannot move the file to a different disk drive."},
    {18, "There are no more files."},
    {19, "The media is write protected."},
    {21, "The device is not ready."},
    {31, "A device attached to the system is not functioning."},
    {32, "The process cannot access the file because it is being used by another process."},
    {33, "The process cannot access the file because another process has locked a portion of "
         "the file."},
    {38, "Reached the end of the file."},
    {39, "The disk is full."},
    {50, "The request is not supported."},
    {53, "The network path was not found."},
    {80, "The file exists."},
    {82, "The directory or file cannot be created."},
    {87, "The parameter is incorrect."},
    {109, "The pipe has been ended."},
    {110, "The system cannot open the device or file specified."},
    {111, "The file name is too long."},
    {112, "There is not enough space on the disk."},
    {120, "This function is not supported on this system."},
    {122, "The data area passed to a system call is too small."},
    {123, "The filename, directory name, or volume label syntax is incorrect."},
    {145, "The directory is not empty."},
    {161, "The specified path is invalid."},
    {170, "The requested resource is in use."},
    {183, "Cannot create a file when that file already exists."},
    {193, "%1 is not a valid Win32 application."},
    {206, "The filename or extension is too long."},
    {223, "The file size exceeds the limit allowed and cannot be saved."},
    {234, "More data is available."},
    {258, "The wait operation timed out."},
    {259, "No more data is available."},
    {267, "The directory name is invalid."},
    {288, "Attempt to release mutex not owned by caller."},
    {995, "The I/O operation has been aborted because of either a thread exit or an application "
          "request."},
    {998, "Invalid access to memory location."},
    {1009, "The configuration registry database is corrupt."},
    {1010, "The configuration registry key is invalid."},
    {1011, "The configuration registry key could not be opened."},
    {1012, "The configuration registry key could not be read."},
    {1013, "The configuration registry key could not be written."},
    {1018, "Illegal operation attempted on a registry key that has been marked for deletion."},
    {1113, "No mapping for the Unicode character exists in the target multi-byte code page."},
    {1117, "The request could not be performed because of an I/O device error."},
    {1155, "No application is associated with the specified file for this operation."},
    {1168, "Element not found."},
    {1223, "The operation was canceled by the user."},
    {1225, "The remote computer refused the network connection."},
    {1231, "The network location cannot be reached. For information about network "
           "troubleshooting, see Windows Help."},
    {1232, "The network location cannot be reached. For information about network "
           "troubleshooting, see Windows Help."},
    {1460, "This operation returned because the timeout period expired."},
    {1921, "The name of the file cannot be resolved by the system."},
    {10060, "A connection attempt failed because the connected party did not properly respond "
            "after a period of time, or established connection failed because connected host "
            "has failed to respond."},
    {10061, "No connection could be made because the target machine actively refused it."},
    {11001, "No such host is known."},
    // WinInet.
    {12001, "No more handles could be generated at this time"},
    {12002, "The operation timed out"},
    {12005, "The URL is invalid"},
    {12006, "The URL does not use a recognized protocol"},
    {12007, "The server name or address could not be resolved"},
    {12017, "The operation was canceled, usually because the handle on which the request was "
            "operating was closed before the operation completed"},
    {12029, "A connection with the server could not be established"},
    {12030, "The connection with the server has been terminated"},
    {12031, "The connection with the server was reset"},
    {12150, "The requested header could not be located"},
    {12152, "The server returned an invalid or unrecognized response"},
};

// HRESULTs outside the Win32 facility.
constexpr SystemMessage kHResultMessages[] = {
    {0x80004001u, "Not implemented"},
    {0x80004002u, "No such interface supported"},
    {0x80004003u, "Invalid pointer"},
    {0x80004004u, "Operation aborted"},
    {0x80004005u, "Unspecified error"},
    {0x8000FFFFu, "Catastrophic failure"},
    {0x80020005u, "Type mismatch."},
    {0x8002000Au, "Out of present range."},
    {0x80040154u, "Class not registered"},
    {0x800401F0u, "CoInitialize has not been called."},
};

constexpr std::uint32_t kWin32FacilityMask = 0xFFFF0000u;
constexpr std::uint32_t kWin32Facility = 0x80070000u;

const char* PrvLookup(const SystemMessage* begin, const SystemMessage* end, std::uint32_t code) {
    for (const SystemMessage* p = begin; p != end; ++p) {
        if (p->code == code) return p->text;
    }
    return nullptr;
}

}  // namespace

bool mfFindSystemMessage(std::uint32_t code, std::string* text) {
    const char* found = nullptr;
    if ((code & kWin32FacilityMask) == kWin32Facility) {
        found = PrvLookup(std::begin(kWin32Messages), std::end(kWin32Messages), code & 0xFFFFu);
    } else if (code & 0x80000000u) {
        found = PrvLookup(std::begin(kHResultMessages), std::end(kHResultMessages), code);
    } else {
        found = PrvLookup(std::begin(kWin32Messages), std::end(kWin32Messages), code);
    }
    if (found == nullptr) return false;
    if (text != nullptr) *text = found;
    return true;
}

std::string mfGetSystemErrorMessage(std::uint32_t code) {
    std::string text;
    if (mfFindSystemMessage(code, &text)) return text;
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "Error: %08x", static_cast<unsigned>(code));
    return buffer;
}

std::string mfHResultText(HRESULT hr) {
    const auto code = static_cast<std::uint32_t>(hr);
    std::string text;
    if (mfFindSystemMessage(code, &text)) return text;
    char buffer[48];
    if (code > 0x80040200u && code <= 0x8004FFFFu) {
        std::snprintf(buffer, sizeof buffer, "IDispatch error #%d",
                      static_cast<int>(code - 0x80040200u));
    } else {
        std::snprintf(buffer, sizeof buffer, "Unknown error 0x%0lX",
                      static_cast<unsigned long>(code));
    }
    return buffer;
}
