#include "native/native.h"

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
