#include "native/posix/device.h"

#include <fcntl.h>
#include <limits.h>
#include <unistd.h>
#ifdef __linux__
#include <dirent.h>
#include <linux/loop.h>
#include <linux/major.h>
#include <sys/ioctl.h>
#include <sys/sysmacros.h>
#endif

#include <cstdio>
#include <string>

namespace {

// Linux numbers partitions past a disk's own minors here, loop devices'
// among them.
constexpr unsigned extended_major = 259;

bool is_input(const stacked_device& device, const struct stat& input)
{
    return device.backing_device == static_cast<std::uint64_t>(input.st_dev)
        && device.backing_inode == static_cast<std::uint64_t>(input.st_ino);
}

#ifdef __linux__
// Enough for any stack a machine builds.
constexpr std::size_t most_devices = 64;

// A small sysfs file's text, less its line end; empty where it cannot be read.
std::string read_text(int folder, const char* name)
{
    char text[PATH_MAX];
    const int descriptor = openat(folder, name, O_RDONLY | O_CLOEXEC);
    const ssize_t length = descriptor == -1 ? -1 : read(descriptor, text, sizeof text);
    if (descriptor != -1) {
        close(descriptor);
    }
    std::string result(text, length > 0 ? static_cast<std::size_t>(length) : 0);
    return result.empty() || result.back() != '\n' ? result : result.substr(0, result.size() - 1);
}

// A device in sysfs, from its folder: its number, and, where it is a loop
// device, its backing file, looked at by the name sysfs gives it.
bool read_device(int folder, stacked_device& device)
{
    unsigned major_number = 0;
    unsigned minor_number = 0;
    if (std::sscanf(read_text(folder, "dev").c_str(), "%u:%u", &major_number, &minor_number) != 2) {
        return false;
    }
    device.device = makedev(major_number, minor_number);
    device.loop = faccessat(folder, "loop", F_OK, 0) == 0;
    const std::string backing = read_text(folder, "loop/backing_file");
    struct stat status;
    device.backing_known = device.loop && !backing.empty() && stat(backing.c_str(), &status) == 0;
    device.backing_device = device.backing_known ? status.st_dev : 0;
    device.backing_inode = device.backing_known ? status.st_ino : 0;
    return true;
}

// Up from a partition to its whole disk, and down from each device to the
// devices it is made of. False where sysfs cannot be read.
bool read_stack(opened_facts& facts)
{
    const std::string top = "/sys/dev/block/" + std::to_string(major(facts.opened.st_rdev)) + ":"
        + std::to_string(minor(facts.opened.st_rdev));
    std::vector<int> folders = {open(top.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC)};
    bool read = folders[0] != -1;
    for (std::size_t at = 0; read && at < folders.size() && at < most_devices; ++at) {
        stacked_device device = {};
        read = folders[at] != -1 && (at == 0 || read_device(folders[at], device));
        if (!read) {
            break;
        }
        if (at > 0) {
            facts.stack.push_back(device);
        }
        if (faccessat(folders[at], "partition", F_OK, 0) == 0) {
            folders.push_back(openat(folders[at], "..", O_PATH | O_DIRECTORY | O_CLOEXEC));
        }
        const int under = openat(folders[at], "slaves", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        DIR* listing = under == -1 ? nullptr : fdopendir(under);
        for (const dirent* entry = listing == nullptr ? nullptr : readdir(listing);
             entry != nullptr; entry = readdir(listing)) {
            if (entry->d_name[0] != '.') {
                folders.push_back(openat(under, entry->d_name, O_PATH | O_DIRECTORY | O_CLOEXEC));
            }
        }
        if (listing != nullptr) {
            closedir(listing);
        }
    }
    for (const int folder : folders) {
        if (folder != -1) {
            close(folder);
        }
    }
    return read;
}
#endif

} // namespace

// Where sysfs cannot be read, what a device stands on is not known: a
// device numbered in the extended major, a partition of a loop device
// perhaps, is refused.
bool may_write_opened(const opened_facts& facts)
{
    if (facts.opened.st_dev != facts.judged.st_dev || facts.opened.st_ino != facts.judged.st_ino) {
        return false;
    }
    for (const stacked_device& device : facts.stack) {
        if (device.loop && (!device.backing_known || is_input(device, facts.input))) {
            return false;
        }
    }
    return facts.stack_known || !S_ISBLK(facts.opened.st_mode)
        || major(facts.opened.st_rdev) != extended_major;
}

// The loop ioctl tells a loop device's backing file by its numbers, and a
// partition of one answers for it.
void look_at_device(int descriptor, opened_facts& facts)
{
    facts.stack_known = true;
    if (!S_ISBLK(facts.opened.st_mode)) {
        return;
    }
    stacked_device top = {facts.opened.st_rdev, false, false, 0, 0};
#ifdef __linux__
    const unsigned number = major(facts.opened.st_rdev);
    struct loop_info64 info = {};
    top.loop = (number == LOOP_MAJOR || number == extended_major)
        && ioctl(descriptor, LOOP_GET_STATUS64, &info) == 0;
    top.backing_known = top.loop;
    top.backing_device = info.lo_device;
    top.backing_inode = info.lo_inode;
    facts.stack.push_back(top);
    facts.stack_known = read_stack(facts);
#else
    (void)descriptor;
    facts.stack.push_back(top);
#endif
}
