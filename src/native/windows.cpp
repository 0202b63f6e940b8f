#include "native/windows.h"

#include <fcntl.h>
#include <io.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace {

constexpr wchar_t extended_prefix[] = L"\\\\?\\";
constexpr wchar_t extended_unc_prefix[] = L"\\\\?\\UNC\\";
constexpr wchar_t device_prefix[] = L"\\\\.\\";
constexpr wchar_t unc_prefix[] = L"\\\\";
// Any character the key's grammar lacks would do: it ends the number.
constexpr char not_a_key_character = '?';
// A new file is named ".NAME." and eight hex digits, beside the output.
constexpr int number_digits = 8;
// The longest name, in UTF-16 units, on NTFS, FAT, exFAT and ReFS.
constexpr std::size_t name_max = 255;
constexpr std::size_t name_overhead = 2 + number_digits;
constexpr int name_tries = 100;
// Windows 10 1607's rename that replaces a file which others hold open, as
// POSIX's does. Older systems lack it, so it is looked up at run time; the
// values are Windows' own.
constexpr int file_rename_info_ex = 22;
constexpr DWORD rename_replace_if_exists = 0x1;
constexpr DWORD rename_posix_semantics = 0x2;
struct rename_info {
    DWORD flags;
    HANDLE root;
    DWORD name_bytes;
    WCHAR name[1];
};
using set_file_information_function = BOOL(WINAPI*)(HANDLE, int, void*, DWORD);
// Elsewhere a rename waits this long, in milliseconds, for others to close
// the old output, as Git for Windows does.
constexpr DWORD replace_wait = 3000;
constexpr DWORD longest_pause = 250;

// The new file, in the form it was opened in, until it is put in place or
// removed. The console handler runs on a thread of its own, so the name
// changes, and is used, only under this lock.
CRITICAL_SECTION new_file_lock;
std::wstring new_file;

// Holds the lock to the end, so that the file is not put in place after
// all, and ends the process as Windows ends one at Ctrl+C.
BOOL WINAPI remove_and_end(DWORD event)
{
    if (!ends_on_console_event(event)) {
        return FALSE;
    }
    EnterCriticalSection(&new_file_lock);
    if (!new_file.empty()) {
        DeleteFileW(new_file.c_str());
    }
    ExitProcess(STATUS_CONTROL_C_EXIT);
}

bool starts_with(const std::wstring& text, const wchar_t* prefix)
{
    return text.compare(0, std::wcslen(prefix), prefix) == 0;
}

// Hands an open handle to the C library as a stream, or closes it.
std::FILE* stream_from_handle(HANDLE file, int flags, const char* mode)
{
    const int descriptor
        = _open_osfhandle(reinterpret_cast<std::intptr_t>(file), flags | _O_BINARY);
    if (descriptor == -1) {
        CloseHandle(file);
        return nullptr;
    }
    std::FILE* stream = _fdopen(descriptor, mode);
    if (stream == nullptr) {
        _close(descriptor);
    }
    return stream;
}

bool same_file(HANDLE first, HANDLE second)
{
    BY_HANDLE_FILE_INFORMATION a;
    BY_HANDLE_FILE_INFORMATION b;
    return GetFileInformationByHandle(first, &a) && GetFileInformationByHandle(second, &b)
        && a.dwVolumeSerialNumber == b.dwVolumeSerialNumber && a.nFileIndexHigh == b.nFileIndexHigh
        && a.nFileIndexLow == b.nFileIndexLow;
}

std::FILE* open_in_place(HANDLE device, std::FILE* input)
{
    const auto input_file = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(input)));
    if (same_file(input_file, device)) {
        CloseHandle(device);
        return nullptr;
    }
    return stream_from_handle(device, _O_WRONLY, "wb");
}

// A symbolic link or junction: the name that leads elsewhere, not a file
// that is stored elsewhere (cloud files, deduplication).
bool is_link(const std::wstring& opened, DWORD attributes)
{
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
        return false;
    }
    WIN32_FIND_DATAW found;
    const HANDLE search = FindFirstFileW(opened.c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) {
        return false;
    }
    FindClose(search);
    return found.dwReserved0 == IO_REPARSE_TAG_SYMLINK
        || found.dwReserved0 == IO_REPARSE_TAG_MOUNT_POINT;
}

// A stream can only be written where it is, as fopen writes it: a rename
// cannot put it in place.
std::FILE* open_stream(const std::wstring& opened)
{
    const HANDLE stream = CreateFileW(opened.c_str(), GENERIC_WRITE,
        FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (stream == INVALID_HANDLE_VALUE) {
        return nullptr;
    }
    return stream_from_handle(stream, _O_WRONLY, "wb");
}

// Renames with POSIX's rules, where the system and the file system have
// them: whoever holds the old output open, but for deleting, keeps reading
// the old content, and the name is the new file's at once.
bool rename_over_open_files(const std::wstring& source, const std::wstring& target)
{
    const auto set_information
        = reinterpret_cast<set_file_information_function>(reinterpret_cast<void*>(
            GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "SetFileInformationByHandle")));
    if (set_information == nullptr) {
        return false;
    }
    const HANDLE file = CreateFileW(source.c_str(), DELETE,
        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
        FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    const std::size_t name_bytes = target.size() * sizeof(wchar_t);
    std::vector<unsigned char> buffer(offsetof(rename_info, name) + name_bytes + sizeof(wchar_t));
    auto* info = reinterpret_cast<rename_info*>(buffer.data());
    info->flags = rename_replace_if_exists | rename_posix_semantics;
    info->root = nullptr;
    info->name_bytes = static_cast<DWORD>(name_bytes);
    std::memcpy(info->name, target.c_str(), name_bytes + sizeof(wchar_t));
    const bool done
        = set_information(file, file_rename_info_ex, info, static_cast<DWORD>(buffer.size()));
    CloseHandle(file);
    return done;
}

// Elsewhere (older Windows, FAT) a rename is refused while anything holds
// the old output open, a reader or a virus scanner: it is tried again for a
// while.
bool put_in_place(const std::wstring& source, const std::wstring& target)
{
    if (rename_over_open_files(source, target)) {
        return true;
    }
    const DWORD start = GetTickCount();
    for (DWORD pause = 1;; pause = std::min(pause * 2, longest_pause)) {
        if (MoveFileExW(source.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING)) {
            return true;
        }
        const DWORD error = GetLastError();
        if ((error != ERROR_ACCESS_DENIED && error != ERROR_SHARING_VIOLATION)
            || GetTickCount() - start >= replace_wait) {
            return false;
        }
        Sleep(pause);
    }
}

// Where the last name in the path starts: after its folder, or after the
// drive of C:NAME.
std::size_t name_start(const std::wstring& path)
{
    const std::size_t slash = path.find_last_of(L"\\/");
    if (slash != std::wstring::npos) {
        return slash + 1;
    }
    return path.size() > 1 && path[1] == L':' ? 2 : 0;
}

// "DIR\.NAME." for the output DIR\NAME, NAME cut short of a split
// surrogate pair where the whole name would pass the limit.
std::wstring new_file_prefix(const std::wstring& path)
{
    const std::size_t start = name_start(path);
    std::wstring name = path.substr(start, name_max - name_overhead);
    if (name.size() < path.size() - start && IS_HIGH_SURROGATE(name.back())) {
        name.pop_back();
    }
    return path.substr(0, start) + L'.' + name + L'.';
}

// Creates the new file and records its name. Shared only for deleting, so
// that the console handler may remove it while it is open, and no other
// program reads or writes it. The name need not be unpredictable:
// CREATE_NEW refuses any that exists.
HANDLE create_new_file(const std::wstring& path)
{
    const std::wstring prefix = new_file_prefix(path);
    std::uint32_t number = GetCurrentProcessId() * 2654435761U ^ GetTickCount();
    EnterCriticalSection(&new_file_lock);
    HANDLE file = INVALID_HANDLE_VALUE;
    for (int tries = 0; tries < name_tries; ++tries) {
        std::wstring name = prefix;
        for (int shift = 4 * (number_digits - 1); shift >= 0; shift -= 4) {
            name += L"0123456789abcdef"[(number >> shift) & 0xf];
        }
        new_file = extended_length_path(name);
        file = CreateFileW(new_file.c_str(), GENERIC_WRITE, FILE_SHARE_DELETE, nullptr, CREATE_NEW,
            FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file != INVALID_HANDLE_VALUE || GetLastError() != ERROR_FILE_EXISTS) {
            break;
        }
        number = number * 1664525U + 1013904223U;
    }
    if (file == INVALID_HANDLE_VALUE) {
        new_file.clear();
    }
    LeaveCriticalSection(&new_file_lock);
    return file;
}

} // namespace

std::wstring extended_length_path(const std::wstring& path)
{
    if (starts_with(path, extended_prefix) || starts_with(path, device_prefix)) {
        return path;
    }
    const DWORD size = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    std::wstring full(size, L'\0');
    const DWORD length = GetFullPathNameW(path.c_str(), size, full.data(), nullptr);
    if (length == 0 || length >= size || length < MAX_PATH) {
        return path;
    }
    full.resize(length);
    // //?/C:/... comes back as \\?\C:\..., which is no network share.
    if (starts_with(full, extended_prefix) || starts_with(full, device_prefix)) {
        return full;
    }
    if (starts_with(full, unc_prefix)) {
        return extended_unc_prefix + full.substr(std::wcslen(unc_prefix));
    }
    return extended_prefix + full;
}

bool is_stream_path(const std::wstring& path)
{
    return path.find(L':', name_start(path)) != std::wstring::npos;
}

// Windows sends a log-off to services, for any user's: a program that a
// service runs goes on.
bool ends_on_console_event(DWORD event)
{
    return event != CTRL_LOGOFF_EVENT;
}

// A path on an empty drive fails at once instead of stopping a script on
// a dialog.
void handle_signals()
{
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
    InitializeCriticalSection(&new_file_lock);
    SetConsoleCtrlHandler(remove_and_end, TRUE);
}

// Shared as fopen shares a file, and for deleting too, so that a run that
// replaces this name is not refused. A directory does not open without
// FILE_FLAG_BACKUP_SEMANTICS.
std::FILE* open_input(const std::wstring& path)
{
    const HANDLE file = CreateFileW(extended_length_path(path).c_str(), GENERIC_READ,
        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
        FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return nullptr;
    }
    return stream_from_handle(file, _O_RDONLY, "rb");
}

// The name itself decides: a link there is replaced, not followed. Opening
// anything else for writing tells a device (NUL, CON, a pipe) from a file,
// and refuses a folder and a file the user may not write; a device is
// written where it is, unless it is the input. A read-only, hidden or
// system file is refused as fopen refuses it, even where the open would be
// let through (Wine, as root).
std::FILE* open_output(const std::wstring& path, std::FILE* input)
{
    const std::wstring opened = extended_length_path(path);
    if (is_stream_path(path)) {
        return open_stream(opened);
    }
    // A name past the limit could never be put in place, and some file
    // systems call it missing.
    if (path.size() - name_start(path) > name_max) {
        return nullptr;
    }
    const DWORD attributes = GetFileAttributesW(opened.c_str());
    const DWORD refused = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN
        | FILE_ATTRIBUTE_SYSTEM;
    const bool exists = attributes != INVALID_FILE_ATTRIBUTES;
    if (!exists || !is_link(opened, attributes)) {
        if (exists && (attributes & refused) != 0) {
            return nullptr;
        }
        const HANDLE existing = CreateFileW(opened.c_str(), GENERIC_WRITE,
            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
            FILE_ATTRIBUTE_NORMAL, nullptr);
        if (existing == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_NOT_FOUND) {
            return nullptr;
        }
        if (existing != INVALID_HANDLE_VALUE && GetFileType(existing) != FILE_TYPE_DISK) {
            return open_in_place(existing, input);
        }
        if (existing != INVALID_HANDLE_VALUE) {
            CloseHandle(existing);
        }
    }
    const HANDLE file = create_new_file(path);
    if (file == INVALID_HANDLE_VALUE) {
        return nullptr;
    }
    std::FILE* stream = stream_from_handle(file, _O_WRONLY, "wb");
    if (stream == nullptr) {
        discard_output();
    }
    return stream;
}

// Once the output is in place the run has succeeded, so the lock stays held:
// the console handler waits for the process's end instead of ending it.
bool commit_output(const std::wstring& path)
{
    EnterCriticalSection(&new_file_lock);
    const bool done = new_file.empty() || put_in_place(new_file, extended_length_path(path));
    if (done) {
        new_file.clear();
    } else {
        LeaveCriticalSection(&new_file_lock);
    }
    return done;
}

void discard_output()
{
    EnterCriticalSection(&new_file_lock);
    if (!new_file.empty()) {
        DeleteFileW(new_file.c_str());
        new_file.clear();
    }
    LeaveCriticalSection(&new_file_lock);
}

std::string narrow_key(const wchar_t* text)
{
    std::string key;
    for (; *text != L'\0'; ++text) {
        key += *text < 0x80 ? static_cast<char>(*text) : not_a_key_character;
    }
    return key;
}
