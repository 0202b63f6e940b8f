#include "native/windows.h"
#include "native/shared.h"

#include <fcntl.h>
#include <io.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

namespace {

constexpr wchar_t extended_prefix[] = L"\\\\?\\";
constexpr wchar_t extended_unc_prefix[] = L"\\\\?\\UNC\\";
constexpr wchar_t device_prefix[] = L"\\\\.\\";
constexpr wchar_t device_prefix_slashes[] = L"//./";
constexpr wchar_t nt_prefix[] = L"\\??\\";
constexpr wchar_t unc_prefix[] = L"\\\\";
constexpr wchar_t superscript_one = 0xb9;
constexpr wchar_t superscript_two = 0xb2;
constexpr wchar_t superscript_three = 0xb3;
// Any character the key's grammar lacks would do: it ends the number.
constexpr char not_a_key_character = '?';
constexpr int name_tries = 100;
constexpr DWORD share_all = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr DWORD kept_attributes
    = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
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

// The output and the new file, in the form they are opened in, the new
// file until it is put in place or removed; it is empty where the output
// is written in place. The console handler runs on a thread of its own, so
// the new file's name changes, and is used, only under this lock.
CRITICAL_SECTION new_file_lock;
std::wstring output_path;
std::wstring new_file;
// The device the input is, by name: a device's handle says nothing of it.
std::wstring input_device;

struct handle_closer {
    void operator()(HANDLE file) const { CloseHandle(file); }
};
using handle_ptr = std::unique_ptr<void, handle_closer>;

// With the lock held. A read-only file is not deleted until it is no
// longer read-only.
void delete_new_file()
{
    SetFileAttributesW(new_file.c_str(), FILE_ATTRIBUTE_NORMAL);
    DeleteFileW(new_file.c_str());
}

// Holds the lock to the end, so that the file is not put in place after
// all, and ends the process as Windows ends one at Ctrl+C.
BOOL WINAPI remove_and_end(DWORD event)
{
    if (!ends_on_console_event(event)) {
        return FALSE;
    }
    EnterCriticalSection(&new_file_lock);
    if (!new_file.empty()) {
        delete_new_file();
    }
    ExitProcess(STATUS_CONTROL_C_EXIT);
}

// Done at the first open of either file.
void prepare_process()
{
    static bool prepared = false;
    if (prepared) {
        return;
    }
    prepared = true;
    keep_dialogs_away();
    InitializeCriticalSection(&new_file_lock);
    SetConsoleCtrlHandler(remove_and_end, TRUE);
}

void remove_new_file()
{
    EnterCriticalSection(&new_file_lock);
    if (!new_file.empty()) {
        delete_new_file();
        new_file.clear();
    }
    LeaveCriticalSection(&new_file_lock);
}

bool starts_with(const std::wstring& text, const wchar_t* prefix)
{
    return text.compare(0, std::wcslen(prefix), prefix) == 0;
}

// C:\..., or C:/...: a drive is named by an ASCII letter.
bool is_drive_path(const std::wstring& path)
{
    const wchar_t letter = path.empty() ? L'\0' : static_cast<wchar_t>(path[0] | 0x20);
    return path.size() >= 3 && letter >= L'a' && letter <= L'z' && path[1] == L':'
        && (path[2] == L'\\' || path[2] == L'/');
}

HANDLE handle_of(std::FILE* stream)
{
    return reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
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

// A file by its index; a device, which has none, by its kind and name.
bool same_file(HANDLE input, HANDLE output, const std::wstring& output_name)
{
    BY_HANDLE_FILE_INFORMATION a;
    BY_HANDLE_FILE_INFORMATION b;
    if (GetFileInformationByHandle(input, &a) && GetFileInformationByHandle(output, &b)) {
        return a.dwVolumeSerialNumber == b.dwVolumeSerialNumber
            && a.nFileIndexHigh == b.nFileIndexHigh && a.nFileIndexLow == b.nFileIndexLow;
    }
    return GetFileType(input) == FILE_TYPE_CHAR && GetFileType(output) == FILE_TYPE_CHAR
        && !input_device.empty() && input_device == reserved_device_name(output_name);
}

bool is_read_only(HANDLE file)
{
    BY_HANDLE_FILE_INFORMATION information;
    return GetFileInformationByHandle(file, &information)
        && (information.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0;
}

// The reparse tag of a name that has one: a symbolic link or junction, or
// a file that is stored elsewhere (cloud files, deduplication).
DWORD reparse_tag(const std::wstring& opened, DWORD attributes)
{
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
        return 0;
    }
    WIN32_FIND_DATAW found;
    const HANDLE search = FindFirstFileW(opened.c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) {
        return 0;
    }
    FindClose(search);
    return found.dwReserved0;
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

// A device is written through the open that asks to write; where sharing
// refuses that, an open that asks for no data, which sharing never
// blocks, tells a file that others hold from a device. Whether a holder
// lets the file be replaced is the rename's to find out.
name_facts look_at_output(const std::wstring& path, HANDLE input, handle_ptr& writable)
{
    name_facts facts{};
    facts.stream = is_stream_path(path);
    facts.device_name = !reserved_device_name(path).empty();
    facts.too_long = path.size() - name_start(path) > longest_name;
    facts.attributes = GetFileAttributesW(output_path.c_str());
    facts.reparse_tag = reparse_tag(output_path, facts.attributes);
    HANDLE file = CreateFileW(output_path.c_str(), GENERIC_WRITE, share_all, nullptr, OPEN_EXISTING,
        FILE_ATTRIBUTE_NORMAL, nullptr);
    facts.write_error = file == INVALID_HANDLE_VALUE ? GetLastError() : ERROR_SUCCESS;
    if (file != INVALID_HANDLE_VALUE) {
        writable.reset(file);
    } else if (facts.write_error == ERROR_SHARING_VIOLATION) {
        file = CreateFileW(output_path.c_str(), FILE_READ_ATTRIBUTES, share_all, nullptr,
            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    }
    if (file != INVALID_HANDLE_VALUE) {
        facts.file_type = GetFileType(file);
        facts.is_input = same_file(input, file, path);
    }
    if (file != INVALID_HANDLE_VALUE && file != writable.get()) {
        CloseHandle(file);
    }
    return facts;
}

// A device is written in place, through the open that asked to write, but
// never onto the input.
name_holds judge_device(const name_facts& facts)
{
    if (facts.is_input) {
        return name_holds::the_input;
    }
    return facts.write_error == ERROR_SUCCESS ? name_holds::device : name_holds::unknown;
}

// A stream can only be written where it is, as fopen writes it: a rename
// cannot put it in place.
std::FILE* open_stream()
{
    const HANDLE stream = CreateFileW(output_path.c_str(), GENERIC_WRITE,
        FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (stream == INVALID_HANDLE_VALUE) {
        return nullptr;
    }
    return stream_from_handle(stream, _O_WRONLY, "wb");
}

// Elsewhere (older Windows, FAT) a rename is refused while anything holds
// the old output open, a reader or a virus scanner; and a scanner that
// holds the new file for a moment refuses either rename. Both are tried
// again for a while.
bool put_in_place(const std::wstring& source, const std::wstring& target)
{
    const DWORD start = GetTickCount();
    for (DWORD pause = 1;; pause = std::min(pause * 2, longest_pause)) {
        if (rename_over_open_files(source, target)
            || MoveFileExW(source.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING)) {
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

// Creates the new file and records its name. Shared only for deleting, so
// that the console handler may remove it while it is open, and no other
// program reads or writes it. The name need not be unpredictable:
// CREATE_NEW refuses any that exists.
HANDLE create_new_file(const std::wstring& path)
{
    const std::size_t start = name_start(path);
    const std::wstring folder = path.substr(0, start);
    const std::wstring name = path.substr(start);
    std::uint32_t number = GetCurrentProcessId() * 2654435761U ^ GetTickCount();
    EnterCriticalSection(&new_file_lock);
    HANDLE file = INVALID_HANDLE_VALUE;
    for (int tries = 0; tries < name_tries; ++tries) {
        new_file = extended_length_path(folder + new_file_name(name, longest_name, number));
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

// A read-only input gives a read-only output, as a copy made in Explorer
// does. The attribute binds only later opens, not this one.
std::FILE* open_new_file(const std::wstring& path, HANDLE input)
{
    const HANDLE file = create_new_file(path);
    if (file == INVALID_HANDLE_VALUE) {
        return nullptr;
    }
    if (is_read_only(input) && !SetFileAttributesW(new_file.c_str(), FILE_ATTRIBUTE_READONLY)) {
        CloseHandle(file);
        remove_new_file();
        return nullptr;
    }
    std::FILE* stream = stream_from_handle(file, _O_WRONLY, "wb");
    if (stream == nullptr) {
        remove_new_file();
    }
    return stream;
}

} // namespace

// Whoever holds the old output open, but for deleting, keeps reading the
// old content, and the name is the new file's at once.
bool rename_over_open_files(const std::wstring& source, const std::wstring& target)
{
    const auto set_information
        = reinterpret_cast<set_file_information_function>(reinterpret_cast<void*>(
            GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "SetFileInformationByHandle")));
    if (set_information == nullptr) {
        return false;
    }
    const HANDLE file = CreateFileW(
        source.c_str(), DELETE, share_all, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
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

std::wstring extended_length_path(const std::wstring& path)
{
    if (starts_with(path, extended_prefix) || starts_with(path, nt_prefix)) {
        return path;
    }
    // \\.\ lifts no limit, but only one to a drive has a \\?\ form.
    const bool device_form
        = starts_with(path, device_prefix) || starts_with(path, device_prefix_slashes);
    if (device_form && !is_drive_path(path.substr(std::wcslen(device_prefix)))) {
        return path;
    }
    const DWORD size = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    std::wstring full(size, L'\0');
    const DWORD length = GetFullPathNameW(path.c_str(), size, full.data(), nullptr);
    if (length == 0 || length >= size || length < MAX_PATH) {
        return path;
    }
    full.resize(length);
    // //?/C:/... comes back as \\?\C:\..., and //./C:/... as \\.\C:\...: no
    // network shares.
    if (starts_with(full, extended_prefix)) {
        return full;
    }
    if (starts_with(full, device_prefix)) {
        return extended_prefix + full.substr(std::wcslen(device_prefix));
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

// Windows reads a reserved name up to its first dot or colon, less
// trailing spaces, in any case.
std::wstring reserved_device_name(const std::wstring& path)
{
    std::wstring name = path.substr(name_start(path));
    name.erase(std::min(name.find_first_of(L".:"), name.size()));
    name.erase(name.find_last_not_of(L' ') + 1);
    for (wchar_t& c : name) {
        c = c >= L'a' && c <= L'z' ? static_cast<wchar_t>(c - L'a' + L'A') : c;
    }
    // Windows takes the superscripts of Latin-1 for digits too.
    const bool numbered = name.size() == 4
        && (name.compare(0, 3, L"COM") == 0 || name.compare(0, 3, L"LPT") == 0)
        && ((name[3] >= L'1' && name[3] <= L'9') || name[3] == superscript_one
            || name[3] == superscript_two || name[3] == superscript_three);
    const bool plain = name == L"NUL" || name == L"CON" || name == L"PRN" || name == L"AUX";
    return numbered || plain ? name : std::wstring();
}

// Windows sends a log-off to services, for any user's: a program that a
// service runs goes on.
bool ends_on_console_event(DWORD event)
{
    return event != CTRL_LOGOFF_EVENT;
}

// XP has no GetErrorMode: setting a mode returns the one before.
void keep_dialogs_away()
{
    const UINT inherited = SetErrorMode(0);
    SetErrorMode(inherited | SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
}

// The name itself decides: a link there is replaced, not followed, but for
// a link to a folder, over which nothing can be renamed. A read-only,
// hidden or system file is refused as fopen refuses it, even where the
// open would be let through (Wine, as root). A reserved name that opened
// as a device, or as the input (a DOS device defined onto a file), is a
// device in any spelling, though a colon in it would name a stream.
name_holds judge_output_name(const name_facts& facts)
{
    const bool looked
        = facts.write_error == ERROR_SUCCESS || facts.write_error == ERROR_SHARING_VIOLATION;
    if (facts.device_name && looked && (facts.is_input || facts.file_type == FILE_TYPE_CHAR)) {
        return judge_device(facts);
    }
    if (facts.stream) {
        return name_holds::stream;
    }
    if (facts.too_long) {
        return name_holds::too_long;
    }
    const bool exists = facts.attributes != INVALID_FILE_ATTRIBUTES;
    const bool is_link = exists
        && (facts.reparse_tag == IO_REPARSE_TAG_SYMLINK
            || facts.reparse_tag == IO_REPARSE_TAG_MOUNT_POINT);
    if (is_link) {
        return (facts.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? name_holds::folder_link
                                                                  : name_holds::replaceable;
    }
    if (exists && (facts.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        return name_holds::directory;
    }
    if (exists && (facts.attributes & kept_attributes) != 0) {
        return name_holds::kept_attributes;
    }
    if (facts.write_error == ERROR_FILE_NOT_FOUND) {
        return name_holds::nothing;
    }
    if (!looked || facts.file_type == FILE_TYPE_UNKNOWN) {
        return name_holds::unknown;
    }
    if (facts.file_type == FILE_TYPE_DISK) {
        return name_holds::replaceable;
    }
    return judge_device(facts);
}

// Shared as fopen shares a file, and for deleting too, so that a run that
// replaces this name is not refused. A directory does not open without
// FILE_FLAG_BACKUP_SEMANTICS.
std::FILE* open_input(const std::wstring& path)
{
    prepare_process();
    const HANDLE file = CreateFileW(extended_length_path(path).c_str(), GENERIC_READ, share_all,
        nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return nullptr;
    }
    input_device = reserved_device_name(path);
    return stream_from_handle(file, _O_RDONLY, "rb");
}

std::FILE* open_output(const std::wstring& path, std::FILE* input)
{
    prepare_process();
    const HANDLE input_file = handle_of(input);
    output_path = extended_length_path(path);
    handle_ptr writable;
    switch (judge_output_name(look_at_output(path, input_file, writable))) {
    case name_holds::nothing:
    case name_holds::replaceable:
        return open_new_file(path, input_file);
    case name_holds::device:
        return stream_from_handle(writable.release(), _O_WRONLY, "wb");
    case name_holds::stream:
        return open_stream();
    case name_holds::directory:
    case name_holds::kept_attributes:
    case name_holds::folder_link:
    case name_holds::the_input:
    case name_holds::too_long:
    case name_holds::unknown:
        return nullptr;
    }
    return nullptr;
}

// Once the output is in place the run has succeeded, so the lock stays held:
// the console handler waits for the process's end instead of ending it.
bool commit_output(std::FILE* output)
{
    if (!close_stream(output)) {
        remove_new_file();
        return false;
    }
    EnterCriticalSection(&new_file_lock);
    if (new_file.empty() || put_in_place(new_file, output_path)) {
        new_file.clear();
        return true;
    }
    delete_new_file();
    new_file.clear();
    LeaveCriticalSection(&new_file_lock);
    return false;
}

void discard_output(std::FILE* output)
{
    std::fclose(output);
    remove_new_file();
}

std::string narrow_key(const wchar_t* text)
{
    std::string key;
    for (; *text != L'\0'; ++text) {
        key += *text < 0x80 ? static_cast<char>(*text) : not_a_key_character;
    }
    return key;
}
