#ifndef XORFILE_NATIVE_POSIX_NAME_H
#define XORFILE_NATIVE_POSIX_NAME_H

#include <sys/stat.h>
#include <sys/types.h>

#include <string>
#include <vector>

// What the output's name holds, decided from facts that system calls
// gathered, so that each rule can be tried without them.

// Whether the folder is append-only or immutable, which lets nothing made
// in it be renamed or removed.
enum class keeps_files { no, yes, unknown };

// What a look at the output's name found. A link is pinned before it is
// looked at, where the system can (O_PATH), and so is each link of its
// chain: their owners and where the chain ends are those of the links
// that are judged and followed.
struct name_facts {
    int error; // 0, or the errno of the look: ENOENT where there is nothing
    struct stat name; // the name itself, a link not followed
    std::vector<uid_t> link_owners; // of each link from the name on
    bool target_found; // where a chain of links ends
    struct stat target;
    struct stat input;
    bool writable; // the user may write the file at the name
    bool links_pinned; // the system pinned a link, so it may be followed
    bool sticky_directory;
    uid_t directory_owner;
    keeps_files directory_keeps;
    uid_t user; // the effective user
    bool overrides_owner; // the user may act as the name's owner (CAP_FOWNER)
};

// What the output's name holds, and so what is done there.
enum class name_holds {
    nothing, // a new file is made
    replaceable, // a file or a link, replaced by a new file
    flags_unknown, // either, where the folder's flags cannot be read: the
                   // new file is renamed once before a byte is copied
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

// Whether a user namespace's MAP (uid_map or gid_map as /proc shows it,
// empty where it cannot be read) holds ID. The kernel shows an owner that
// no map holds as OVERFLOW, which counts as one only where the map holds
// every id.
bool is_mapped(const std::string& map, unsigned long id, unsigned long overflow);

#endif
