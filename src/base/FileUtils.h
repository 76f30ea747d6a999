#pragma once
// File and directory functions shared by every subsystem. Paths are UTF-8 byte
// strings used as they are (no code page conversion) with "/" as separator.
// All functions are reentrant. The directory functions and mfWriteFileAtomic
// report failure by their result (and the calling thread's last error,
// Win32Error.h); the others throw as stated.
#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

// Makes path and every missing folder above it (mode 0777 less the umask).
// True when path is a directory afterwards, also when it already was or
// another process created it meanwhile; false as soon as one level fails or
// when something other than a directory is in the way.
bool mfCreateDirectories(const std::string& path);

// Deletes the directory path with everything in it: files and symbolic links
// are unlinked (a link's target is never touched), sub-directories emptied and
// removed. False when path is not a directory (a link to one is not) or as
// soon as one entry cannot be removed; what was removed until then stays
// removed.
bool mfDeleteDirectoryTree(const std::string& path);

// Size in bytes of a regular file (following links), 0 for a directory or
// other file type, -1 when the status cannot be read.
std::int64_t mfFileGetSize(const std::string& path);

// Writes bytes to path, appending when append is set, otherwise replacing the
// file's content in place (not crash-safe: use mfWriteFileAtomic for files
// that must survive a crash). When the file cannot be opened, creates its
// folder and tries once more; if it still cannot be opened throws mcExc,
// function "mfFileSaveUCharVec", description
// "mfUCharVecToFile: couldn't open source file". A failed write throws mcExc
// "mfUCharVecToFile: couldn't write file" (same function).
void mfUCharVecToFile(const std::vector<unsigned char>& bytes, const std::string& path, bool append);

// Reads the file version our programs carry: the ELF note with owner "Kettrin",
// type 1 and four 32-bit numbers (major, minor, build, revision). Any
// out-pointer may be null. The file is parsed defensively: every offset and
// size is checked against the file, so a truncated or hostile file only fails,
// and at most a few MiB of note areas are read however many headers name them.
// Throws:
// - mcExc, function "mfFileGetFileVersion",
//   "The file " + path + " does not exist." when path does not exist or is a directory;
// - mcWin32Exc "call to ::GetFileVersionInfoSize() (to retrieve size) failed!"
//   when the file cannot be opened, is not an ELF file or carries no version
//   note (last error 1813, or the open's error);
// - mcWin32Exc "call to ::GetFileVersionInfoSize() (to retrieve info) failed!"
//   when the note is there but its numbers cannot be read (last error 13).
void mfFileGetFileVersion(const std::string& path, std::uint32_t* major, std::uint32_t* minor,
                          std::uint32_t* build, std::uint32_t* revision);

// The one crash-safe writer. Replaces path so that a crash at any moment
// leaves either the old file or the new one, complete: creates the temporary
// file ".<name>.tmp-<pid>-<counter>" (O_EXCL) in the target's folder, gives it
// the old file's permissions (else newFileMode less the umask), lets fnFill
// write the content to its descriptor, fsyncs it, renames it over path and
// fsyncs the folder. Once the rename has succeeded the result is true, even
// on a file system that cannot sync folders. On failure (fnFill returned
// false included) returns false with the last error and errno set, removes
// the temporary file and leaves the old file as it was. The folder must
// exist. fnFill runs on the calling thread and must not close the
// descriptor; a failing fnFill should leave errno set.
using mfAtomicFiller = std::function<bool(int fd)>;
bool mfWriteFileAtomicWith(const std::string& path, const mfAtomicFiller& fnFill, mode_t newFileMode = 0666);
bool mfWriteFileAtomic(const std::string& path, std::string_view bytes, mode_t newFileMode = 0666);
bool mfWriteFileAtomic(const std::string& path, const std::vector<unsigned char>& bytes,
                       mode_t newFileMode = 0666);

// Copies the regular file source over target through the crash-safe writer:
// target is either its old self or a complete copy. False (last error and
// errno set) when source is not a regular file or cannot be read, or when the
// write fails; source is opened without blocking, so a FIFO or device put in
// its place never hangs the caller.
bool mfCopyFileAtomic(const std::string& source, const std::string& target);
