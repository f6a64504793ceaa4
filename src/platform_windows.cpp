// platform.h on 64-bit Windows (built with mingw-w64 or MSVC).
#include "platform.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <aclapi.h>
#include <sddl.h>
#include <shellapi.h>

#include <algorithm>
#include <cstdio>
#include <memory>

namespace platform {

namespace {

std::wstring Wide(const std::string& utf8) {
    if (utf8.empty()) return std::wstring();
    const int size =
        MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring wide(static_cast<size_t>(size), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), wide.data(), size);
    return wide;
}

std::string Utf8(const wchar_t* wide, size_t length) {
    if (length == 0) return std::string();
    const int size = WideCharToMultiByte(CP_UTF8, 0, wide, static_cast<int>(length), nullptr, 0,
                                         nullptr, nullptr);
    std::string utf8(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide, static_cast<int>(length), utf8.data(), size, nullptr,
                        nullptr);
    return utf8;
}

std::string Utf8(const std::wstring& wide) { return Utf8(wide.data(), wide.size()); }

HANDLE Handle(FileHandle file) { return reinterpret_cast<HANDLE>(file); }

OVERLAPPED At(std::uint64_t offset) {
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    return at;
}

// ReadFile and WriteFile move at most 4 GB at a time.
constexpr size_t kMostPerCall = 1u << 30;

// The SIDs files made by this process belong to: the user, or the token's default owner (the
// Administrators group, for an elevated administrator).
bool IsOwnSid(PSID owner) {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
    bool own = false;
    for (const TOKEN_INFORMATION_CLASS kind : {TokenUser, TokenOwner}) {
        DWORD size = 0;
        GetTokenInformation(token, kind, nullptr, 0, &size);
        std::unique_ptr<char[]> buffer(new char[size]);
        if (!GetTokenInformation(token, kind, buffer.get(), size, &size)) continue;
        const PSID sid = kind == TokenUser ? reinterpret_cast<TOKEN_USER*>(buffer.get())->User.Sid
                                           : reinterpret_cast<TOKEN_OWNER*>(buffer.get())->Owner;
        own = own || EqualSid(owner, sid);
    }
    CloseHandle(token);
    return own;
}

bool OwnedBySelf(const std::wstring& path) {
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner,
                              nullptr, nullptr, nullptr, &descriptor) != ERROR_SUCCESS)
        return false;
    const bool own = IsOwnSid(owner);
    LocalFree(descriptor);
    return own;
}

}  // namespace

FileHandle OpenFile(const std::string& path, Open how) {
    const DWORD access = how == Open::kRead ? GENERIC_READ : GENERIC_READ | GENERIC_WRITE;
    const DWORD disposition = how == Open::kCreateNew ? CREATE_NEW : OPEN_EXISTING;
    const DWORD sharing = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    // A new file is the user's alone (as 0600 on POSIX), whatever its directory's ACL grants:
    // full access for its owner, SYSTEM and the Administrators, none for anyone else.
    SECURITY_ATTRIBUTES private_file{sizeof private_file, nullptr, FALSE};
    if (how == Open::kCreateNew && !ConvertStringSecurityDescriptorToSecurityDescriptorW(
                                       L"D:P(A;;FA;;;OW)(A;;FA;;;SY)(A;;FA;;;BA)", SDDL_REVISION_1,
                                       &private_file.lpSecurityDescriptor, nullptr))
        return kNoFile;
    const HANDLE file = CreateFileW(Wide(path).c_str(), access, sharing,
                                    private_file.lpSecurityDescriptor ? &private_file : nullptr,
                                    disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
    LocalFree(private_file.lpSecurityDescriptor);
    return reinterpret_cast<FileHandle>(file);
}

void CloseFile(FileHandle file) {
    if (file != kNoFile) CloseHandle(Handle(file));
}

long long ReadAt(FileHandle file, void* data, std::size_t size, std::uint64_t offset) {
    auto* bytes = static_cast<char*>(data);
    size_t done = 0;
    while (done < size) {
        OVERLAPPED at = At(offset + done);
        DWORD got = 0;
        const auto chunk = static_cast<DWORD>(std::min(size - done, kMostPerCall));
        if (!ReadFile(Handle(file), bytes + done, chunk, &got, &at)) {
            if (GetLastError() == ERROR_HANDLE_EOF) break;
            return -1;
        }
        if (got == 0) break;
        done += got;
    }
    return static_cast<long long>(done);
}

long long WriteAt(FileHandle file, const void* data, std::size_t size, std::uint64_t offset) {
    const auto* bytes = static_cast<const char*>(data);
    size_t done = 0;
    while (done < size) {
        OVERLAPPED at = At(offset + done);
        DWORD put = 0;
        const auto chunk = static_cast<DWORD>(std::min(size - done, kMostPerCall));
        if (!WriteFile(Handle(file), bytes + done, chunk, &put, &at)) return -1;
        if (put == 0) break;
        done += put;
    }
    return static_cast<long long>(done);
}

bool SyncFile(FileHandle file) { return FlushFileBuffers(Handle(file)) != 0; }

bool SyncData(FileHandle file) { return FlushFileBuffers(Handle(file)) != 0; }

void StartWriteBack(FileHandle, std::uint64_t, std::uint64_t) {}

bool SyncDataAt(const std::string& path) {
    const FileHandle file = OpenFile(path, Open::kReadWrite);
    if (file == kNoFile) return GetLastError() == ERROR_ACCESS_DENIED;
    const bool synced = SyncData(file);
    CloseFile(file);
    return synced;
}

bool SyncDirectory(const std::string&) { return true; }

bool Truncate(FileHandle file, std::uint64_t length) {
    FILE_END_OF_FILE_INFO end{};
    end.EndOfFile.QuadPart = static_cast<LONGLONG>(length);
    return SetFileInformationByHandle(Handle(file), FileEndOfFileInfo, &end, sizeof end) != 0;
}

Removed RemoveFile(const std::string& path) {
    if (DeleteFileW(Wide(path).c_str())) return Removed::kYes;
    const DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? Removed::kAbsent
                                                                          : Removed::kFailed;
}

FileIdentity IdentityOf(FileHandle file) {
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(Handle(file), &info)) return {};
    return {static_cast<std::uint64_t>(info.nFileIndexHigh) << 32 | info.nFileIndexLow, 0, 0};
}

bool OpenDirectory(const std::string& path, Directory& directory) {
    directory.path = path;
    const DWORD attributes = GetFileAttributesW(Wide(path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

void CloseDirectory(Directory&) {}

bool SyncDirectory(const Directory&) { return true; }

namespace {

std::string PathIn(const Directory& directory, const std::string& name) {
    return directory.path + "\\" + name;
}

Failure FailureOf(DWORD error, const std::wstring& path) {
    switch (error) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
            return Failure::kMissing;
        case ERROR_ACCESS_DENIED: {  // what a directory gives, too
            const DWORD attributes = GetFileAttributesW(path.c_str());
            return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)
                       ? Failure::kNotAFile
                       : Failure::kDenied;
        }
        case ERROR_WRITE_PROTECT:
        case ERROR_SHARING_VIOLATION:
            return Failure::kDenied;
        default:
            return Failure::kOther;
    }
}

bool Regular(DWORD attributes) {
    return !(attributes &
             (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE));
}

}  // namespace

Failure LastFailure() { return FailureOf(GetLastError(), L""); }

FileHandle OpenIn(const Directory& directory, const std::string& name, Open how, Failure& failure) {
    const std::wstring path = Wide(PathIn(directory, name));
    const DWORD access = how == Open::kRead ? GENERIC_READ : GENERIC_READ | GENERIC_WRITE;
    const DWORD disposition = how == Open::kCreateNew ? CREATE_NEW : OPEN_EXISTING;
    // A symbolic link or junction is opened as itself, and then refused.
    const HANDLE file =
        CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, disposition, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        failure = FailureOf(GetLastError(), path);
        return kNoFile;
    }
    BY_HANDLE_FILE_INFORMATION info{};
    if (GetFileType(file) != FILE_TYPE_DISK || !GetFileInformationByHandle(file, &info) ||
        !Regular(info.dwFileAttributes)) {
        CloseHandle(file);
        failure = Failure::kNotAFile;
        return kNoFile;
    }
    failure = Failure::kNone;
    return reinterpret_cast<FileHandle>(file);
}

Removed RemoveIn(const Directory& directory, const std::string& name) {
    return RemoveFile(PathIn(directory, name));
}

namespace {

std::string SidText(PSID sid) {
    wchar_t* text = nullptr;
    if (!sid || !ConvertSidToStringSidW(sid, &text)) return std::string();
    const std::string owner = Utf8(text, wcslen(text));
    LocalFree(text);
    return owner;
}

// Whether the ACL lets anyone but the owner, SYSTEM and the Administrators write the file.
bool OthersMayWrite(PACL acl, PSID owner) {
    if (!acl) return true;  // no ACL at all: everyone may do everything
    const DWORD writes = FILE_WRITE_DATA | FILE_APPEND_DATA | GENERIC_WRITE | GENERIC_ALL |
                         WRITE_DAC | WRITE_OWNER | DELETE;
    for (DWORD i = 0; i < acl->AceCount; ++i) {
        void* entry = nullptr;
        if (!GetAce(acl, i, &entry)) return true;
        const auto* header = static_cast<ACE_HEADER*>(entry);
        if (header->AceType != ACCESS_ALLOWED_ACE_TYPE || (header->AceFlags & INHERIT_ONLY_ACE))
            continue;
        const auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(entry);
        const PSID sid = const_cast<DWORD*>(&allowed->SidStart);
        if (!(allowed->Mask & writes) || EqualSid(sid, owner) ||
            IsWellKnownSid(sid, WinLocalSystemSid) ||
            IsWellKnownSid(sid, WinBuiltinAdministratorsSid) ||
            IsWellKnownSid(sid, WinCreatorOwnerRightsSid))
            continue;
        return true;
    }
    return false;
}

void FillSecurity(PSID owner, PACL acl, FileInfo& info) {
    info.owner = SidText(owner);
    info.others_may_write = OthersMayWrite(acl, owner);
}

}  // namespace

bool InfoOf(FileHandle file, FileInfo& info) {
    BY_HANDLE_FILE_INFORMATION data{};
    PSID owner = nullptr;
    PACL acl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!GetFileInformationByHandle(Handle(file), &data) ||
        GetSecurityInfo(Handle(file), SE_FILE_OBJECT,
                        OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner, nullptr,
                        &acl, nullptr, &descriptor) != ERROR_SUCCESS)
        return false;
    info.regular = GetFileType(Handle(file)) == FILE_TYPE_DISK && Regular(data.dwFileAttributes);
    info.size = static_cast<std::uint64_t>(data.nFileSizeHigh) << 32 | data.nFileSizeLow;
    info.links = data.nNumberOfLinks;
    info.mode = 0;
    FillSecurity(owner, acl, info);
    LocalFree(descriptor);
    return true;
}

bool InfoIn(const Directory& directory, const std::string& name, FileInfo& info) {
    return InfoAt(PathIn(directory, name), info);
}

bool InfoAt(const std::string& utf8_path, FileInfo& info) {
    const std::wstring path = Wide(utf8_path);
    // Opened as itself, whatever it is, to read its attributes and its security only.
    const HANDLE file =
        CreateFileW(path.c_str(), READ_CONTROL | FILE_READ_ATTRIBUTES,
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                    FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    const bool read = InfoOf(reinterpret_cast<FileHandle>(file), info);
    CloseHandle(file);
    return read;
}

bool IsOwnOwner(const std::string& owner) {
    PSID sid = nullptr;
    if (!ConvertStringSidToSidW(Wide(owner).c_str(), &sid)) return false;
    const bool own = IsOwnSid(sid);
    LocalFree(sid);
    return own;
}

bool SetMode(FileHandle, std::uint32_t) { return true; }

// Windows locks are mandatory: a lock on the file's bytes would stop GDAL's own handle on the
// file too. The lock covers one byte that no file reaches, as sqlite's locks do.
bool TryLockExclusive(FileHandle file) {
    OVERLAPPED at = At(1ull << 62);
    return LockFileEx(Handle(file), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0,
                      &at) != 0;
}

std::string LastError() {
    const DWORD error = GetLastError();
    wchar_t* text = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, error, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::string message = length ? Utf8(text, length) : "error " + std::to_string(error);
    LocalFree(text);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' ||
                                message.back() == '.' || message.back() == ' '))
        message.pop_back();
    return message;
}

// "C:\x" is in the drive's root, "C:\"; "C:" alone would be the drive's current directory.
bool IsRootBefore(const std::string& path, std::size_t slash) {
    return slash == 0 || path[slash - 1] == ':';
}

bool IsOwnDirectory(const std::string& path) {
    const std::wstring wide = Wide(path);
    const DWORD attributes = GetFileAttributesW(wide.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) &&
           !(attributes & FILE_ATTRIBUTE_REPARSE_POINT) && OwnedBySelf(wide);
}

std::string SystemTempDirectory() {
    using GetTempPath2 = DWORD(WINAPI*)(DWORD, LPWSTR);
    const auto get_temp_path_2 = reinterpret_cast<GetTempPath2>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "GetTempPath2W")));
    wchar_t path[MAX_PATH + 1] = {};
    const DWORD length =
        get_temp_path_2 ? get_temp_path_2(MAX_PATH + 1, path) : GetTempPathW(MAX_PATH + 1, path);
    std::string directory = Utf8(path, length);
    if (directory.size() > 3 && (directory.back() == '\\' || directory.back() == '/'))
        directory.pop_back();
    return directory;
}

namespace {

void (*note_interruption)(int) = nullptr;

// Runs on a thread of its own. For Ctrl-C and Ctrl-Break it notes the event and tells Windows it
// is handled; the run stops where the file is whole. For a closed console, a logoff or a
// shutdown, Windows ends the process as soon as this returns, so it does not return: the run
// ends the process itself, unless Windows's own time limit (about 5 seconds) comes first.
BOOL WINAPI OnConsoleEvent(DWORD event) {
    if (!note_interruption) return FALSE;
    note_interruption(static_cast<int>(event) + 1);  // CTRL_C_EVENT is 0, and 0 means none
    if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT)
        Sleep(INFINITE);
    return TRUE;
}

}  // namespace

void CatchInterruptions(void (*note)(int)) {
    note_interruption = note;
    SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

// The handler only notes events, and the process ends only where the run ends it: interruptions
// are held all the time, as far as Windows lets them be.
void HoldInterruptions() {}
void ReleaseInterruptions() {}

void EndByInterruption(int) { ExitProcess(STATUS_CONTROL_C_EXIT); }

std::vector<std::string> ProgramArguments(int, char**) {
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
    int count = 0;
    wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
    std::vector<std::string> arguments;
    for (int i = 0; wide && i < count; ++i) arguments.push_back(Utf8(wide[i], wcslen(wide[i])));
    LocalFree(wide);
    return arguments;
}

// A job object's memory limit is not looked at: the fill meets it as any allocation failure.
MemoryLimit TightestMemoryLimit() { return {}; }

void KeepFreedMemory() {}

std::string BundledProjData() {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length =
            GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (length < path.size()) {
            path.resize(length);
            break;
        }
        path.resize(path.size() * 2);
    }
    return Utf8(path.substr(0, path.find_last_of(L"\\/"))) + "/share/proj";
}

}  // namespace platform
