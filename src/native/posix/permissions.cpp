#include "native/posix/permissions.h"

#include <sys/stat.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/xattr.h>
#elif defined(__APPLE__) || defined(__FreeBSD__) || defined(__NetBSD__)
#include <sys/acl.h>
#endif

#include <cerrno>
#include <cstddef>
#include <cstdio>

namespace {

constexpr mode_t permission_bits = S_IRWXU | S_IRWXG | S_IRWXO;
// The parts of an ACL in Linux's own form (see permissions.h).
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
#elif defined(__APPLE__)
    (void)acl;
    const acl_t extended = acl_get_fd_np(descriptor, ACL_TYPE_EXTENDED);
    if (extended == nullptr) {
        return errno == ENOENT || errno == ENOTSUP ? acl_state::none : acl_state::unreadable;
    }
    acl_free(extended);
    return acl_state::not_carried;
#elif defined(__FreeBSD__) || defined(__NetBSD__)
    // POSIX.1e or NFSv4, by the file system; a trivial one is the mode's.
    (void)acl;
    const acl_t kept = acl_get_fd(descriptor);
    if (kept == nullptr) {
        return errno == EOPNOTSUPP ? acl_state::none : acl_state::unreadable;
    }
    int trivial = 0;
    const bool told = acl_is_trivial_np(kept, &trivial) == 0;
    acl_free(kept);
    return told && trivial != 0 ? acl_state::none : acl_state::not_carried;
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

} // namespace

// An ACL that cannot be read or carried might shut someone out, and one
// carried to another group would speak of the wrong group: the owner's
// bits alone.
new_permissions permissions_for_output(const permission_facts& facts)
{
    const mode_t owner_mode = facts.input_mode & S_IRWXU & ~facts.umask;
    if (facts.input_acl == acl_state::unreadable || facts.input_acl == acl_state::not_carried
        || (facts.input_acl == acl_state::present && !facts.same_group)) {
        return {{}, owner_mode};
    }
    if (facts.input_acl == acl_state::present) {
        return {narrow_acl(facts.acl, facts.umask), owner_mode};
    }
    const mode_t mode = mode_from_input(facts.input_mode, facts.same_group, facts.own_acl);
    return {{}, static_cast<mode_t>(mode & ~facts.umask)};
}

// The input's group, where the user may give it, as cp -p tries.
bool give_final_permissions(int descriptor, const input& in)
{
    permission_facts facts{};
    facts.input_mode = in.facts.st_mode;
    facts.input_acl = read_acl(fileno(in.stream), facts.acl);
    struct stat status;
    facts.same_group = fchown(descriptor, static_cast<uid_t>(-1), in.facts.st_gid) == 0
        || (fstat(descriptor, &status) == 0 && status.st_gid == in.facts.st_gid);
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
