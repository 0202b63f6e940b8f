#ifndef XORFILE_NATIVE_POSIX_PERMISSIONS_H
#define XORFILE_NATIVE_POSIX_PERMISSIONS_H

#include "native/native.h"

#include <sys/types.h>

#include <vector>

// The new file's permissions: nobody but the input's owner, who may change
// the input's own, may read, write or run the output who may not do so to
// the input, and the umask narrows it further.

// Whether the input has an ACL beyond its mode, and what it is. Linux
// keeps one in the attribute system.posix_acl_access: a 4-byte version,
// then an entry in each 8 bytes, its tag and permissions 16 bits each and
// an id, all little-endian. macOS's and the BSDs' are not carried.
enum class acl_state { none, present, unreadable, not_carried };

struct permission_facts {
    mode_t input_mode;
    acl_state input_acl;
    std::vector<unsigned char> acl; // the input's, where present
    bool same_group; // the new file has the input's group
    mode_t umask;
    bool own_acl; // the new file has an ACL of its own, from a default ACL
};

// The ACL where it is not empty, and the mode where it is empty or the ACL
// cannot be set.
struct new_permissions {
    std::vector<unsigned char> acl;
    mode_t mode;
};

new_permissions permissions_for_output(const permission_facts& facts);

// Gives the new file, open as DESCRIPTOR, what permissions_for_output
// decides for the input IN.
bool give_final_permissions(int descriptor, const input& in);

#endif
