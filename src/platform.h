#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Every call gapMend makes to the operating system itself, in one place: platform_posix.cpp and
// platform_windows.cpp implement this header side by side, and no other unit includes a system
// header. What GDAL's portable layer (CPL/VSI) or the standard library already does, the units
// ask them for instead: GDAL for a stat, mkdir, rename and free disk space; std::filesystem for
// what kind of file a path names, where its links lead, and listing and removing a directory's
// contents. A look at a file that never follows a link, with its owner and who else may write it
// (FileInfo), is here, since neither has it.
//
// Paths are UTF-8 on both platforms, as GDAL takes them. Where the platforms differ in what they
// can promise, the function says so.
namespace platform {

// An open file: a descriptor on POSIX, a HANDLE on Windows.
using FileHandle = std::intptr_t;
constexpr FileHandle kNoFile = -1;

// Others may open the file meanwhile, to read or write it: the run lock keeps other runs out.
enum class Open {
    kRead,       // an existing file, to read
    kReadWrite,  // an existing file, to read and write
    kCreateNew,  // a new file, to read and write; fails if the name exists. On POSIX the user's
                 // alone (0600). On Windows OpenFile gives it an ACL of its own (the user,
                 // SYSTEM, the Administrators), while OpenIn lets it take its directory's.
};

// kNoFile on failure, with LastError() saying why.
FileHandle OpenFile(const std::string& path, Open how);
void CloseFile(FileHandle file);

// Bytes read or written at an absolute offset, without moving any file position; -1 on error.
// Other processes may have the file open for reading meanwhile.
long long ReadAt(FileHandle file, void* data, std::size_t size, std::uint64_t offset);
long long WriteAt(FileHandle file, const void* data, std::size_t size, std::uint64_t offset);

// How a read or write of a whole range went: all of it, fewer bytes without an error (a read past
// the file's end, a write to a full disk), or an error that LastError() names.
enum class Whole { kYes, kShort, kError };
inline Whole WholeOf(long long moved, std::size_t size) {
    return moved == static_cast<long long>(size) ? Whole::kYes
           : moved < 0                           ? Whole::kError
                                                 : Whole::kShort;
}
inline Whole ReadWhole(FileHandle file, void* data, std::size_t size, std::uint64_t offset) {
    return WholeOf(ReadAt(file, data, size, offset), size);
}
inline Whole WriteWhole(FileHandle file, const void* data, std::size_t size, std::uint64_t offset) {
    return WholeOf(WriteAt(file, data, size, offset), size);
}

// Puts what was written to the file on the disk: all of it, or only what reading it back needs
// (its data and size, not its times). POSIX: fsync, fdatasync. Windows: FlushFileBuffers for
// both, which needs a handle with write access.
bool SyncFile(FileHandle file);
bool SyncData(FileHandle file);
// Starts putting [offset, offset + length) of the file on the disk and returns at once, so that a
// later SyncData has less to wait for; it promises nothing. Linux: sync_file_range. Elsewhere:
// nothing.
void StartWriteBack(FileHandle file, std::uint64_t offset, std::uint64_t length);
// SyncData by name. POSIX opens the file to read, which is all fdatasync needs. Windows needs a
// handle that may write: a file this process may not write had nothing of its written by it.
bool SyncDataAt(const std::string& path);
// Puts a directory's entries (files made, renamed or removed in it) on the disk. POSIX: fsync on
// the directory. Windows has no such call, and needs none: NTFS journals its own metadata, and a
// flushed file's directory entry is durable with it. True there.
bool SyncDirectory(const std::string& path);
// Gives the file this length, cutting it or growing it with zeros.
bool Truncate(FileHandle file, std::uint64_t length);

enum class Removed { kYes, kAbsent, kFailed };
Removed RemoveFile(const std::string& path);

// A directory in which names are looked up, and files opened, removed and synced: on POSIX
// through a descriptor of the directory (openat), so that a rename of a directory on the path
// meanwhile changes nothing; on Windows by its path.
struct Directory {
    std::string path;
    FileHandle handle = kNoFile;
};
bool OpenDirectory(const std::string& path, Directory& directory);
void CloseDirectory(Directory& directory);
bool SyncDirectory(const Directory& directory);

// Why an open in a directory failed.
enum class Failure {
    kNone,
    kMissing,   // no such name
    kNotAFile,  // a symbolic link, junction, directory, device or FIFO: never opened
    kDenied,    // no permission, or a read-only file system
    kOther,
};
// The kind of the last failure here.
Failure LastFailure();
// Opens `name` in the directory, never following a symbolic link or junction, and only if it is
// a regular file; never waits on a FIFO or device. kNoFile on failure, with `failure` set.
FileHandle OpenIn(const Directory& directory, const std::string& name, Open how, Failure& failure);
Removed RemoveIn(const Directory& directory, const std::string& name);

// What the journal's checks need to know of a file.
struct FileInfo {
    bool regular = false;  // a regular file: not a link, junction, directory, device or FIFO
    std::uint64_t size = 0;
    std::uint32_t links = 0;        // how many names it has
    std::uint32_t mode = 0;         // POSIX permission bits; 0 on Windows, where an ACL says it
    bool others_may_write = false;  // anyone but its owner (POSIX: group or others)
    std::string owner;              // a user id, or a SID on Windows, as text
};
bool InfoOf(FileHandle file, FileInfo& info);
// Of `name` in the directory itself, or of the path itself: a symbolic link is not followed.
bool InfoIn(const Directory& directory, const std::string& name, FileInfo& info);
bool InfoAt(const std::string& path, FileInfo& info);
// Whether files this process makes get this owner: the user, or on Windows also the token's
// default owner (the Administrators group, for an elevated administrator).
bool IsOwnOwner(const std::string& owner);
// Gives a file these permission bits (POSIX); on Windows a file takes its directory's ACL.
bool SetMode(FileHandle file, std::uint32_t mode);

// What tells one file from another in its directory: on POSIX the inode number, with the file's
// birth time where the system records it (statx); on Windows the file index
// (GetFileInformationByHandle), where the index itself tells a new file from an old one that had
// it (NTFS counts each reuse of an index in it). Not the device (on Windows the volume's serial
// number), whose number may change across reboots: the journal lies beside the file, so the file
// system is fixed anyway. Not the change time either, which every write moves.
struct FileIdentity {
    std::uint64_t inode = 0;
    // When the file was made, which tells a new file from an old one with the same inode number.
    // Zero where the file system or the platform does not record it: then the inode alone.
    std::int64_t birth_seconds = 0;
    std::uint32_t birth_nanoseconds = 0;

    bool operator==(const FileIdentity& other) const {
        return inode == other.inode && birth_seconds == other.birth_seconds &&
               birth_nanoseconds == other.birth_nanoseconds;
    }
};
// All zero when the file's identity cannot be read.
FileIdentity IdentityOf(FileHandle file);

// An exclusive lock on the file, taken at once or not at all: false when another process holds
// one. It lasts until the handle is closed. POSIX: flock, advisory. Windows: LockFileEx on one
// byte far beyond the end of any file, since Windows locks are mandatory: a lock on the data
// would stop GDAL's own handle on the file too.
bool TryLockExclusive(FileHandle file);

// Why the last call here failed, as a line of text.
std::string LastError();

// The characters that end a directory's name in a path: '/' on POSIX, where '\' is a character
// like any other; both on Windows.
#ifdef _WIN32
constexpr char kPathSeparators[] = "/\\";
#else
constexpr char kPathSeparators[] = "/";
#endif
// Whether the part of `path` before its separator at `slash` is a root, which keeps that
// separator when it is named as a directory: the empty part ("/x"), and on Windows a drive
// ("C:\x"), since "C:" alone names the drive's current directory.
bool IsRootBefore(const std::string& path, std::size_t slash);

// Whether `path` is a directory itself (not a symbolic link or junction to one) that belongs to
// the user running gapMend.
bool IsOwnDirectory(const std::string& path);

// The system's directory for temporary files: TMPDIR, else /tmp; on Windows TMP or TEMP
// (GetTempPath2W where Windows has it, else GetTempPathW).
std::string SystemTempDirectory();

// The interruptions a user can send: SIGINT, SIGTERM and SIGHUP on POSIX; Ctrl-C, Ctrl-Break and
// a closed console on Windows. `note` is called with the interruption's number when one comes:
// in a signal handler on POSIX, on a thread of its own on Windows, so it may only note it.
// SIGXFSZ is ignored from then on, so that a write beyond `ulimit -f` fails (EFBIG) as a full
// disk does, and the run rolls back, instead of killing the process half way; and SIGPIPE, so
// that a closed pipe on standard output or error fails that write alone (EPIPE).
void CatchInterruptions(void (*note)(int interruption));
// While held, an interruption is noted but does not end the process. Windows alone can end it
// meanwhile: about 5 seconds after its console was closed, held or not.
void HoldInterruptions();
void ReleaseInterruptions();
// Ends the process as an interruption ends it by default: killed by the signal on POSIX, as
// shells expect; exit status 0xC000013A (STATUS_CONTROL_C_EXIT) on Windows.
[[noreturn]] void EndByInterruption(int interruption);

// The tightest limit set on the process's memory, and how much of what it counts is in use.
// POSIX: RLIMIT_AS (`ulimit -v`, the address space) and RLIMIT_DATA (`ulimit -d`), with their
// use from /proc/self/statm where there is one (else 0). Windows: none (`bytes` -1).
struct MemoryLimit {
    long long bytes = -1;  // -1: no limit
    long long used = 0;
    std::string name;  // the limit's name, for messages
};
MemoryLimit TightestMemoryLimit();

// The program's arguments in UTF-8, its own name first. POSIX: argv as it is. Windows: the
// command line as Windows holds it, in UTF-16 (GetCommandLineW), since the narrow argv has it in
// the ANSI code page, where most names are lost; standard output and error are also made to write
// "\n" as it is, as on POSIX.
std::vector<std::string> ProgramArguments(int argc, char** argv);

// Before any thread starts: memory that is freed is kept for the next allocation, in one arena
// for every thread. The fill's threads each free the library's work files (about 125 MB a strip
// at Float32 8000²) that the next strip, on another thread, allocates again; the write-back
// frees and takes its buffers over and over. Fresh memory is faulted in page by page, and on a
// virtual machine often by the host too: kept, a run at Float32 8000² faults 110,000 pages fewer
// and spends about 0.5 s less in the kernel; its peak grows by what lies kept between two
// allocations (docs/parallel.md). Windows: nothing.
void KeepFreedMemory();

// Where PROJ's database lies when the program brings its own: on Windows `share/proj` beside the
// exe, as the zip has it; empty on POSIX, where the system's PROJ knows its own.
std::string BundledProjData();

}  // namespace platform
