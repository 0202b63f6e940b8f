#include "native/new_file.h"
#include "native/posix/process.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>

#if __has_include(<sys/random.h>)
#include <sys/random.h>
#define XORFILE_HAVE_GETENTROPY 1
#endif

namespace {

// Whoever may open the new file before its final mode keeps reading through
// that open: it is made for its owner alone.
constexpr mode_t private_bits = S_IRUSR | S_IWUSR;

} // namespace

// Unpredictable, so that nobody can plant a link at the name beforehand.
bool pick_number(std::uint32_t& number, int)
{
#ifdef XORFILE_HAVE_GETENTROPY
    if (getentropy(&number, sizeof number) == 0) {
        return true;
    }
#endif
    const int descriptor = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    if (descriptor == -1) {
        return false;
    }
    const bool done = read(descriptor, &number, sizeof number) == sizeof number;
    close(descriptor);
    return done;
}

// O_EXCL refuses any name that exists, a link included.
creation create_exclusively(output& out)
{
    out.new_file = openat(out.folder, out.new_name.c_str(),
        O_WRONLY | O_CREAT | O_EXCL | O_NOCTTY | O_CLOEXEC, private_bits);
    if (out.new_file != -1) {
        return creation::made;
    }
    return errno == EEXIST ? creation::name_taken : creation::failed;
}

// The stream owns the descriptor from here on.
bool open_new_file_stream(output& out)
{
    out.stream = stream_from_descriptor(out.new_file, "wb");
    out.new_file = no_handle;
    return out.stream != nullptr;
}

renaming rename_new_file(const output& out)
{
    return renameat(out.folder, out.new_name.c_str(), out.folder, out.name.c_str()) == 0
        ? renaming::done
        : renaming::failed;
}

// Where the system cannot refuse to replace, the name is as unpredictable
// as the first, and so nobody's.
creation rename_new_file_to(const output& out, const std::string& name)
{
#ifdef RENAME_NOREPLACE
    if (renameat2(out.folder, out.new_name.c_str(), out.folder, name.c_str(), RENAME_NOREPLACE)
        == 0) {
        return creation::made;
    }
    if (errno != EINVAL && errno != ENOSYS) {
        return errno == EEXIST ? creation::name_taken : creation::failed;
    }
#endif
    return renameat(out.folder, out.new_name.c_str(), out.folder, name.c_str()) == 0
        ? creation::made
        : creation::failed;
}

std::uint32_t clock_ms()
{
    struct timespec now = {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::uint32_t>(now.tv_sec * 1000 + now.tv_nsec / 1000000);
}

void pause_ms(std::uint32_t milliseconds)
{
    const struct timespec pause = {
        static_cast<time_t>(milliseconds / 1000), static_cast<long>(milliseconds % 1000) * 1000000};
    nanosleep(&pause, nullptr);
}

void remove_new_file(const output& out)
{
    unlinkat(out.folder, out.new_name.c_str(), 0);
}

void close_output(output& out)
{
    if (out.new_file != no_handle) {
        close(out.new_file);
        out.new_file = no_handle;
    }
    if (out.folder != no_folder) {
        close(out.folder);
        out.folder = no_folder;
    }
}
