#include "native.h"

#ifdef _WIN32

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <cstring>

namespace {

constexpr wchar_t extended_prefix[] = L"\\\\?\\";
constexpr wchar_t extended_unc_prefix[] = L"\\\\?\\UNC\\";
constexpr wchar_t device_prefix[] = L"\\\\.\\";
constexpr wchar_t unc_prefix[] = L"\\\\";
// Any character the key's grammar lacks would do: it ends the number.
constexpr char not_a_key_character = '?';

bool starts_with(const std::wstring& text, const wchar_t* prefix)
{
    return text.compare(0, std::wcslen(prefix), prefix) == 0;
}

// Opens the file for neither reading nor writing, only to learn its identity.
bool file_information(const std::wstring& path, BY_HANDLE_FILE_INFORMATION& information)
{
    const HANDLE file = CreateFileW(extended_length_path(path).c_str(), 0,
        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
        FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    const bool known = GetFileInformationByHandle(file, &information) != 0;
    CloseHandle(file);
    return known;
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
    if (starts_with(full, unc_prefix)) {
        return extended_unc_prefix + full.substr(std::wcslen(unc_prefix));
    }
    return extended_prefix + full;
}

std::FILE* open_file(const std::wstring& path, const char* mode)
{
    const std::wstring wide_mode(mode, mode + std::strlen(mode));
    return _wfopen(extended_length_path(path).c_str(), wide_mode.c_str());
}

bool is_directory(const std::wstring& path)
{
    const DWORD attributes = GetFileAttributesW(extended_length_path(path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// Not std::filesystem::equivalent: libstdc++ asks msvcrt's stat first, and
// that takes the ? of a \\?\ path for a wildcard and finds no file.
bool same_file(const std::wstring& first, const std::wstring& second)
{
    BY_HANDLE_FILE_INFORMATION a;
    BY_HANDLE_FILE_INFORMATION b;
    return file_information(first, a) && file_information(second, b)
        && a.dwVolumeSerialNumber == b.dwVolumeSerialNumber && a.nFileIndexHigh == b.nFileIndexHigh
        && a.nFileIndexLow == b.nFileIndexLow;
}

void remove_file(const std::wstring& path)
{
    DeleteFileW(extended_length_path(path).c_str());
}

std::string narrow_key(const wchar_t* text)
{
    std::string key;
    for (; *text != L'\0'; ++text) {
        key += *text < 0x80 ? static_cast<char>(*text) : not_a_key_character;
    }
    return key;
}

#else

#include <filesystem>
#include <system_error>

std::FILE* open_file(const std::string& path, const char* mode)
{
    return std::fopen(path.c_str(), mode);
}

bool is_directory(const std::string& path)
{
    std::error_code ignored;
    return std::filesystem::is_directory(path, ignored);
}

bool same_file(const std::string& first, const std::string& second)
{
    std::error_code ignored;
    return std::filesystem::equivalent(first, second, ignored);
}

void remove_file(const std::string& path)
{
    std::remove(path.c_str());
}

std::string narrow_key(const char* text)
{
    return text;
}

#endif
