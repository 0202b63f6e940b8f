#ifndef XORFILE_NATIVE_POSIX_LINK_H
#define XORFILE_NATIVE_POSIX_LINK_H

#include <fcntl.h>
#include <sys/stat.h>

#include <cstddef>
#include <string>
#include <vector>

// A chain of links, where the system can hold a link open (O_PATH): each
// link is held as it is read (O_PATH with O_NOFOLLOW), and its owner and
// target are taken from that hold, so that the links judged are the links
// followed, however another user renames them meanwhile.

// The links one path may pass, as the kernel's MAXSYMLINKS.
constexpr std::size_t most_links = 40;

// Where a chain ends: whether at something, and what; its folder, open
// (or AT_FDCWD, for a name from the root), and its name there, to be
// opened without following a link, but for procfs's.
struct chain_end {
    bool found = false;
    struct stat node { };
    int folder = -1;
    std::string name;
    int follow = O_NOFOLLOW;
};

// What the held LINK leads to; empty where it cannot be read whole.
std::string link_target(int link);

// Follows the chain from a link whose TARGET leads on from FOLDER, putting
// the owner of each link met on OWNERS, up to one past most_links.
void follow_chain(
    int folder, const std::string& target, std::vector<uid_t>& owners, chain_end& end);

#endif
