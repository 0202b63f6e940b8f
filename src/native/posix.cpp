#include "native/native.h"
#include "native/shared.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>
#ifdef __linux__
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/xattr.h>
#endif

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <string>
#include <vector>

#if __has_include(<sys/random.h>)
#include <sys/random.h>
#define XORFILE_HAVE_GETENTROPY 1
#endif

namespace {

constexpr mode_t permission_bits = S_IRWXU | S_IRWXG | S_IRWXO;
// Whoever may open the new file before its final mode keeps reading through
// that open: it is made for its owner alone.
constexpr mode_t private_bits = S_IRUSR | S_IWUSR;
// Every signal that ends the process from outside, beside the real-time
// ones; a crash's signals are left alone.
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
#ifdef SIGSTKFLT
    SIGSTKFLT,
#endif
};
constexpr int name_tries = 100;
constexpr int shell_signal_status = 128;
#ifdef __linux__
// Linux's own form of an ACL, kept in this attribute: a 4-byte version,
// then an entry in each 8 bytes, its tag and permissions 16 bits each and
// an id, all little-endian.
constexpr const char* acl_attribute = "system.posix_acl_access";
constexpr std::size_t acl_header = 4;
constexpr std::size_t acl_entry = 8;
constexpr unsigned acl_user_obj = 0x01;
constexpr unsigned acl_mask = 0x10;
constexpr unsigned acl_other = 0x20;
#endif

// The output's directory and name, and the new file's name in that directory
// until it is put in place or removed; empty where the output is written
// in place. Names are taken within the directory, so that a path of any length
// works and a directory renamed meanwhile does not move the output elsewhere.
// The handler reads the new file's name, so it changes only while the
// interrupts are blocked. O_PATH and O_SEARCH open a directory that may be
// written but not listed.
#if defined(O_PATH)
constexpr int directory_flags = O_PATH | O_DIRECTORY | O_CLOEXEC;
#elif defined(O_SEARCH)
constexpr int directory_flags = O_SEARCH | O_DIRECTORY | O_CLOEXEC;
#else
constexpr int directory_flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
#endif
int directory = -1;
std::string output_name;
std::string new_file;
sigset_t interrupt_set;

void remove_and_end(int signal_number)
{
    if (!new_file.empty()) {
        unlinkat(directory, new_file.c_str(), 0);
    }
    // The action is the default again: once unblocked, the signal ends the
    // process with a core dump where it makes one, and a shell sees which
    // it was. The first process of a PID namespace ignores it even so, and
    // ends as a shell reports a signal.
    std::raise(signal_number);
    sigset_t just_this;
    sigemptyset(&just_this);
    sigaddset(&just_this, signal_number);
    sigprocmask(SIG_UNBLOCK, &just_this, nullptr);
    _exit(shell_signal_status + signal_number);
}

sigset_t block_interrupts()
{
    sigset_t previous;
    sigprocmask(SIG_BLOCK, &interrupt_set, &previous);
    return previous;
}

void restore_signals(const sigset_t& previous)
{
    sigprocmask(SIG_SETMASK, &previous, nullptr);
}

// Done at the first open of either file: every signal that ends the
// process from outside removes the new file first, unless it was ignored
// at start, under nohup or in a background job, and a full pipe or disk
// fails a write instead of ending the process.
void prepare_process()
{
    static bool handled = false;
    if (handled) {
        return;
    }
    handled = true;
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGXFSZ, SIG_IGN);
    std::vector<int> signals(std::begin(interrupts), std::end(interrupts));
#ifdef SIGRTMIN
    // The C library keeps a few real-time signals for itself, below SIGRTMIN.
    for (int signal_number = SIGRTMIN; signal_number <= SIGRTMAX; ++signal_number) {
        signals.push_back(signal_number);
    }
#endif
    sigemptyset(&interrupt_set);
    for (const int signal_number : signals) {
        sigaddset(&interrupt_set, signal_number);
    }
    struct sigaction action = {};
    action.sa_handler = remove_and_end;
    action.sa_mask = interrupt_set;
    action.sa_flags = SA_RESETHAND;
    for (const int signal_number : signals) {
        struct sigaction previous;
        if (sigaction(signal_number, nullptr, &previous) == 0 && previous.sa_handler != SIG_IGN) {
            sigaction(signal_number, &action, nullptr);
        }
    }
}

// Removes the new file, if one is left.
void remove_new_file()
{
    const sigset_t previous = block_interrupts();
    if (!new_file.empty()) {
        unlinkat(directory, new_file.c_str(), 0);
        new_file.clear();
    }
    restore_signals(previous);
}

bool is_device(const struct stat& status)
{
    return S_ISCHR(status.st_mode) || S_ISBLK(status.st_mode) || S_ISFIFO(status.st_mode);
}

// The user's own, or root's: what the user may trust.
bool is_trusted(const struct stat& status)
{
    return status.st_uid == geteuid() || status.st_uid == 0;
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
    return is_device(status) && is_trusted(status) && !same_file(status, input_status);
}

// An append-only or immutable directory lets nothing made in it be renamed or
// removed, so every run would leave a whole copy behind. Only a directory
// that may be listed answers.
bool directory_keeps_files()
{
#if defined(FS_IOC_GETFLAGS)
    const int listing = openat(directory, ".", O_RDONLY | O_DIRECTORY | O_NONBLOCK | O_CLOEXEC);
    if (listing == -1) {
        return false;
    }
    int flags = 0;
    const bool keeps = ioctl(listing, FS_IOC_GETFLAGS, &flags) == 0
        && (flags & (FS_APPEND_FL | FS_IMMUTABLE_FL)) != 0;
    close(listing);
    return keeps;
#else
    return false;
#endif
}

// In a sticky directory (/tmp) only the name's owner, the directory's or root
// may replace a name: the kernel would refuse the rename after the copy.
bool sticky_directory_keeps(const struct stat& status)
{
    struct stat directory_status;
    const uid_t user = geteuid();
    return fstat(directory, &directory_status) == 0 && (directory_status.st_mode & S_ISVTX) != 0
        && status.st_uid != user && directory_status.st_uid != user && user != 0;
}

// What the output's name holds, and so what is done there.
enum class name_holds {
    nothing, // a new file is made
    replaceable, // a file or a link, replaced by a new file
    device, // a device or FIFO, written in place
    device_through_link, // the same, through a link of the user's or root's
    directory, // refused
    read_only_file, // refused: the user may not write it
    others_device, // refused: it would hand the input on to another user
    the_input, // refused: a device or FIFO that is the input itself
    others_in_sticky_directory, // refused: it cannot be replaced
    other_kind, // refused: a socket, whose server replacing would cut off
    kept_directory, // refused: an append-only or immutable directory
    unknown, // refused: the name cannot be looked at
};

name_holds judge_device(const struct stat& status, const struct stat& input_status, name_holds how)
{
    if (!is_trusted(status)) {
        return name_holds::others_device;
    }
    return same_file(status, input_status) ? name_holds::the_input : how;
}

// Judged by the name itself: a link is followed only where it is the
// user's or root's, and then only to a device or FIFO, as Linux's
// protected_symlinks would have it in any directory. Any other link is
// replaced like a file, whatever it leads to.
name_holds judge_output_name(const struct stat& input_status)
{
    struct stat status;
    if (fstatat(directory, output_name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno != ENOENT) {
            return name_holds::unknown;
        }
        return directory_keeps_files() ? name_holds::kept_directory : name_holds::nothing;
    }
    struct stat target;
    if (S_ISLNK(status.st_mode) && is_trusted(status)
        && fstatat(directory, output_name.c_str(), &target, 0) == 0 && is_device(target)) {
        return judge_device(target, input_status, name_holds::device_through_link);
    }
    if (is_device(status)) {
        return judge_device(status, input_status, name_holds::device);
    }
    if (S_ISDIR(status.st_mode)) {
        return name_holds::directory;
    }
    if (!S_ISREG(status.st_mode) && !S_ISLNK(status.st_mode)) {
        return name_holds::other_kind;
    }
    if (S_ISREG(status.st_mode)
        && faccessat(directory, output_name.c_str(), W_OK, AT_EACCESS) != 0) {
        return name_holds::read_only_file;
    }
    if (sticky_directory_keeps(status)) {
        return name_holds::others_in_sticky_directory;
    }
    return directory_keeps_files() ? name_holds::kept_directory : name_holds::replaceable;
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
std::FILE* open_in_place(name_holds how, const struct stat& input_status)
{
    const int follow = how == name_holds::device_through_link ? 0 : O_NOFOLLOW;
    const int descriptor
        = openat(directory, output_name.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC | follow);
    if (descriptor == -1) {
        return nullptr;
    }
    struct stat status;
    struct stat name_status;
    const bool still = fstat(descriptor, &status) == 0 && may_write_in_place(status, input_status)
        && fstatat(directory, output_name.c_str(), &name_status, AT_SYMLINK_NOFOLLOW) == 0
        && is_trusted(name_status);
    if (!still) {
        close(descriptor);
        return nullptr;
    }
    return stream_from_descriptor(descriptor, "wb");
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
int create_new_file()
{
    const long reported = fpathconf(directory, _PC_NAME_MAX);
    const std::size_t name_max
        = reported > 0 ? std::min(static_cast<std::size_t>(reported), longest_name) : longest_name;
    const sigset_t previous = block_interrupts();
    int descriptor = -1;
    std::uint32_t number = 0;
    for (int tries = 0; tries < name_tries && random_number(number); ++tries) {
        new_file = new_file_name(output_name, name_max, number);
        descriptor = openat(directory, new_file.c_str(),
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

enum class acl_state { none, present, unreadable };

// The access ACL of an open file, where it has an extended one. Only "no
// such attribute" and "not supported" say it has none.
acl_state read_acl(int descriptor, std::vector<unsigned char>& acl)
{
#ifdef __linux__
    const ssize_t size = fgetxattr(descriptor, acl_attribute, nullptr, 0);
    if (size < 0) {
        return errno == ENODATA || errno == ENOTSUP ? acl_state::none : acl_state::unreadable;
    }
    acl.resize(static_cast<std::size_t>(size));
    const ssize_t read_size = fgetxattr(descriptor, acl_attribute, acl.data(), acl.size());
    if (read_size < 0) {
        return acl_state::unreadable;
    }
    acl.resize(static_cast<std::size_t>(read_size));
    return acl_state::present;
#else
    (void)descriptor;
    (void)acl;
    return acl_state::none;
#endif
}

// The umask narrows an ACL as it narrows the mode: the owner's entry, the
// mask (which bounds every named entry and the group's) and other's.
void narrow_acl(std::vector<unsigned char>& acl, mode_t mask)
{
#ifdef __linux__
    for (std::size_t at = acl_header; at + acl_entry <= acl.size(); at += acl_entry) {
        const unsigned tag = acl[at] | acl[at + 1] << 8;
        mode_t denied = 0;
        switch (tag) {
        case acl_user_obj:
            denied = (mask & S_IRWXU) >> 6;
            break;
        case acl_mask:
            denied = (mask & S_IRWXG) >> 3;
            break;
        case acl_other:
            denied = mask & S_IRWXO;
            break;
        default:
            break;
        }
        acl[at + 2] &= static_cast<unsigned char>(~denied);
    }
#else
    (void)acl;
    (void)mask;
#endif
}

bool set_acl(int descriptor, const std::vector<unsigned char>& acl)
{
#ifdef __linux__
    return fsetxattr(descriptor, acl_attribute, acl.data(), acl.size(), 0) == 0;
#else
    (void)descriptor;
    (void)acl;
    return false;
#endif
}

// The input's bits. Where the output's group is another, its group and
// other classes get only what both classes have on the input, since either
// may hold users of the other. A new file's own ACL, from a directory's
// default one, makes the group bits its mask: they go.
mode_t mode_from_input(mode_t input_mode, bool same_group, bool own_acl)
{
    mode_t mode = input_mode & permission_bits;
    if (!same_group) {
        const mode_t shared = (mode >> 3) & mode & S_IRWXO;
        mode = (mode & S_IRWXU) | shared << 3 | shared;
    }
    return own_acl ? mode & ~S_IRWXG : mode;
}

// Where the input's permissions come from, for the new file.
enum class permissions_from {
    mode, // the input's mode
    acl, // the input's ACL, carried over
    owner, // the owner's bits alone: an ACL unread, or one for another group
};

permissions_from judge_permissions(acl_state input_acl, bool same_group)
{
    if (input_acl == acl_state::unreadable) {
        return permissions_from::owner;
    }
    if (input_acl == acl_state::present) {
        return same_group ? permissions_from::acl : permissions_from::owner;
    }
    return permissions_from::mode;
}

// Nobody may read, write or run the output who may not do so to the
// input, and the umask narrows it further, even where a directory's default
// ACL would leave it out. The input's group, where the user may give it,
// as cp -p tries.
bool give_final_permissions(int descriptor, int input_descriptor, const struct stat& input_status)
{
    struct stat status;
    const bool same_group = fchown(descriptor, static_cast<uid_t>(-1), input_status.st_gid) == 0
        || (fstat(descriptor, &status) == 0 && status.st_gid == input_status.st_gid);
    const mode_t mask = umask(0);
    umask(mask);
    const mode_t owner_mode = input_status.st_mode & S_IRWXU & ~mask;
    std::vector<unsigned char> acl;
    std::vector<unsigned char> own_acl;
    switch (judge_permissions(read_acl(input_descriptor, acl), same_group)) {
    case permissions_from::mode: {
        const bool has_own_acl = read_acl(descriptor, own_acl) != acl_state::none;
        return fchmod(descriptor,
                   mode_from_input(input_status.st_mode, same_group, has_own_acl) & ~mask)
            == 0;
    }
    case permissions_from::acl:
        narrow_acl(acl, mask);
        return set_acl(descriptor, acl) || fchmod(descriptor, owner_mode) == 0;
    case permissions_from::owner:
        return fchmod(descriptor, owner_mode) == 0;
    }
    return false;
}

std::FILE* open_new_file(int input_descriptor, const struct stat& input_status)
{
    const int descriptor = create_new_file();
    if (descriptor == -1) {
        return nullptr;
    }
    if (!give_final_permissions(descriptor, input_descriptor, input_status)) {
        close(descriptor);
        remove_new_file();
        return nullptr;
    }
    std::FILE* stream = stream_from_descriptor(descriptor, "wb");
    if (stream == nullptr) {
        remove_new_file();
    }
    return stream;
}

// Where the last name in the path starts: after its directory, or at 0.
std::size_t name_start(const std::string& path)
{
    return path.rfind('/') + 1;
}

bool open_directory(const std::string& path)
{
    if (directory != -1) {
        close(directory);
    }
    const std::size_t start = name_start(path);
    directory = open(start == 0 ? "." : path.substr(0, start).c_str(), directory_flags);
    output_name = path.substr(start);
    return directory != -1;
}

} // namespace

// Some platforms open a directory for reading and fail only on its first
// read, so the open file is asked what it is.
std::FILE* open_input(const std::string& path)
{
    prepare_process();
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
    prepare_process();
    const int input_descriptor = fileno(input);
    struct stat input_status;
    if (fstat(input_descriptor, &input_status) != 0 || !open_directory(path)) {
        return nullptr;
    }
    const name_holds holds = judge_output_name(input_status);
    switch (holds) {
    case name_holds::nothing:
    case name_holds::replaceable:
        return open_new_file(input_descriptor, input_status);
    case name_holds::device:
    case name_holds::device_through_link:
        return open_in_place(holds, input_status);
    case name_holds::directory:
    case name_holds::read_only_file:
    case name_holds::others_device:
    case name_holds::the_input:
    case name_holds::others_in_sticky_directory:
    case name_holds::other_kind:
    case name_holds::kept_directory:
    case name_holds::unknown:
        return nullptr;
    }
    return nullptr;
}

// Once the output is in place the run has succeeded, so no interrupt may
// end it after all: they stay blocked to the exit.
bool commit_output(std::FILE* output)
{
    if (!close_stream(output)) {
        remove_new_file();
        return false;
    }
    const sigset_t previous = block_interrupts();
    if (new_file.empty()
        || renameat(directory, new_file.c_str(), directory, output_name.c_str()) == 0) {
        new_file.clear();
        return true;
    }
    restore_signals(previous);
    remove_new_file();
    return false;
}

void discard_output(std::FILE* output)
{
    std::fclose(output);
    remove_new_file();
}

std::string narrow_key(const char* text)
{
    return text;
}
