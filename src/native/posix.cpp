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
#include <ctime>

namespace {

constexpr mode_t permission_bits = S_IRWXU | S_IRWXG | S_IRWXO;
constexpr int interrupts[] = {SIGINT, SIGTERM, SIGHUP};
// A new file is named ".NAME." and eight hex digits, beside the output.
constexpr int number_digits = 8;
constexpr std::size_t name_overhead = 2 + number_digits;
constexpr long usual_name_max = 255;
constexpr int name_tries = 100;

// The new file, until it is put in place or removed. The handler reads it,
// so it changes only while the interrupts are blocked.
std::string new_file;

void remove_and_end(int signal_number)
{
    if (!new_file.empty()) {
        unlink(new_file.c_str());
    }
    // The action is the default again: the signal ends the process as soon
    // as this returns, and a shell sees which one it was.
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

bool same_file(const struct stat& a, const struct stat& b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
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
// that is the input is refused before it is opened, since opening some
// devices does something (a tape rewinds when closed); after the open, so
// is anything that took its name meanwhile.
std::FILE* open_in_place(const std::string& path, const struct stat& input_status)
{
    const int descriptor = open(path.c_str(), O_WRONLY | O_NOCTTY);
    if (descriptor == -1) {
        return nullptr;
    }
    struct stat status;
    if (fstat(descriptor, &status) != 0 || !is_device(status) || same_file(status, input_status)) {
        close(descriptor);
        return nullptr;
    }
    return stream_from_descriptor(descriptor, "wb");
}

// "DIR/.NAME." for the output DIR/NAME, NAME cut at a character's start
// where the whole name would pass the folder's limit.
std::string new_file_prefix(const std::string& path)
{
    const std::size_t name_start = path.rfind('/') + 1; // 0 when there is no folder
    const std::string folder = name_start == 0 ? "." : path.substr(0, name_start);
    long name_max = pathconf(folder.c_str(), _PC_NAME_MAX);
    if (name_max <= 0) {
        name_max = usual_name_max;
    }
    const auto limit = static_cast<std::size_t>(name_max);
    std::size_t length = path.size() - name_start;
    if (length + name_overhead > limit) {
        length = limit > name_overhead ? limit - name_overhead : 0;
        while (length > 0 && (path[name_start + length] & 0xc0) == 0x80) {
            --length;
        }
    }
    return path.substr(0, name_start) + '.' + path.substr(name_start, length) + '.';
}

// Creates the new file and records its name, or returns -1. The name need
// not be unpredictable: O_EXCL refuses any that exists, a link included.
int create_new_file(const std::string& path, mode_t mode)
{
    const std::string prefix = new_file_prefix(path);
    auto number = static_cast<std::uint32_t>(getpid()) * 2654435761U
        ^ static_cast<std::uint32_t>(std::time(nullptr));
    const sigset_t previous = block_interrupts();
    int descriptor = -1;
    for (int tries = 0; tries < name_tries; ++tries) {
        new_file = prefix;
        for (int shift = 4 * (number_digits - 1); shift >= 0; shift -= 4) {
            new_file += "0123456789abcdef"[(number >> shift) & 0xf];
        }
        descriptor = open(new_file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOCTTY, mode);
        if (descriptor != -1 || errno != EEXIST) {
            break;
        }
        number = number * 1664525U + 1013904223U;
    }
    if (descriptor == -1) {
        new_file.clear();
    }
    restore_signals(previous);
    return descriptor;
}

bool has_extended_acl(int descriptor)
{
#ifdef __linux__
    return fgetxattr(descriptor, "system.posix_acl_access", nullptr, 0) >= 0;
#else
    (void)descriptor;
    return false;
#endif
}

// The group bits grant the input's group what they say, unless an extended
// ACL makes them its mask. For any other group, or under an ACL, they go.
bool keep_group_private(int descriptor, int input_descriptor, const struct stat& input_status)
{
    struct stat status;
    if (fstat(descriptor, &status) != 0) {
        return false;
    }
    if (status.st_gid == input_status.st_gid && !has_extended_acl(input_descriptor)) {
        return true;
    }
    return fchmod(descriptor, status.st_mode & permission_bits & ~S_IRWXG) == 0;
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
    struct stat status;
    if (stat(path.c_str(), &status) == 0) {
        if (is_device(status)) {
            return same_file(status, input_status) ? nullptr : open_in_place(path, input_status);
        }
        if (S_ISDIR(status.st_mode) || faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) != 0) {
            return nullptr;
        }
    } else if (errno != ENOENT) {
        return nullptr;
    }
    const int descriptor = create_new_file(path, input_status.st_mode & permission_bits);
    if (descriptor == -1) {
        return nullptr;
    }
    if (!keep_group_private(descriptor, input_descriptor, input_status)) {
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

bool commit_output(const std::string& path)
{
    const sigset_t previous = block_interrupts();
    const bool done = new_file.empty() || std::rename(new_file.c_str(), path.c_str()) == 0;
    if (done) {
        new_file.clear();
    }
    restore_signals(previous);
    return done;
}

void discard_output()
{
    const sigset_t previous = block_interrupts();
    if (!new_file.empty()) {
        unlink(new_file.c_str());
        new_file.clear();
    }
    restore_signals(previous);
}

std::string narrow_key(const char* text)
{
    return text;
}
