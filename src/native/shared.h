#ifndef XORFILE_NATIVE_SHARED_H
#define XORFILE_NATIVE_SHARED_H

#include "native/native.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>

// What the platforms' files share.

// The longest name a file may have, in the units the system counts: bytes
// on POSIX, UTF-16 units on Windows. File systems that report more (FAT's
// 1530 bytes on Linux) still refuse a name of more than 255 characters.
constexpr std::size_t longest_name = 255;

// The name of the new file that becomes the output NAME: ".NAME." and
// NUMBER in eight hex digits, NAME cut at a character's start where the
// whole would pass name_max.
native_string new_file_name(const native_string& name, std::size_t name_max, std::uint32_t number);

// Flushes and closes the stream: true only if every byte reached the file
// and it closed cleanly.
bool close_stream(std::FILE* stream);

#endif
