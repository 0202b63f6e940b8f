#include "native/posix/link.h"

#include <unistd.h>

#if defined(O_PATH)
#include <limits.h>
#ifdef __linux__
#include <linux/magic.h>
#include <sys/statfs.h>
#endif

#include <algorithm>

namespace {

// Closes a descriptor, unless it is none or AT_FDCWD.
void close_held(int descriptor)
{
    if (descriptor >= 0) {
        close(descriptor);
    }
}

// Puts PATH's names on NAMES, a stack whose top is walked next. An
// absolute PATH starts again from the root: the next name is looked up
// whole ("/dev"), not in an open "/", which qemu-user takes for the root
// of its library prefix.
void push_names(std::vector<std::string>& names, const std::string& path, int& at)
{
    std::vector<std::string> parts;
    for (std::size_t start = 0; start < path.size();) {
        const std::size_t end = std::min(path.find('/', start), path.size());
        if (end > start && path.compare(start, end - start, ".") != 0) {
            parts.push_back(path.substr(start, end - start));
        }
        start = end + 1;
    }
    names.insert(names.end(), parts.rbegin(), parts.rend());
    if (path[0] == '/' && !names.empty()) {
        close_held(at);
        at = AT_FDCWD;
        names.back() = '/' + names.back();
    }
}

// Procfs's links (/dev/stdout's /proc/self/fd/1) lead to a process's own
// files, which no path may name ("pipe:[1234]"): the kernel follows them.
bool on_procfs(int descriptor)
{
#ifdef PROC_SUPER_MAGIC
    struct statfs file_system;
    return fstatfs(descriptor, &file_system) == 0 && file_system.f_type == PROC_SUPER_MAGIC;
#else
    (void)descriptor;
    return false;
#endif
}

} // namespace

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

// Each path is walked a name at a time, as the kernel walks it, but each
// link met is pinned and its owner and target read from that pin.
void follow_chain(int folder, const std::string& target, std::vector<uid_t>& owners, chain_end& end)
{
    int at = fcntl(folder, F_DUPFD_CLOEXEC, 0);
    std::vector<std::string> names;
    push_names(names, target, at);
    while (at != -1 && !names.empty() && owners.size() <= most_links) {
        const std::string name = names.back();
        names.pop_back();
        int pinned = openat(at, name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
        struct stat status;
        if (pinned == -1 || fstat(pinned, &status) != 0) {
            close_held(pinned);
            break;
        }
        if (S_ISLNK(status.st_mode)) {
            owners.push_back(status.st_uid);
            if (!on_procfs(pinned)) {
                const std::string next = link_target(pinned);
                close(pinned);
                if (next.empty()) {
                    break;
                }
                push_names(names, next, at);
                continue;
            }
            close(pinned);
            end.follow = 0;
            pinned = openat(at, name.c_str(), O_PATH | O_CLOEXEC);
            if (pinned == -1 || fstat(pinned, &status) != 0) {
                close_held(pinned);
                break;
            }
        }
        if (names.empty()) {
            close(pinned);
            end.found = true;
            end.node = status;
            end.folder = at;
            end.name = name;
            return;
        }
        end.follow = O_NOFOLLOW;
        close_held(at);
        at = pinned;
    }
    close_held(at);
}
#endif
