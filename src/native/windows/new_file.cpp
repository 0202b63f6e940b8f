#include "native/new_file.h"
#include "native/windows/new_file.h"
#include "native/windows/path.h"

#define WIN32_LEAN_AND_MEAN
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <vector>

namespace {

// SetFileInformationByHandle, of Vista and later, looked up at run time;
// its classes, flags and layouts are Windows' own.
using set_information_function = BOOL(WINAPI*)(HANDLE, int, void*, DWORD);
constexpr int file_basic_info = 0;
constexpr int file_rename_info = 3;
constexpr int file_disposition_info = 4;
constexpr int file_rename_info_ex = 22;
constexpr DWORD replace_if_exists = 0x1;
constexpr DWORD posix_semantics = 0x2;
constexpr DWORD ignore_read_only = 0x40;
// In milliseconds: how long a rename that others hold up is tried, and the
// longest pause between tries.
constexpr DWORD replace_wait = 3000;
constexpr DWORD longest_pause = 250;
struct basic_info {
    LARGE_INTEGER times[4]; // 0: unchanged
    DWORD attributes; // 0: unchanged
};
struct rename_info {
    DWORD flags;
    HANDLE root;
    DWORD name_bytes;
    WCHAR name[1];
};
// Tried in turn: Windows 10 1809's rename, which replaces a read-only file
// too; 1607's, which replaces a file that others hold open; Vista's.
struct rename_way {
    int info_class;
    DWORD flags;
};
constexpr rename_way rename_ways[] = {
    {file_rename_info_ex, replace_if_exists | posix_semantics | ignore_read_only},
    {file_rename_info_ex, replace_if_exists | posix_semantics},
    {file_rename_info, replace_if_exists},
};

set_information_function set_information()
{
    return reinterpret_cast<set_information_function>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "SetFileInformationByHandle")));
}

std::wstring new_file_path(const output& out)
{
    return extended_length_path(out.folder + out.new_name);
}

bool set_attributes(const output& out, DWORD attributes)
{
    const set_information_function set = set_information();
    basic_info basic = {};
    basic.attributes = attributes;
    return set != nullptr ? set(out.new_file, file_basic_info, &basic, sizeof basic) != FALSE
                          : SetFileAttributesW(new_file_path(out).c_str(), attributes) != FALSE;
}

// Through the handle, so that the file written moves, wherever another
// program moved it; by name on XP.
bool rename_held(const output& out, const std::wstring& target, bool replace)
{
    const set_information_function set = set_information();
    if (set == nullptr) {
        return MoveFileExW(new_file_path(out).c_str(), target.c_str(),
                   replace ? MOVEFILE_REPLACE_EXISTING : 0)
            != FALSE;
    }
    const std::size_t name_bytes = target.size() * sizeof(wchar_t);
    std::vector<unsigned char> buffer(offsetof(rename_info, name) + name_bytes + sizeof(wchar_t));
    auto* info = reinterpret_cast<rename_info*>(buffer.data());
    info->name_bytes = static_cast<DWORD>(name_bytes);
    std::memcpy(info->name, target.c_str(), name_bytes + sizeof(wchar_t));
    for (const rename_way& way : rename_ways) {
        info->flags = replace ? way.flags : way.flags & posix_semantics;
        if (set(out.new_file, way.info_class, info, static_cast<DWORD>(buffer.size()))) {
            return true;
        }
    }
    return false;
}

} // namespace

// Mixed, so that the names of neighbouring processes lie far apart.
std::uint32_t first_new_file_number()
{
    return GetCurrentProcessId() * 2654435761U;
}

// The name need not be unpredictable: CREATE_NEW refuses any that exists.
bool pick_number(std::uint32_t& number, int attempt)
{
    number = attempt == 0 ? first_new_file_number() : number * 1664525U + 1013904223U;
    return true;
}

// Held with DELETE access until it is in place, so that no other program
// may open it without letting it be renamed and removed; shared for
// deleting alone, which XP's rename by name needs. The stream writes
// through a handle of its own.
tried create_exclusively(output& out, const std::wstring& name)
{
    out.new_file
        = CreateFileW(extended_length_path(out.folder + name).c_str(), GENERIC_WRITE | DELETE,
            FILE_SHARE_DELETE, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (out.new_file == INVALID_HANDLE_VALUE) {
        out.new_file = no_handle;
        return GetLastError() == ERROR_FILE_EXISTS ? tried::taken : tried::failed;
    }
    const HANDLE process = GetCurrentProcess();
    HANDLE copy = nullptr;
    if (DuplicateHandle(process, out.new_file, process, &copy, 0, FALSE, DUPLICATE_SAME_ACCESS)) {
        out.stream = stream_on(copy, "wb");
    }
    return tried::done;
}

// Elsewhere than 1607's rename (older Windows, FAT) a rename is refused
// while anything holds the old output open, a reader or a virus scanner:
// it is tried again for a while, as Git for Windows does, and interrupts
// are let go meanwhile, so that Ctrl+C ends the run at once.
tried rename_new_file(const output& out, const std::wstring& to, bool replace)
{
    const std::wstring target = whole_path(out.folder + to);
    const DWORD start = GetTickCount();
    for (DWORD pause = 1;; pause = std::min(pause * 2, longest_pause)) {
        if (rename_held(out, target, replace)) {
            return tried::done;
        }
        const DWORD error = GetLastError();
        if (error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS) {
            return tried::taken;
        }
        if ((error != ERROR_ACCESS_DENIED && error != ERROR_SHARING_VIOLATION)
            || GetTickCount() - start >= replace_wait) {
            return tried::failed;
        }
        release_interrupts();
        Sleep(pause);
        hold_interrupts();
    }
}

// Not deleted while it is read-only. Through the handle it is the file
// written that goes; by name on XP.
void remove_new_file(const output& out)
{
    set_attributes(out, FILE_ATTRIBUTE_NORMAL);
    const set_information_function set = set_information();
    BOOLEAN gone = TRUE;
    if (set != nullptr) {
        set(out.new_file, file_disposition_info, &gone, sizeof gone);
    } else {
        DeleteFileW(new_file_path(out).c_str());
    }
}

void close_output(output& out)
{
    if (out.new_file != no_handle) {
        CloseHandle(out.new_file);
        out.new_file = no_handle;
    }
}

std::FILE* stream_on(HANDLE handle, const char* mode)
{
    const int flags = (mode[0] == 'r' ? _O_RDONLY : _O_WRONLY) | _O_BINARY;
    const int descriptor = _open_osfhandle(reinterpret_cast<std::intptr_t>(handle), flags);
    if (descriptor == -1) {
        CloseHandle(handle);
        return nullptr;
    }
    std::FILE* stream = _fdopen(descriptor, mode);
    if (stream == nullptr) {
        _close(descriptor);
    }
    return stream;
}

// The attribute binds later opens, not the run's own.
bool make_read_only(const output& out)
{
    return set_attributes(out, FILE_ATTRIBUTE_READONLY);
}
