#ifndef XORFILE_NATIVE_POSIX_DEVICE_H
#define XORFILE_NATIVE_POSIX_DEVICE_H

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <vector>

// A device or FIFO is written in place only where the open gave the one
// judged, and never where its bytes would land in the input: a block
// device is judged with all it stands on, and a loop device among them
// writes to its backing file.

// A block device, or one under it, and its backing file if it is a loop
// device (or the partition of one, which answers for it).
struct stacked_device {
    dev_t device;
    bool loop;
    bool backing_known;
    std::uint64_t backing_device;
    std::uint64_t backing_inode;
};

// What the open gave, looked at through its descriptor: for a block
// device, the devices it stands on, itself first (its whole disk where it
// is a partition; what a device-mapper or md device is made of), as far as
// sysfs tells.
struct opened_facts {
    struct stat judged;
    struct stat opened;
    struct stat input;
    std::vector<stacked_device> stack;
    bool stack_known; // sysfs could be read
};

bool may_write_opened(const opened_facts& facts);

// Gathers the stack of the block device open as DESCRIPTOR.
void look_at_device(int descriptor, opened_facts& facts);

#endif
