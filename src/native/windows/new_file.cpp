#include "native/new_file.h"
#include "native/windows/new_file.h"
#include "native/windows/path.h"
#include "native/windows/process.h"

#include <fcntl.h>

#include <cstddef>
#include <cstring>
#include <vector>

namespace {

// SetFileInformationByHandle, of Vista and later, is looked up at run
// time; the classes, flags and layouts are Windows' own.
using set_information_function = BOOL(WINAPI*)(HANDLE, int, void*, DWORD);
constexpr int file_basic_info = 0;
constexpr int file_rename_info = 3;
constexpr int file_disposition_info = 4;
constexpr int file_rename_info_ex = 22;
constexpr DWORD rename_replace_if_exists = 0x1;
constexpr DWORD rename_posix_semantics = 0x2;
constexpr DWORD rename_ignore_readonly_attribute = 0x40;
struct basic_info {
    LARGE_INTEGER times[4]; // 0: left as they are
    DWORD attributes; // 0: left as they are
};
struct disposition_info {
    BOOLEAN delete_file;
};
struct rename_info {
    DWORD flags;
    HANDLE root;
    DWORD name_bytes;
    WCHAR name[1];
};

// The ways to rename a file through its handle, newest first: Windows 10
// 1809's, which replaces a read-only file too, and 1607's, which replaces a
// file that others hold open; then Vista's. Each is tried until one works.
struct rename_way {
    int info_class;
    DWORD flags;
};
constexpr rename_way rename_ways[] = {
    {file_rename_info_ex,
        rename_replace_if_exists | rename_posix_semantics | rename_ignore_readonly_attribute},
    {file_rename_info_ex, rename_replace_if_exists | rename_posix_semantics},
    {file_rename_info, rename_replace_if_exists},
};
constexpr DWORD replacing_flags = rename_replace_if_exists | rename_ignore_readonly_attribute;

set_information_function set_information()
{
    return reinterpret_cast<set_information_function>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "SetFileInformationByHandle")));
}

// Renames the new file to NAME in its folder through its handle, so that
// it is the file written that moves, wherever another program moved it;
// by name on XP.
bool rename_held(const output& out, const std::wstring& name, bool replace)
{
    const std::wstring target = whole_path(out.folder + name);
    const set_information_function set = set_information();
    if (set == nullptr) {
        return MoveFileExW(whole_path(out.folder + out.new_name).c_str(), target.c_str(),
                   replace ? MOVEFILE_REPLACE_EXISTING : 0)
            != FALSE;
    }
    const std::size_t name_bytes = target.size() * sizeof(wchar_t);
    std::vector<unsigned char> buffer(offsetof(rename_info, name) + name_bytes + sizeof(wchar_t));
    auto* info = reinterpret_cast<rename_info*>(buffer.data());
    info->root = nullptr;
    info->name_bytes = static_cast<DWORD>(name_bytes);
    std::memcpy(info->name, target.c_str(), name_bytes + sizeof(wchar_t));
    for (const rename_way& way : rename_ways) {
        info->flags = replace ? way.flags : way.flags & ~replacing_flags;
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

// Held open with DELETE access until it is in place, so that no other
// program may open it without letting it be renamed and removed; shared
// for deleting alone, which a rename by name needs on XP.
creation create_exclusively(output& out)
{
    const HANDLE file = CreateFileW(extended_length_path(out.folder + out.new_name).c_str(),
        GENERIC_WRITE | DELETE, FILE_SHARE_DELETE, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
        nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return GetLastError() == ERROR_FILE_EXISTS ? creation::name_taken : creation::failed;
    }
    out.new_file = file;
    return creation::made;
}

// On a handle of its own, which the stream closes.
bool open_new_file_stream(output& out)
{
    const HANDLE process = GetCurrentProcess();
    HANDLE copy = nullptr;
    if (!DuplicateHandle(process, out.new_file, process, &copy, 0, FALSE, DUPLICATE_SAME_ACCESS)) {
        return false;
    }
    out.stream = stream_from_handle(copy, _O_WRONLY, "wb");
    return out.stream != nullptr;
}

// Elsewhere (older Windows, FAT) a rename is refused while anything holds
// the old output open, a reader or a virus scanner.
renaming rename_new_file(const output& out)
{
    if (rename_held(out, out.name, true)) {
        return renaming::done;
    }
    const DWORD error = GetLastError();
    return error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION ? renaming::busy
                                                                            : renaming::failed;
}

creation rename_new_file_to(const output& out, const std::wstring& name)
{
    if (rename_held(out, name, false)) {
        return creation::made;
    }
    const DWORD error = GetLastError();
    return error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS ? creation::name_taken
                                                                       : creation::failed;
}

std::uint32_t clock_ms()
{
    return GetTickCount();
}

void pause_ms(std::uint32_t milliseconds)
{
    Sleep(milliseconds);
}

// A read-only file is not deleted until it is no longer read-only. Through
// the handle it is the file written that goes; by name on XP.
void remove_new_file(const output& out)
{
    const set_information_function set = set_information();
    if (set != nullptr) {
        basic_info normal = {};
        normal.attributes = FILE_ATTRIBUTE_NORMAL;
        disposition_info gone = {TRUE};
        set(out.new_file, file_basic_info, &normal, sizeof normal);
        set(out.new_file, file_disposition_info, &gone, sizeof gone);
        return;
    }
    const std::wstring path = extended_length_path(out.folder + out.new_name);
    SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    DeleteFileW(path.c_str());
}

void close_output(output& out)
{
    if (out.new_file != no_handle) {
        CloseHandle(out.new_file);
        out.new_file = no_handle;
    }
}

// The attribute binds only later opens, not the run's own.
bool make_read_only(const output& out)
{
    const set_information_function set = set_information();
    if (set == nullptr) {
        return SetFileAttributesW(
                   extended_length_path(out.folder + out.new_name).c_str(), FILE_ATTRIBUTE_READONLY)
            != FALSE;
    }
    basic_info read_only = {};
    read_only.attributes = FILE_ATTRIBUTE_READONLY;
    return set(out.new_file, file_basic_info, &read_only, sizeof read_only) != FALSE;
}
