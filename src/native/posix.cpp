#include "native/native.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/xattr.h>
#endif

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <string>

#if __has_include(<sys/random.h>)
#include <sys/random.h>
#define XORFILE_HAVE_GETENTROPY 1
#endif

namespace {

constexpr mode_t permission_bits = S_IRWXU | S_IRWXG | S_IRWXO;
// Whoever may open the new file before its final mode keeps reading through
// that open: it is made for its owner alone.
constexpr mode_t private_bits = S_IRUSR | S_IWUSR;
// Every signal that ends the process from outside; a crash's signals are
// left alone.
constexpr int interrupts[] = {
    SIGHUP,
    SIGINT,
    SIGQUIT,
    SIGTERM,
    SIGALRM,
    SIGUSR1,
    SIGUSR2,
    SIGXCPU,
    SIGVTALRM,
    SIGPROF,
#ifdef SIGPOLL
    SIGPOLL,
#endif
#ifdef SIGPWR
    SIGPWR,
#endif
};
// A new file is named ".NAME." and eight hex digits, beside the output.
constexpr int number_digits = 8;
constexpr std::size_t name_overhead = 2 + number_digits;
constexpr long usual_name_max = 255;
constexpr int name_tries = 100;

// The output's folder, and the new file's name in it until it is put in
// place or removed. Names are taken within the folder, so that a path of
// any length works and a folder renamed meanwhile does not move the output
// elsewhere. The handler reads the name, so it changes only while the
// interrupts are blocked. O_PATH and O_SEARCH open a folder that may be
// written but not listed.
#if defined(O_PATH)
constexpr int folder_flags = O_PATH | O_DIRECTORY | O_CLOEXEC;
#elif defined(O_SEARCH)
constexpr int folder_flags = O_SEARCH | O_DIRECTORY | O_CLOEXEC;
#else
constexpr int folder_flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
#endif
int folder = -1;
std::string new_file;

void remove_and_end(int signal_number)
{
    if (!new_file.empty()) {
        unlinkat(folder, new_file.c_str(), 0);
    }
    // The action is the default again: the signal ends the process as soon
    // as this returns, with a core dump where it makes one, and a shell sees
    // which one it was.
    std::raise(signal_number);
}

sigset_t interrupt_set()
{
    sigset_t set;
    sigemptyset(&set);
    for (const int signal_number : interrupts) {
        sigaddset(&set, signal_number);
    }
    return set;
}

sigset_t block_interrupts()
{
    const sigset_t set = interrupt_set();
    sigset_t previous;
    sigprocmask(SIG_BLOCK, &set, &previous);
    return previous;
}

void restore_signals(const sigset_t& previous)
{
    sigprocmask(SIG_SETMASK, &previous, nullptr);
}

bool is_device(const struct stat& status)
{
    return S_ISCHR(status.st_mode) || S_ISBLK(status.st_mode) || S_ISFIFO(status.st_mode);
}

// Two nodes of one device are the same device.
bool same_file(const struct stat& a, const struct stat& b)
{
    const bool same_device_node
        = (S_ISCHR(a.st_mode) && S_ISCHR(b.st_mode)) || (S_ISBLK(a.st_mode) && S_ISBLK(b.st_mode));
    return (a.st_dev == b.st_dev && a.st_ino == b.st_ino)
        || (same_device_node && a.st_rdev == b.st_rdev);
}

// Another user's FIFO or device may hand on what it is given, as Linux's
// protected_fifos says for files that already exist.
bool may_write_in_place(const struct stat& status, const struct stat& input_status)
{
    return is_device(status) && (status.st_uid == geteuid() || status.st_uid == 0)
        && !same_file(status, input_status);
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

// A device or FIFO is written where it is: neither cut nor replaced. One
// that may not be is refused before it is opened, since opening some
// devices does something (a tape rewinds when closed); after the open, so
// is anything that took its name meanwhile.
std::FILE* open_in_place(const std::string& name, const struct stat& input_status)
{
    const int descriptor = openat(folder, name.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC);
    if (descriptor == -1) {
        return nullptr;
    }
    struct stat status;
    if (fstat(descriptor, &status) != 0 || !may_write_in_place(status, input_status)) {
        close(descriptor);
        return nullptr;
    }
    return stream_from_descriptor(descriptor, "wb");
}

// Where the last name in the path starts: after its folder, or at 0.
std::size_t name_start(const std::string& path)
{
    return path.rfind('/') + 1;
}

// ".NAME." for the output NAME, cut at a character's start where the whole
// name would pass the folder's limit.
std::string new_file_prefix(const std::string& name)
{
    long name_max = fpathconf(folder, _PC_NAME_MAX);
    if (name_max <= 0) {
        name_max = usual_name_max;
    }
    const auto limit = static_cast<std::size_t>(name_max);
    std::size_t length = name.size();
    if (length + name_overhead > limit) {
        length = limit > name_overhead ? limit - name_overhead : 0;
        while (length > 0 && (name[length] & 0xc0) == 0x80) {
            --length;
        }
    }
    return '.' + name.substr(0, length) + '.';
}

// Unpredictable, so that nobody can plant a link at the name beforehand.
bool random_number(std::uint32_t& number)
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

// Creates the new file for its owner alone and records its name, or
// returns -1. O_EXCL refuses any name that exists, a link included.
int create_new_file(const std::string& name)
{
    const std::string prefix = new_file_prefix(name);
    const sigset_t previous = block_interrupts();
    int descriptor = -1;
    std::uint32_t number = 0;
    for (int tries = 0; tries < name_tries && random_number(number); ++tries) {
        new_file = prefix;
        for (int shift = 4 * (number_digits - 1); shift >= 0; shift -= 4) {
            new_file += "0123456789abcdef"[(number >> shift) & 0xf];
        }
        descriptor = openat(folder, new_file.c_str(),
            O_WRONLY | O_CREAT | O_EXCL | O_NOCTTY | O_CLOEXEC, private_bits);
        if (descriptor != -1 || errno != EEXIST) {
            break;
        }
    }
    if (descriptor == -1) {
        new_file.clear();
    }
    restore_signals(previous);
    return descriptor;
}

// An extended ACL makes the group bits its mask. One that cannot be read
// counts as there: only "no such attribute" and "not supported" say none.
bool may_have_extended_acl(int descriptor)
{
#ifdef __linux__
    return fgetxattr(descriptor, "system.posix_acl_access", nullptr, 0) >= 0
        || (errno != ENODATA && errno != ENOTSUP);
#else
    (void)descriptor;
    return false;
#endif
}

// The input's permission bits less the umask, set here since a folder's
// default ACL leaves the umask out. The group bits grant the input's group
// what they say; for any other group, or as an ACL's mask, they go.
bool set_final_mode(int descriptor, int input_descriptor, const struct stat& input_status)
{
    struct stat status;
    if (fstat(descriptor, &status) != 0) {
        return false;
    }
    const mode_t mask = umask(0);
    umask(mask);
    mode_t mode = input_status.st_mode & permission_bits & ~mask;
    if (status.st_gid != input_status.st_gid || may_have_extended_acl(input_descriptor)
        || may_have_extended_acl(descriptor)) {
        mode &= ~S_IRWXG;
    }
    return fchmod(descriptor, mode) == 0;
}

} // namespace

void handle_signals()
{
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGXFSZ, SIG_IGN);
    struct sigaction action = {};
    action.sa_handler = remove_and_end;
    action.sa_mask = interrupt_set();
    action.sa_flags = SA_RESETHAND;
    for (const int signal_number : interrupts) {
        struct sigaction previous;
        // One ignored at start, under nohup or in a background job, stays so.
        if (sigaction(signal_number, nullptr, &previous) == 0 && previous.sa_handler != SIG_IGN) {
            sigaction(signal_number, &action, nullptr);
        }
    }
}

// Some platforms open a directory for reading and fail only on its first
// read, so the open file is asked what it is.
std::FILE* open_input(const std::string& path)
{
    const int descriptor = open(path.c_str(), O_RDONLY | O_NOCTTY);
    if (descriptor == -1) {
        return nullptr;
    }
    struct stat status;
    if (fstat(descriptor, &status) != 0 || S_ISDIR(status.st_mode)) {
        close(descriptor);
        return nullptr;
    }
    return stream_from_descriptor(descriptor, "rb");
}

std::FILE* open_output(const std::string& path, std::FILE* input)
{
    const int input_descriptor = fileno(input);
    struct stat input_status;
    if (fstat(input_descriptor, &input_status) != 0) {
        return nullptr;
    }
    const std::size_t start = name_start(path);
    folder = open(start == 0 ? "." : path.substr(0, start).c_str(), folder_flags);
    if (folder == -1) {
        return nullptr;
    }
    // The name itself decides: a link there is replaced, whatever it leads
    // to, but for a device or FIFO, which is written through it.
    const std::string name = path.substr(start);
    struct stat status;
    if (fstatat(folder, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0) {
        struct stat target;
        if (S_ISLNK(status.st_mode) && fstatat(folder, name.c_str(), &target, 0) == 0
            && is_device(target)) {
            status = target;
        }
        if (is_device(status)) {
            return may_write_in_place(status, input_status) ? open_in_place(name, input_status)
                                                            : nullptr;
        }
        if (S_ISDIR(status.st_mode)
            || (!S_ISLNK(status.st_mode)
                && faccessat(folder, name.c_str(), W_OK, AT_EACCESS) != 0)) {
            return nullptr;
        }
    } else if (errno != ENOENT) {
        return nullptr;
    }
    const int descriptor = create_new_file(name);
    if (descriptor == -1) {
        return nullptr;
    }
    if (!set_final_mode(descriptor, input_descriptor, input_status)) {
        close(descriptor);
        discard_output();
        return nullptr;
    }
    std::FILE* stream = stream_from_descriptor(descriptor, "wb");
    if (stream == nullptr) {
        discard_output();
    }
    return stream;
}

// Once the output is in place the run has succeeded, so no interrupt may
// end it after all: they stay blocked to the exit.
bool commit_output(const std::string& path)
{
    const sigset_t previous = block_interrupts();
    const bool done = new_file.empty()
        || renameat(folder, new_file.c_str(), folder, path.c_str() + name_start(path)) == 0;
    if (done) {
        new_file.clear();
    } else {
        restore_signals(previous);
    }
    return done;
}

void discard_output()
{
    const sigset_t previous = block_interrupts();
    if (!new_file.empty()) {
        unlinkat(folder, new_file.c_str(), 0);
        new_file.clear();
    }
    restore_signals(previous);
}

std::string narrow_key(const char* text)
{
    return text;
}
