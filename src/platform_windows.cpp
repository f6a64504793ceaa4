// platform.h on 64-bit Windows (built with mingw-w64 or MSVC).
#include "platform.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <aclapi.h>

#include <algorithm>
#include <atomic>
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

}  // namespace

FileHandle OpenFile(const std::string& path, Open how) {
    const DWORD access = how == Open::kRead ? GENERIC_READ : GENERIC_READ | GENERIC_WRITE;
    const DWORD disposition = how == Open::kCreateNew      ? CREATE_NEW
                              : how == Open::kCreateOrOpen ? OPEN_ALWAYS
                                                           : OPEN_EXISTING;
    const DWORD sharing = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    const HANDLE file = CreateFileW(Wide(path).c_str(), access, sharing, nullptr, disposition,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
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

bool IdentityOf(FileHandle file, FileId& id) {
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(Handle(file), &info)) return false;
    id = {info.dwVolumeSerialNumber,
          static_cast<std::uint64_t>(info.nFileIndexHigh) << 32 | info.nFileIndexLow};
    return true;
}

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

namespace {

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

std::vector<std::string> ProgramArguments(int argc, wchar_t** argv) {
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
    std::vector<std::string> arguments;
    for (int i = 0; i < argc; ++i) arguments.push_back(Utf8(argv[i], wcslen(argv[i])));
    return arguments;
}

std::string ProgramDirectory() {
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
    return Utf8(path.substr(0, path.find_last_of(L"\\/")));
}

}  // namespace platform
