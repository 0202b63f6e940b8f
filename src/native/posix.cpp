#include "native/posix.h"
#include "native/native.h"
#include "native/shared.h"

#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>
#ifdef __linux__
#include <linux/capability.h>
#include <linux/fs.h>
#include <linux/loop.h>
#include <linux/major.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
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
// The parts of an ACL in Linux's own form (see posix.h).
#ifdef __linux__
constexpr const char* acl_attribute = "system.posix_acl_access";
#endif
constexpr std::size_t acl_header = 4;
constexpr std::size_t acl_entry = 8;
constexpr unsigned acl_user_obj = 0x01;
constexpr unsigned acl_user = 0x02;
constexpr unsigned acl_group = 0x08;
constexpr unsigned acl_mask = 0x10;
constexpr unsigned acl_other = 0x20;

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
int output_directory = -1;
std::string output_name;
std::string new_file;
sigset_t interrupt_set;

void remove_and_end(int signal_number)
{
    if (!new_file.empty()) {
        unlinkat(output_directory, new_file.c_str(), 0);
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
    // The C library keeps the few below SIGRTMIN for its threads, and lets
    // no program catch or block them.
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
        unlinkat(output_directory, new_file.c_str(), 0);
        new_file.clear();
    }
    restore_signals(previous);
}

bool is_device(const struct stat& status)
{
    return S_ISCHR(status.st_mode) || S_ISBLK(status.st_mode) || S_ISFIFO(status.st_mode);
}

// The user's own, or root's: what the user may trust.
bool is_trusted(const struct stat& status, uid_t user)
{
    return status.st_uid == user || status.st_uid == 0;
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
name_holds judge_device(const struct stat& status, const name_facts& facts, name_holds how)
{
    if (!is_trusted(status, facts.user)) {
        return name_holds::others_device;
    }
    return same_file(status, facts.input) ? name_holds::the_input : how;
}

unsigned acl_tag(const std::vector<unsigned char>& acl, std::size_t at)
{
    return acl[at] | acl[at + 1] << 8;
}

// The umask narrows an ACL as it narrows the mode: the owner's entry, the
// mask (which bounds every named entry and the group's) and other's.
// Linux ignores an ACL whose mask is empty and judges its named users and
// groups as other, so there other keeps only what each of them had.
std::vector<unsigned char> narrow_acl(std::vector<unsigned char> acl, mode_t mask)
{
    mode_t input_mask = S_IRWXO;
    mode_t named = S_IRWXO;
    bool has_named = false;
    for (std::size_t at = acl_header; at + acl_entry <= acl.size(); at += acl_entry) {
        const unsigned tag = acl_tag(acl, at);
        if (tag == acl_mask) {
            input_mask = acl[at + 2] & S_IRWXO;
        } else if (tag == acl_user || tag == acl_group) {
            named &= acl[at + 2];
            has_named = true;
        }
    }
    const mode_t named_reach = has_named ? named & input_mask : S_IRWXO;
    const mode_t group_class = input_mask & ~(mask >> 3) & S_IRWXO;
    for (std::size_t at = acl_header; at + acl_entry <= acl.size(); at += acl_entry) {
        mode_t kept = S_IRWXO;
        switch (acl_tag(acl, at)) {
        case acl_user_obj:
            kept = ~(mask >> 6);
            break;
        case acl_mask:
            kept = group_class;
            break;
        case acl_other:
            kept = group_class == 0 ? ~mask & named_reach : ~mask;
            break;
        default:
            break;
        }
        acl[at + 2] &= static_cast<unsigned char>(kept & S_IRWXO);
    }
    return acl;
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

// Hands an open descriptor to the C library as a stream, or closes it.
std::FILE* stream_from_descriptor(int descriptor, const char* mode)
{
    std::FILE* stream = fdopen(descriptor, mode);
    if (stream == nullptr) {
        close(descriptor);
    }
    return stream;
}

// An append-only or immutable directory lets nothing made in it be renamed or
// removed, so every run would leave a whole copy behind. statx tells without
// the right to list the directory; elsewhere only one that may be listed
// answers.
bool directory_keeps_files()
{
#if defined(STATX_ATTR_APPEND) && defined(STATX_ATTR_IMMUTABLE)
    constexpr std::uint64_t kept = STATX_ATTR_APPEND | STATX_ATTR_IMMUTABLE;
    struct statx status;
    if (statx(output_directory, "", AT_EMPTY_PATH, 0, &status) == 0
        && (status.stx_attributes_mask & kept) == kept) {
        return (status.stx_attributes & kept) != 0;
    }
#endif
#if defined(FS_IOC_GETFLAGS)
    const int listing
        = openat(output_directory, ".", O_RDONLY | O_DIRECTORY | O_NONBLOCK | O_CLOEXEC);
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

#ifdef __linux__
// Whether this process's user namespace maps the id, as MAP (uid_map or
// gid_map) says; without /proc, as the first namespace does.
bool is_mapped(const char* map, unsigned long id)
{
    std::FILE* ranges = std::fopen(map, "re");
    if (ranges == nullptr) {
        return true;
    }
    unsigned long inside = 0;
    unsigned long outside = 0;
    unsigned long count = 0;
    bool mapped = false;
    while (std::fscanf(ranges, "%lu %lu %lu", &inside, &outside, &count) == 3) {
        mapped = mapped || (id >= inside && id - inside < count);
    }
    std::fclose(ranges);
    return mapped;
}
#endif

// Whether the user may act for the name's owner, as root may: with
// CAP_FOWNER, over an owner and group that the user's namespace maps. Root
// of a namespace that unshare made has no power over anyone else's name.
bool overrides_owner(const struct stat& status)
{
#ifdef __linux__
    __user_cap_header_struct header = {_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct capabilities[_LINUX_CAPABILITY_U32S_3] = {};
    return syscall(SYS_capget, &header, capabilities) == 0
        && (capabilities[CAP_TO_INDEX(CAP_FOWNER)].effective & CAP_TO_MASK(CAP_FOWNER)) != 0
        && is_mapped("/proc/self/uid_map", status.st_uid)
        && is_mapped("/proc/self/gid_map", status.st_gid);
#else
    (void)status;
    return geteuid() == 0;
#endif
}

#if defined(O_PATH)
// What the pinned link leads to, read from the link itself; empty where it
// cannot be read whole.
std::string link_target(int link)
{
    std::string target(PATH_MAX, '\0');
    const ssize_t length = readlinkat(link, "", &target[0], target.size());
    if (length <= 0 || static_cast<std::size_t>(length) >= target.size()) {
        return std::string();
    }
    target.resize(static_cast<std::size_t>(length));
    return target;
}
#endif

// Gathers what judge_output_name decides by. A link is pinned first, so
// that the link whose owner is judged is the one whose target is looked
// at and, through TARGET, opened: another user who may write the directory
// cannot swap it meanwhile.
name_facts look_at_output(const struct stat& input_status, std::string& target)
{
    name_facts facts{};
    facts.input = input_status;
    facts.user = geteuid();
    struct stat directory_status;
    if (fstat(output_directory, &directory_status) != 0) {
        facts.error = errno;
        return facts;
    }
    facts.sticky_directory = (directory_status.st_mode & S_ISVTX) != 0;
    facts.directory_owner = directory_status.st_uid;
    facts.directory_keeps = directory_keeps_files();
#if defined(O_PATH)
    const int pinned
        = openat(output_directory, output_name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
    if (pinned == -1 || fstat(pinned, &facts.name) != 0) {
        facts.error = errno;
        if (pinned != -1) {
            close(pinned);
        }
        return facts;
    }
    facts.links_pinned = true;
    if (S_ISLNK(facts.name.st_mode)) {
        target = link_target(pinned);
        facts.target_found
            = !target.empty() && fstatat(output_directory, target.c_str(), &facts.target, 0) == 0;
    }
    close(pinned);
#else
    if (fstatat(output_directory, output_name.c_str(), &facts.name, AT_SYMLINK_NOFOLLOW) != 0) {
        facts.error = errno;
        return facts;
    }
#endif
    facts.writable = S_ISREG(facts.name.st_mode)
        && faccessat(output_directory, output_name.c_str(), W_OK, AT_EACCESS) == 0;
    facts.overrides_owner = facts.sticky_directory && overrides_owner(facts.name);
    return facts;
}

// A loop device writes to its backing file, which may be the input.
void look_at_loop(int descriptor, opened_facts& facts)
{
#ifdef __linux__
    if (!S_ISBLK(facts.opened.st_mode) || major(facts.opened.st_rdev) != LOOP_MAJOR) {
        return;
    }
    facts.loop = true;
    struct loop_info64 info = {};
    if (ioctl(descriptor, LOOP_GET_STATUS64, &info) == 0) {
        facts.backing_known = true;
        facts.backing_device = info.lo_device;
        facts.backing_inode = info.lo_inode;
    }
#else
    (void)descriptor;
    (void)facts;
#endif
}

// A device or FIFO is written where it is: neither cut nor replaced. It is
// opened only once judged, since opening some devices does something (a
// tape rewinds when closed), and written only where the open gave the one
// judged: PATH is the name, or the target read from the pinned link.
std::FILE* open_in_place(
    const std::string& path, int follow, const struct stat& judged, const struct stat& input_status)
{
    const int descriptor
        = openat(output_directory, path.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC | follow);
    if (descriptor == -1) {
        return nullptr;
    }
    opened_facts facts{};
    facts.judged = judged;
    facts.input = input_status;
    const bool looked = fstat(descriptor, &facts.opened) == 0;
    if (looked) {
        look_at_loop(descriptor, facts);
    }
    if (!looked || !may_write_opened(facts)) {
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
    const long reported = fpathconf(output_directory, _PC_NAME_MAX);
    const std::size_t name_max
        = reported > 0 ? std::min(static_cast<std::size_t>(reported), longest_name) : longest_name;
    const sigset_t previous = block_interrupts();
    int descriptor = -1;
    std::uint32_t number = 0;
    for (int tries = 0; tries < name_tries && random_number(number); ++tries) {
        new_file = new_file_name(output_name, name_max, number);
        descriptor = openat(output_directory, new_file.c_str(),
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

// Gathers what permissions_for_output decides by, and gives the new file
// what it decides. The input's group, where the user may give it, as cp -p
// tries.
bool give_final_permissions(int descriptor, int input_descriptor, const struct stat& input_status)
{
    permission_facts facts{};
    facts.input_mode = input_status.st_mode;
    facts.input_acl = read_acl(input_descriptor, facts.acl);
    struct stat status;
    facts.same_group = fchown(descriptor, static_cast<uid_t>(-1), input_status.st_gid) == 0
        || (fstat(descriptor, &status) == 0 && status.st_gid == input_status.st_gid);
    facts.umask = umask(0);
    umask(facts.umask);
    std::vector<unsigned char> own_acl;
    facts.own_acl = read_acl(descriptor, own_acl) != acl_state::none;
    const new_permissions permissions = permissions_for_output(facts);
    if (!permissions.acl.empty() && set_acl(descriptor, permissions.acl)) {
        return true;
    }
    return fchmod(descriptor, permissions.mode) == 0;
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
    if (output_directory != -1) {
        close(output_directory);
    }
    const std::size_t start = name_start(path);
    output_directory = open(start == 0 ? "." : path.substr(0, start).c_str(), directory_flags);
    output_name = path.substr(start);
    return output_directory != -1;
}

} // namespace

// Judged by the name itself: a link is followed only where it is the
// user's or root's, and then only to a device or FIFO, as Linux's
// protected_symlinks would have it in any directory; and only where it
// was pinned, so that the link judged is the link followed. Any other
// link is replaced like a file, whatever it leads to.
name_holds judge_output_name(const name_facts& facts)
{
    if (facts.error == ENOENT) {
        return facts.directory_keeps ? name_holds::kept_directory : name_holds::nothing;
    }
    if (facts.error != 0) {
        return name_holds::unknown;
    }
    const struct stat& name = facts.name;
    if (S_ISLNK(name.st_mode) && facts.links_pinned && is_trusted(name, facts.user)
        && facts.target_found && is_device(facts.target)) {
        return judge_device(facts.target, facts, name_holds::device_through_link);
    }
    if (is_device(name)) {
        return judge_device(name, facts, name_holds::device);
    }
    if (S_ISDIR(name.st_mode)) {
        return name_holds::directory;
    }
    if (!S_ISREG(name.st_mode) && !S_ISLNK(name.st_mode)) {
        return name_holds::other_kind;
    }
    if (S_ISREG(name.st_mode) && !facts.writable) {
        return name_holds::read_only_file;
    }
    // In a sticky directory (/tmp) only the name's owner, the directory's
    // or one with power over the owner may replace a name: the kernel would
    // refuse the rename after the copy.
    if (facts.sticky_directory && name.st_uid != facts.user && facts.directory_owner != facts.user
        && !facts.overrides_owner) {
        return name_holds::others_in_sticky_directory;
    }
    return facts.directory_keeps ? name_holds::kept_directory : name_holds::replaceable;
}

bool may_write_opened(const opened_facts& facts)
{
    const bool judged
        = facts.opened.st_dev == facts.judged.st_dev && facts.opened.st_ino == facts.judged.st_ino;
    const bool backed_by_input = facts.loop
        && (!facts.backing_known
            || (facts.backing_device == facts.input.st_dev
                && facts.backing_inode == facts.input.st_ino));
    return judged && !backed_by_input;
}

// An ACL that cannot be read might shut someone out, and one carried to
// another group would speak of the wrong group: the owner's bits alone.
new_permissions permissions_for_output(const permission_facts& facts)
{
    const mode_t owner_mode = facts.input_mode & S_IRWXU & ~facts.umask;
    if (facts.input_acl == acl_state::unreadable
        || (facts.input_acl == acl_state::present && !facts.same_group)) {
        return {{}, owner_mode};
    }
    if (facts.input_acl == acl_state::present) {
        return {narrow_acl(facts.acl, facts.umask), owner_mode};
    }
    return {{}, mode_from_input(facts.input_mode, facts.same_group, facts.own_acl) & ~facts.umask};
}

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
    std::string target;
    const name_facts facts = look_at_output(input_status, target);
    switch (judge_output_name(facts)) {
    case name_holds::nothing:
    case name_holds::replaceable:
        return open_new_file(input_descriptor, input_status);
    case name_holds::device:
        return open_in_place(output_name, O_NOFOLLOW, facts.name, input_status);
    case name_holds::device_through_link:
        return open_in_place(target, 0, facts.target, input_status);
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
        || renameat(output_directory, new_file.c_str(), output_directory, output_name.c_str())
            == 0) {
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
