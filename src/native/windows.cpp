#include "native/windows.h"

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cstdint>
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

// Other readers may share the input, but no writer, such as another run.
// A directory does not open without FILE_FLAG_BACKUP_SEMANTICS.
std::FILE* open_input(const std::wstring& path)
{
    const HANDLE file = CreateFileW(extended_length_path(path).c_str(), GENERIC_READ,
        FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return nullptr;
    }
    return stream_from_handle(file, _O_RDONLY, "rb");
}

// Shared with nobody while it is written. OPEN_ALWAYS, since CREATE_ALWAYS
// refuses to replace a hidden or system file; the cut comes only once the
// file is known not to be the input.
std::FILE* open_output(const std::wstring& path, std::FILE* input)
{
    const HANDLE file = CreateFileW(extended_length_path(path).c_str(), GENERIC_WRITE, 0, nullptr,
        OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return nullptr;
    }
    const auto input_file = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(input)));
    if (same_file(input_file, file)
        || (GetFileType(file) == FILE_TYPE_DISK && !SetEndOfFile(file))) {
        CloseHandle(file);
        return nullptr;
    }
    return stream_from_handle(file, _O_WRONLY, "wb");
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
