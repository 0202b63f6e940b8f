#ifndef XORFILE_NATIVE_WINDOWS_NEW_FILE_H
#define XORFILE_NATIVE_WINDOWS_NEW_FILE_H

#include "native/native.h"

#include <cstdint>

// The first number of a run's new file names: the process's own, so that
// runs at the same time try different names first.
std::uint32_t first_new_file_number();

// Makes the new file read-only, as a read-only input's output is.
bool make_read_only(const output& out);

#endif
