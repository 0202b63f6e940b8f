#include "native/windows/path.h"

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <algorithm>
#include <cwchar>

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

bool starts_with(const std::wstring& text, const wchar_t* prefix)
{
    return text.compare(0, std::wcslen(prefix), prefix) == 0;
}

// In ASCII, in any case, as Windows reads the names of its roots.
bool starts_with_any_case(const std::wstring& text, const wchar_t* prefix)
{
    const std::size_t length = std::wcslen(prefix);
    for (std::size_t at = 0; at < length; ++at) {
        if (at >= text.size() || (text[at] | 0x20) != (prefix[at] | 0x20)) {
            return false;
        }
    }
    return true;
}

// C:\..., or C:/...: a drive is named by an ASCII letter.
bool is_drive_path(const std::wstring& path)
{
    const wchar_t letter = path.empty() ? L'\0' : static_cast<wchar_t>(path[0] | 0x20);
    return path.size() >= 3 && letter >= L'a' && letter <= L'z' && path[1] == L':'
        && (path[2] == L'\\' || path[2] == L'/');
}

// What follows \\.\ in a path to a file: a drive, a share, a volume, or
// the object tree's root.
bool names_files(const std::wstring& rest)
{
    return is_drive_path(rest) || starts_with_any_case(rest, L"UNC\\")
        || starts_with_any_case(rest, L"UNC/") || starts_with_any_case(rest, L"Volume{")
        || starts_with_any_case(rest, L"GLOBALROOT\\")
        || starts_with_any_case(rest, L"GLOBALROOT/");
}

// The full path, as Windows makes it; empty where it cannot.
std::wstring full_path(const std::wstring& path)
{
    const DWORD size = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    std::wstring full(size, L'\0');
    const DWORD length = GetFullPathNameW(path.c_str(), size, full.data(), nullptr);
    if (length == 0 || length >= size) {
        return std::wstring();
    }
    full.resize(length);
    return full;
}

} // namespace

std::wstring extended_length_path(const std::wstring& path)
{
    if (starts_with(path, extended_prefix) || starts_with(path, nt_prefix)) {
        return path;
    }
    // \\.\ lifts no limit, and only a path to files has a \\?\ form: not a
    // pipe's, nor a device's.
    const bool device_form
        = starts_with(path, device_prefix) || starts_with(path, device_prefix_slashes);
    if (device_form && !names_files(path.substr(std::wcslen(device_prefix)))) {
        return path;
    }
    const std::wstring full = full_path(path);
    if (full.size() < MAX_PATH) {
        return path;
    }
    // //?/C:/... comes back as \\?\C:\..., and //./C:/... as \\.\C:\...; the
    // device form is asked for before a share's, which it would match.
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

std::wstring whole_path(const std::wstring& path)
{
    const std::wstring opened = extended_length_path(path);
    if (starts_with(opened, extended_prefix) || starts_with(opened, nt_prefix)) {
        return opened;
    }
    const std::wstring full = full_path(opened);
    return full.empty() ? opened : full;
}

std::size_t name_start(const std::wstring& path)
{
    const std::size_t slash = path.find_last_of(L"\\/");
    if (slash != std::wstring::npos) {
        return slash + 1;
    }
    return path.size() > 1 && path[1] == L':' ? 2 : 0;
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
