#include "native/posix/name.h"
#include "native/new_file.h"
#include "native/posix/device.h"
#include "native/posix/link.h"
#include "native/posix/permissions.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#ifdef __linux__
#include <linux/capability.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#endif

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

// O_PATH and O_SEARCH open a directory that may be written but not listed.
#if defined(O_PATH)
constexpr int directory_flags = O_PATH | O_DIRECTORY | O_CLOEXEC;
#elif defined(O_SEARCH)
constexpr int directory_flags = O_SEARCH | O_DIRECTORY | O_CLOEXEC;
#else
constexpr int directory_flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
#endif
// The ids a user namespace's map may hold.
constexpr unsigned long every_id = 4294967295UL;

bool is_device(const struct stat& status)
{
    return S_ISCHR(status.st_mode) || S_ISBLK(status.st_mode) || S_ISFIFO(status.st_mode);
}

// The user's own, or root's: what the user may trust.
bool is_trusted(uid_t owner, uid_t user)
{
    return owner == user || owner == 0;
}

bool all_trusted(const std::vector<uid_t>& owners, uid_t user)
{
    for (const uid_t owner : owners) {
        if (!is_trusted(owner, user)) {
            return false;
        }
    }
    return owners.size() <= most_links;
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
    if (!is_trusted(status.st_uid, facts.user)) {
        return name_holds::others_device;
    }
    return same_file(status, facts.input) ? name_holds::the_input : how;
}

// What a new file comes to, by the directory's flags.
name_holds new_file_in(keeps_files keeps, name_holds otherwise)
{
    return keeps == keeps_files::yes    ? name_holds::kept_directory
        : keeps == keeps_files::unknown ? name_holds::flags_unknown
                                        : otherwise;
}

// statx tells without the right to list the directory; elsewhere only one
// that may be listed answers.
keeps_files directory_keeps_files(int folder)
{
#if defined(STATX_ATTR_APPEND) && defined(STATX_ATTR_IMMUTABLE)
    constexpr std::uint64_t kept = STATX_ATTR_APPEND | STATX_ATTR_IMMUTABLE;
    struct statx status;
    if (statx(folder, "", AT_EMPTY_PATH, 0, &status) == 0
        && (status.stx_attributes_mask & kept) == kept) {
        return (status.stx_attributes & kept) != 0 ? keeps_files::yes : keeps_files::no;
    }
#endif
#if defined(FS_IOC_GETFLAGS)
    const int listing = openat(folder, ".", O_RDONLY | O_DIRECTORY | O_NONBLOCK | O_CLOEXEC);
    if (listing == -1) {
        return keeps_files::unknown;
    }
    int flags = 0;
    const bool told = ioctl(listing, FS_IOC_GETFLAGS, &flags) == 0;
    close(listing);
    if (!told) {
        return keeps_files::unknown;
    }
    return (flags & (FS_APPEND_FL | FS_IMMUTABLE_FL)) != 0 ? keeps_files::yes : keeps_files::no;
#else
    (void)folder;
    return keeps_files::unknown;
#endif
}

#ifdef __linux__
// The whole text of a small file, or empty.
std::string read_file(const char* path)
{
    std::string text;
    std::FILE* file = std::fopen(path, "re");
    for (int c = file == nullptr ? EOF : std::getc(file); c != EOF; c = std::getc(file)) {
        text += static_cast<char>(c);
    }
    if (file != nullptr) {
        std::fclose(file);
    }
    return text;
}

// The id that the kernel shows for an owner its maps leave out.
unsigned long overflow_id(const char* path)
{
    constexpr unsigned long usual = 65534;
    const std::string text = read_file(path);
    return text.empty() ? usual : std::strtoul(text.c_str(), nullptr, 10);
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
        && is_mapped(read_file("/proc/self/uid_map"), status.st_uid,
            overflow_id("/proc/sys/kernel/overflowuid"))
        && is_mapped(read_file("/proc/self/gid_map"), status.st_gid,
            overflow_id("/proc/sys/kernel/overflowgid"));
#else
    (void)status;
    return geteuid() == 0;
#endif
}

// Gathers what judge_output_name decides by. A link is pinned first, so
// that the link whose owner is judged is the one whose target is looked
// at, and END where its chain ends is what is opened: another user who may
// write a directory on the way cannot swap a link meanwhile.
name_facts look_at_output(const output& out, const struct stat& input_status, chain_end& end)
{
    name_facts facts{};
    facts.input = input_status;
    facts.user = geteuid();
    struct stat directory_status;
    if (fstat(out.folder, &directory_status) != 0) {
        facts.error = errno;
        return facts;
    }
    facts.sticky_directory = (directory_status.st_mode & S_ISVTX) != 0;
    facts.directory_owner = directory_status.st_uid;
    facts.directory_keeps = directory_keeps_files(out.folder);
#if defined(O_PATH)
    const int pinned = openat(out.folder, out.name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
    if (pinned == -1 || fstat(pinned, &facts.name) != 0) {
        facts.error = errno;
        if (pinned != -1) {
            close(pinned);
        }
        return facts;
    }
    facts.links_pinned = true;
    if (S_ISLNK(facts.name.st_mode)) {
        facts.link_owners.push_back(facts.name.st_uid);
        const std::string target = link_target(pinned);
        if (!target.empty()) {
            follow_chain(out.folder, target, facts.link_owners, end);
        }
        facts.target_found = end.found;
        facts.target = end.node;
    }
    close(pinned);
#else
    (void)end;
    if (fstatat(out.folder, out.name.c_str(), &facts.name, AT_SYMLINK_NOFOLLOW) != 0) {
        facts.error = errno;
        return facts;
    }
#endif
    facts.writable = S_ISREG(facts.name.st_mode)
        && faccessat(out.folder, out.name.c_str(), W_OK, AT_EACCESS) == 0;
    facts.overrides_owner = facts.sticky_directory && overrides_owner(facts.name);
    return facts;
}

// A device or FIFO is written where it is: neither cut nor replaced. It is
// opened only once judged, since opening some devices does something (a
// tape rewinds when closed), and written only where the open gave the one
// judged: NAME in FOLDER is the output's, or where its chain of links ends.
bool open_in_place(output& out, int folder, const std::string& name, int follow,
    const struct stat& judged, const struct stat& input_status)
{
    const int descriptor = openat(folder, name.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC | follow);
    if (descriptor == -1) {
        return false;
    }
    opened_facts facts{};
    facts.judged = judged;
    facts.input = input_status;
    const bool looked = fstat(descriptor, &facts.opened) == 0;
    if (looked) {
        look_at_device(descriptor, facts);
    }
    if (!looked || !may_write_opened(facts)) {
        close(descriptor);
        return false;
    }
    out.stream = stream_on(descriptor, "wb");
    return out.stream != nullptr;
}

// Where the folder's flags cannot be read, the empty new file is renamed
// once, as the whole one will be: an append-only or immutable folder
// refuses it before a byte is copied.
bool open_new_file(output& out, const input& in, bool try_rename)
{
    const std::size_t name_max = name_limit(fpathconf(out.folder, _PC_NAME_MAX));
    return make_new_file(out, name_max) && (!try_rename || move_new_file(out, name_max))
        && give_final_permissions(fileno(out.stream), in);
}

} // namespace

// Judged by the name itself: a link is followed only where it and every
// link after it are the user's or root's, no more than the kernel follows,
// and then only to a device or FIFO, as Linux's protected_symlinks would
// have it in any directory; and only where each was pinned, so that the
// links judged are the links followed. Any other link is replaced like a
// file, whatever it leads to.
name_holds judge_output_name(const name_facts& facts)
{
    if (facts.error == ENOENT) {
        return new_file_in(facts.directory_keeps, name_holds::nothing);
    }
    if (facts.error != 0) {
        return name_holds::unknown;
    }
    const struct stat& name = facts.name;
    if (S_ISLNK(name.st_mode) && facts.links_pinned && all_trusted(facts.link_owners, facts.user)
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
    return new_file_in(facts.directory_keeps, name_holds::replaceable);
}

bool is_mapped(const std::string& map, unsigned long id, unsigned long overflow)
{
    unsigned long inside = 0;
    unsigned long outside = 0;
    unsigned long count = 0;
    int used = 0;
    bool mapped = false;
    bool maps_all = false;
    for (const char* text = map.c_str();
         std::sscanf(text, "%lu %lu %lu%n", &inside, &outside, &count, &used) == 3; text += used) {
        mapped = mapped || (id >= inside && id - inside < count);
        maps_all = maps_all || (inside == 0 && count == every_id);
    }
    return mapped && (id != overflow || maps_all);
}

output open_output(const std::string& path, const input& in)
{
    output out;
    const std::size_t start = path.rfind('/') + 1;
    out.folder = open(start == 0 ? "." : path.substr(0, start).c_str(), directory_flags);
    out.name = path.substr(start);
    if (out.folder == -1) {
        return out;
    }
    chain_end end;
    const name_facts facts = look_at_output(out, in.facts, end);
    bool opened = false;
    switch (judge_output_name(facts)) {
    case name_holds::nothing:
    case name_holds::replaceable:
        opened = open_new_file(out, in, false);
        break;
    case name_holds::flags_unknown:
        opened = open_new_file(out, in, true);
        break;
    case name_holds::device:
        opened = open_in_place(out, out.folder, out.name, O_NOFOLLOW, facts.name, in.facts);
        break;
    case name_holds::device_through_link:
        opened = open_in_place(out, end.folder, end.name, end.follow, facts.target, in.facts);
        break;
    case name_holds::directory:
    case name_holds::read_only_file:
    case name_holds::others_device:
    case name_holds::the_input:
    case name_holds::others_in_sticky_directory:
    case name_holds::other_kind:
    case name_holds::kept_directory:
    case name_holds::unknown:
        break;
    }
    if (end.folder >= 0) {
        close(end.folder);
    }
    if (!opened) {
        discard_output(out);
    }
    return out;
}
