#include "native/new_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#if __has_include(<sys/random.h>)
#include <sys/random.h>
#define XORFILE_HAVE_GETENTROPY 1
#endif

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

// O_EXCL refuses any name that exists, a link included. Whoever may open
// the file before its final mode keeps reading through that open: it is
// made for its owner alone. The stream owns the descriptor.
tried create_exclusively(output& out, const std::string& name)
{
    const int descriptor = openat(
        out.folder, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOCTTY | O_CLOEXEC, 0600);
    if (descriptor == -1) {
        return errno == EEXIST ? tried::taken : tried::failed;
    }
    out.stream = stream_on(descriptor, "wb");
    return tried::done;
}

// Where the system cannot refuse to replace, a name as unpredictable as
// the first is nobody's.
tried rename_new_file(const output& out, const std::string& to, bool replace)
{
    const char* from = out.new_name.c_str();
#ifdef RENAME_NOREPLACE
    if (!replace && renameat2(out.folder, from, out.folder, to.c_str(), RENAME_NOREPLACE) == 0) {
        return tried::done;
    }
    if (!replace && errno != EINVAL && errno != ENOSYS) {
        return errno == EEXIST ? tried::taken : tried::failed;
    }
#else
    (void)replace;
#endif
    return renameat(out.folder, from, out.folder, to.c_str()) == 0 ? tried::done : tried::failed;
}

void remove_new_file(const output& out)
{
    unlinkat(out.folder, out.new_name.c_str(), 0);
}

void close_output(output& out)
{
    if (out.folder != no_folder) {
        close(out.folder);
        out.folder = no_folder;
    }
}

std::FILE* stream_on(int descriptor, const char* mode)
{
    std::FILE* stream = fdopen(descriptor, mode);
    if (stream == nullptr) {
        close(descriptor);
    }
    return stream;
}
