#include "native.h"

#ifdef _WIN32

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

#else

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace {

constexpr mode_t permission_bits = S_IRWXU | S_IRWXG | S_IRWXO;

// Only regular files are locked, so that runs may still share a device or
// a FIFO. False only if another run holds a conflicting lock: a file system
// without locks goes on without one.
bool lock_regular_file(int descriptor, const struct stat& status, int operation)
{
    return !S_ISREG(status.st_mode) || flock(descriptor, operation | LOCK_NB) == 0
        || errno != EWOULDBLOCK;
}

// Cuts a regular file to length zero, its size read under the lock. An empty
// one is left alone, as O_TRUNC leaves a new one: on ext4 a cut makes close
// start writing the whole file back, which slows large copies by a third.
bool cut_regular_file(int descriptor)
{
    struct stat status;
    return fstat(descriptor, &status) == 0
        && (!S_ISREG(status.st_mode) || status.st_size == 0 || ftruncate(descriptor, 0) == 0);
}

// Hands an open descriptor to the C library as a stream, or closes it.
std::FILE* stream_from_descriptor(int descriptor, const char* mode)
{
    std::FILE* stream = fdopen(descriptor, mode);
    if (stream == nullptr) {
        close(descriptor);
    }
    return stream;
}

} // namespace

// Some platforms open a directory for reading and fail only on its first
// read, so the open file is asked what it is.
std::FILE* open_input(const std::string& path)
{
    const int descriptor = open(path.c_str(), O_RDONLY);
    if (descriptor == -1) {
        return nullptr;
    }
    struct stat status;
    if (fstat(descriptor, &status) != 0 || S_ISDIR(status.st_mode)
        || !lock_regular_file(descriptor, status, LOCK_SH)) {
        close(descriptor);
        return nullptr;
    }
    return stream_from_descriptor(descriptor, "rb");
}

// Opened without O_TRUNC: the name may lead back to the input (a link, or a
// FIFO that would wait for a reader), which is found only once both are open.
std::FILE* open_output(const std::string& path, std::FILE* input)
{
    struct stat input_status;
    if (fstat(fileno(input), &input_status) != 0) {
        return nullptr;
    }
    const int descriptor
        = open(path.c_str(), O_WRONLY | O_CREAT, input_status.st_mode & permission_bits);
    if (descriptor == -1) {
        return nullptr;
    }
    struct stat status;
    if (fstat(descriptor, &status) != 0
        || (status.st_dev == input_status.st_dev && status.st_ino == input_status.st_ino)
        || !lock_regular_file(descriptor, status, LOCK_EX) || !cut_regular_file(descriptor)) {
        close(descriptor);
        return nullptr;
    }
    return stream_from_descriptor(descriptor, "wb");
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
