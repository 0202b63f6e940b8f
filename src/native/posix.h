#ifndef XORFILE_NATIVE_POSIX_H
#define XORFILE_NATIVE_POSIX_H

#include "native/native.h"

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <vector>

// The decisions of posix.cpp, made from facts that its system calls
// gathered, so that each rule can be tried without them.

// What a look at the output's name found. A link is pinned before it is
// looked at, where the system can (O_PATH): its owner and target are those
// of the one link that is judged and followed.
struct name_facts {
    int error; // 0, or the errno of the look: ENOENT where there is nothing
    struct stat name; // the name itself, a link not followed
    bool target_found; // a link whose target was looked at
    struct stat target; // what a link leads to
    struct stat input;
    bool writable; // the user may write the file at the name
    bool links_pinned; // the system pinned a link, so it may be followed
    bool sticky_directory;
    uid_t directory_owner;
    bool directory_keeps; // append-only or immutable
    uid_t user; // the effective user
    bool overrides_owner; // the user may act as the name's owner (CAP_FOWNER)
};

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

name_holds judge_output_name(const name_facts& facts);

// What the open of a device or FIFO in place gave, looked at through the
// descriptor it opened: the device is written only if it is the one judged,
// and not a loop device whose backing file is the input.
struct opened_facts {
    struct stat judged;
    struct stat opened;
    bool loop; // a loop device
    bool backing_known; // its backing file could be asked for
    std::uint64_t backing_device;
    std::uint64_t backing_inode;
    struct stat input;
};

bool may_write_opened(const opened_facts& facts);

// Whether the input's ACL could be read, and what it is. Linux keeps an ACL
// in the attribute system.posix_acl_access: a 4-byte version, then an entry
// in each 8 bytes, its tag and permissions 16 bits each and an id, all
// little-endian.
enum class acl_state { none, present, unreadable };

struct permission_facts {
    mode_t input_mode;
    acl_state input_acl;
    std::vector<unsigned char> acl; // the input's, where present
    bool same_group; // the new file has the input's group
    mode_t umask;
    bool own_acl; // the new file has an ACL of its own, from a default ACL
};

// The new file's permissions: the ACL where it is not empty, and the mode
// where it is empty or the ACL cannot be set.
struct new_permissions {
    std::vector<unsigned char> acl;
    mode_t mode;
};

// Nobody may read, write or run the output who may not do so to the
// input, and the umask narrows it further.
new_permissions permissions_for_output(const permission_facts& facts);

#endif
