#include "native/posix/device.h"
#include "native/posix/name.h"
#include "native/posix/permissions.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cerrno>
#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

namespace {

constexpr uid_t user = 1000;
constexpr uid_t other = 1001;
constexpr uid_t root = 0;
constexpr dev_t disk = 0x801;
constexpr dev_t devices = 5;
constexpr dev_t null_device = 0x103;
constexpr dev_t loop_device = 0x700;

struct stat node(mode_t type, uid_t owner, ino_t inode, dev_t rdev = 0, dev_t device = disk)
{
    struct stat status = {};
    status.st_mode = type | 0644;
    status.st_uid = owner;
    status.st_dev = device;
    status.st_ino = inode;
    status.st_rdev = rdev;
    return status;
}

struct stat file(uid_t owner)
{
    return node(S_IFREG, owner, 20);
}

struct stat fifo(uid_t owner)
{
    return node(S_IFIFO, owner, 21);
}

struct stat link_of(uid_t owner)
{
    return node(S_IFLNK, owner, 22);
}

struct stat null_of(uid_t owner)
{
    return node(S_IFCHR, owner, 23, null_device, devices);
}

// The input: a file of the user's, unless a row says otherwise.
struct stat input_file()
{
    return node(S_IFREG, user, 10);
}

// The user's own directory, neither sticky nor kept, where links can be
// pinned and the name holds NAME, which the user may write.
name_facts at(const struct stat& name)
{
    name_facts facts = {};
    facts.name = name;
    facts.input = input_file();
    facts.writable = S_ISREG(name.st_mode);
    facts.links_pinned = true;
    facts.directory_owner = user;
    facts.user = user;
    return facts;
}

name_facts failed(int error)
{
    name_facts facts = at(file(user));
    facts.error = error;
    return facts;
}

// A chain of links of these OWNERS, the name's first, that ends at TARGET.
name_facts chain_to(const std::vector<uid_t>& owners, const struct stat& target)
{
    name_facts facts = at(link_of(owners[0]));
    facts.link_owners = owners;
    facts.target_found = true;
    facts.target = target;
    return facts;
}

name_facts link_to(uid_t owner, const struct stat& target)
{
    return chain_to({owner}, target);
}

// FACTS with one of them changed.
template <typename Field, typename Value>
name_facts with(name_facts facts, Field name_facts::*field, Value value)
{
    facts.*field = value;
    return facts;
}

// In a sticky directory of OWNER's, such as root's /tmp.
name_facts sticky(name_facts facts, uid_t owner)
{
    facts.sticky_directory = true;
    facts.directory_owner = owner;
    return facts;
}

struct name_case {
    const char* what;
    name_facts facts;
    name_holds holds;
};

TEST(judge_output_name, decides_by_the_name_itself)
{
    const struct stat input_null = null_of(root);
    struct stat other_null_node = null_of(root);
    other_null_node.st_ino = 99;
    other_null_node.st_dev = disk;
    const struct stat input_loop = node(S_IFBLK, root, 30, loop_device, devices);
    struct stat other_loop_node = input_loop;
    other_loop_node.st_ino = 31;
    const struct stat input_fifo = node(S_IFIFO, user, 10);
    const name_case cases[] = {
        {"nothing", failed(ENOENT), name_holds::nothing},
        {"nothing, in an append-only directory",
            with(failed(ENOENT), &name_facts::directory_keeps, keeps_files::yes),
            name_holds::kept_directory},
        {"nothing, in a directory whose flags cannot be read",
            with(failed(ENOENT), &name_facts::directory_keeps, keeps_files::unknown),
            name_holds::flags_unknown},
        {"a name that cannot be looked at", failed(EACCES), name_holds::unknown},
        {"the user's file", at(file(user)), name_holds::replaceable},
        {"another user's file that the user may write", at(file(other)), name_holds::replaceable},
        {"a file that the user may not write", with(at(file(user)), &name_facts::writable, false),
            name_holds::read_only_file},
        {"a file in an append-only directory",
            with(at(file(user)), &name_facts::directory_keeps, keeps_files::yes),
            name_holds::kept_directory},
        {"a file in a directory whose flags cannot be read",
            with(at(file(user)), &name_facts::directory_keeps, keeps_files::unknown),
            name_holds::flags_unknown},
        {"a directory", at(node(S_IFDIR, user, 24)), name_holds::directory},
        {"a socket", at(node(S_IFSOCK, user, 25)), name_holds::other_kind},
        {"the user's FIFO", at(fifo(user)), name_holds::device},
        {"root's device", at(null_of(root)), name_holds::device},
        {"root's device in an append-only directory",
            with(at(null_of(root)), &name_facts::directory_keeps, keeps_files::yes),
            name_holds::device},
        {"another user's FIFO", at(fifo(other)), name_holds::others_device},
        {"another user's device", at(null_of(other)), name_holds::others_device},
        {"the FIFO that is the input", with(at(input_fifo), &name_facts::input, input_fifo),
            name_holds::the_input},
        {"another node of the input's device",
            with(at(other_null_node), &name_facts::input, input_null), name_holds::the_input},
        {"another node of the input's disk",
            with(at(other_loop_node), &name_facts::input, input_loop), name_holds::the_input},
        {"a node of another device than the input's",
            with(at(null_of(root)), &name_facts::input, input_loop), name_holds::device},
        {"the user's link to root's device", link_to(user, null_of(root)),
            name_holds::device_through_link},
        {"root's link to the user's FIFO", link_to(root, fifo(user)),
            name_holds::device_through_link},
        {"root's link to another user's FIFO, run by root",
            with(link_to(root, fifo(user)), &name_facts::user, root), name_holds::others_device},
        {"another user's link to root's device", link_to(other, null_of(root)),
            name_holds::replaceable},
        {"the user's link to another user's FIFO", link_to(user, fifo(other)),
            name_holds::others_device},
        {"the user's link to the input's device",
            with(link_to(user, other_null_node), &name_facts::input, input_null),
            name_holds::the_input},
        {"the user's link to a file", link_to(user, file(other)), name_holds::replaceable},
        {"the user's link through root's link to root's device",
            chain_to({user, root}, null_of(root)), name_holds::device_through_link},
        {"the user's link through another user's link to root's FIFO",
            chain_to({user, other, root}, fifo(root)), name_holds::replaceable},
        {"41 links of the user's to root's device",
            chain_to(std::vector<uid_t>(41, user), null_of(root)), name_holds::replaceable},
        {"a FIFO with the input's inode number on another device",
            at(node(S_IFIFO, user, input_file().st_ino, 0, devices)), name_holds::device},
        {"the user's link to a directory", link_to(user, node(S_IFDIR, user, 26)),
            name_holds::replaceable},
        {"the user's link to nothing", with(link_to(user, {}), &name_facts::target_found, false),
            name_holds::replaceable},
        {"the user's link to a device, where links cannot be pinned",
            with(link_to(user, null_of(root)), &name_facts::links_pinned, false),
            name_holds::replaceable},
        {"another user's file in root's sticky directory", sticky(at(file(other)), root),
            name_holds::others_in_sticky_directory},
        {"another user's link in root's sticky directory",
            sticky(link_to(other, file(other)), root), name_holds::others_in_sticky_directory},
        {"the user's file in root's sticky directory", sticky(at(file(user)), root),
            name_holds::replaceable},
        {"another user's file in the user's sticky directory", sticky(at(file(other)), user),
            name_holds::replaceable},
        {"another user's file in a sticky directory, for one with power over its owner",
            with(sticky(at(file(other)), root), &name_facts::overrides_owner, true),
            name_holds::replaceable},
        {"another user's file in a sticky directory, for a root without power over its owner",
            with(sticky(at(file(other)), other + 1), &name_facts::user, root),
            name_holds::others_in_sticky_directory},
    };
    for (const name_case& c : cases) {
        EXPECT_EQ(static_cast<int>(judge_output_name(c.facts)), static_cast<int>(c.holds))
            << c.what;
    }
}

struct opened_case {
    const char* what;
    struct stat judged;
    struct stat opened;
    std::vector<stacked_device> stack;
    bool stack_known;
    bool writes;
};

// A loop device and the inode of its backing file on the input's disk.
stacked_device loop_on(ino_t inode)
{
    return {loop_device, true, true, disk, inode};
}

TEST(may_write_opened, writes_only_the_device_judged_and_never_the_input)
{
    const struct stat null = null_of(root);
    struct stat elsewhere = null;
    elsewhere.st_dev = disk;
    const struct stat loop = node(S_IFBLK, root, 23, loop_device, devices);
    const dev_t partition_device = makedev(259, 0);
    const struct stat partition = node(S_IFBLK, root, 24, partition_device, devices);
    const struct stat mapper = node(S_IFBLK, root, 25, makedev(253, 0), devices);
    const ino_t input = input_file().st_ino;
    const stacked_device unknown = {loop_device, true, false, 0, 0};
    const stacked_device whole = {partition_device, false, false, 0, 0};
    const opened_case cases[] = {
        {"the device judged", null, null, {}, true, true},
        {"another node", null, node(S_IFCHR, root, 24, null_device, devices), {}, true, false},
        {"the same node number on another file system", null, elsewhere, {}, true, false},
        {"a loop device backed by another file", loop, loop, {loop_on(input + 1)}, true, true},
        {"a loop device backed by the input", loop, loop, {loop_on(input)}, true, false},
        {"a loop device whose backing file is not told", loop, loop, {unknown}, true, false},
        {"a partition of a loop device backed by the input", partition, partition,
            {whole, loop_on(input)}, true, false},
        {"a device-mapper device over a loop device backed by another file", mapper, mapper,
            {whole, loop_on(input + 1)}, true, true},
        {"a device-mapper device over a loop device backed by the input", mapper, mapper,
            {whole, whole, loop_on(input)}, true, false},
        {"without sysfs, a loop device backed by another file", loop, loop, {loop_on(input + 1)},
            false, true},
        {"without sysfs, a device numbered past a disk's own", partition, partition, {whole}, false,
            false},
    };
    for (const opened_case& c : cases) {
        const opened_facts facts = {c.judged, c.opened, input_file(), c.stack, c.stack_known};
        EXPECT_EQ(may_write_opened(facts), c.writes) << c.what;
    }
}

struct map_case {
    const char* map;
    unsigned long id;
    bool mapped;
};

TEST(is_mapped, holds_what_the_kernel_maps)
{
    constexpr unsigned long overflow = 65534;
    const map_case cases[] = {
        {"         0          0 4294967295", 0, true},
        {"         0          0 4294967295", overflow, true},
        {"0 1000 1", 0, true},
        {"0 1000 1", 1, false},
        {"0 100000 65536", 1000, true},
        {"0 100000 65536", overflow, false},
        {"0 1000 1\n1 100000 65536\n", 65536, true},
        {"", 0, false},
    };
    for (const map_case& c : cases) {
        EXPECT_EQ(is_mapped(c.map, c.id, overflow), c.mapped) << c.map << ": " << c.id;
    }
}

// An ACL in the form the kernel keeps it, written and read as getfacl -n
// shows it ("u::rw- u:99:r-- g::r-- m::r-- o::---").
std::vector<unsigned char> acl(const std::string& text)
{
    std::vector<unsigned char> bytes = {2, 0, 0, 0};
    std::istringstream entries(text);
    std::string entry;
    while (entries >> entry) {
        const std::size_t second_colon = entry.find(':', 2);
        const std::string id = entry.substr(2, second_colon - 2);
        const unsigned tag = entry[0] == 'u' ? (id.empty() ? 0x01 : 0x02)
            : entry[0] == 'g'                ? (id.empty() ? 0x04 : 0x08)
            : entry[0] == 'm'                ? 0x10
                                             : 0x20;
        unsigned bits = 0;
        for (const char permission : entry.substr(second_colon + 1)) {
            bits = bits << 1 | (permission != '-');
        }
        const std::uint32_t number = id.empty() ? 0xffffffff : std::stoul(id);
        for (const unsigned value : {tag, 0U, bits, 0U, number & 0xff, number >> 8 & 0xff,
                 number >> 16 & 0xff, number >> 24}) {
            bytes.push_back(static_cast<unsigned char>(value));
        }
    }
    return bytes;
}

std::string shown(const std::vector<unsigned char>& bytes)
{
    std::string text;
    for (std::size_t at = 4; at + 8 <= bytes.size(); at += 8) {
        const unsigned tag = bytes[at];
        const bool named = tag == 0x02 || tag == 0x08;
        text += text.empty() ? "" : " ";
        text += tag <= 0x02 ? 'u' : tag <= 0x08 ? 'g' : tag == 0x10 ? 'm' : 'o';
        text += ':';
        text += named ? std::to_string(bytes[at + 4] | bytes[at + 5] << 8) : "";
        text += ':';
        text += (bytes[at + 2] & 4) != 0 ? 'r' : '-';
        text += (bytes[at + 2] & 2) != 0 ? 'w' : '-';
        text += (bytes[at + 2] & 1) != 0 ? 'x' : '-';
    }
    return text;
}

constexpr acl_state none = acl_state::none;
constexpr acl_state present = acl_state::present;
constexpr acl_state unreadable = acl_state::unreadable;
constexpr bool same = true;
constexpr bool other_group = false;
constexpr bool own_acl = true;
constexpr const char* reader = "u::rw- u:99:r-- g::r-- m::r-- o::r--";

// The input's mode and ACL, the group, the umask and the new file's own
// ACL; then the ACL given ("" for none) and the mode.
struct permission_case {
    const char* what;
    mode_t input_mode;
    acl_state state;
    const char* input_acl;
    bool same_group;
    mode_t umask;
    bool own_acl;
    const char* acl;
    mode_t mode;
};

TEST(permissions_for_output, let_in_nobody_the_input_shuts_out)
{
    const permission_case cases[] = {
        {"the mode, less the umask", 0640, none, "", same, 022, false, "", 0640},
        {"the mode, less a wider umask", 0644, none, "", same, 077, false, "", 0600},
        {"no setuid, setgid or sticky bit", 07755, none, "", same, 022, false, "", 0755},
        {"the owner's bits less the umask", 0700, none, "", same, 0277, false, "", 0500},
        {"another group: what the group and other both have", 0664, none, "", other_group, 002,
            false, "", 0644},
        {"another group: nothing that only the group has", 0640, none, "", other_group, 022, false,
            "", 0600},
        {"another group: nothing that only other has", 0604, none, "", other_group, 022, false, "",
            0600},
        {"an ACL of its own: its mask, the group bits, goes", 0640, none, "", same, 022, own_acl,
            "", 0600},
        {"an ACL that cannot be read: the owner's bits", 0640, unreadable, "", same, 022, false, "",
            0600},
        {"an ACL that cannot be read: the owner's bits less the umask", 0700, unreadable, "", same,
            0277, false, "", 0500},
        {"an ACL that is not carried (macOS, the BSDs): the owner's bits", 0644,
            acl_state::not_carried, "", same, 022, false, "", 0600},
        {"an ACL, carried over", 0644, present, reader, same, 022, false, reader, 0600},
        {"an ACL, not carried to another group", 0644, present, reader, other_group, 022, false, "",
            0600},
        {"an ACL where it cannot be set: the owner's bits", 0440, present,
            "u::r-- u:99:r-- g::r-- m::r-- o::---", same, 022, false,
            "u::r-- u:99:r-- g::r-- m::r-- o::---", 0400},
        {"an ACL less the umask", 0644, present, reader, same, 077, false,
            "u::rw- u:99:r-- g::r-- m::--- o::---", 0600},
        {"an ACL less the owner's umask", 0644, present, reader, same, 0277, false,
            "u::r-- u:99:r-- g::r-- m::--- o::---", 0400},
        {"an ACL whose mask the umask empties: a user it shuts out", 0624, present,
            "u::rw- u:99:--- g::-w- m::-w- o::r--", same, 022, false,
            "u::rw- u:99:--- g::-w- m::--- o::---", 0600},
        {"an ACL whose mask the umask empties: a user shut out", 0644, present,
            "u::rw- u:99:--- g::r-- m::r-- o::r--", same, 0040, false,
            "u::rw- u:99:--- g::r-- m::--- o::---", 0600},
        {"an ACL whose mask the umask empties: a group shut out", 0644, present,
            "u::rw- g::r-- g:98:--- m::r-- o::r--", same, 0060, false,
            "u::rw- g::r-- g:98:--- m::--- o::---", 0600},
        {"an ACL whose mask the umask empties: every named entry reads", 0644, present,
            "u::rw- u:99:rw- g::r-- g:98:r-- m::rw- o::r--", same, 0070, false,
            "u::rw- u:99:rw- g::r-- g:98:r-- m::--- o::r--", 0600},
        {"an ACL whose mask the umask empties: a named entry's reach is its mask's", 0644, present,
            "u::rw- u:99:r-- g::r-- m::-w- o::r--", same, 0020, false,
            "u::rw- u:99:r-- g::r-- m::--- o::---", 0600},
        {"an ACL of a mask alone, which the umask empties", 0644, present,
            "u::rw- g::r-- m::r-- o::r--", same, 0040, false, "u::rw- g::r-- m::--- o::r--", 0600},
    };
    for (const permission_case& c : cases) {
        const permission_facts facts
            = {c.input_mode, c.state, acl(c.input_acl), c.same_group, c.umask, c.own_acl};
        const new_permissions permissions = permissions_for_output(facts);
        EXPECT_EQ(shown(permissions.acl), c.acl) << c.what;
        EXPECT_EQ(permissions.mode, c.mode) << c.what << ": mode " << std::oct << permissions.mode;
    }
}

} // namespace
