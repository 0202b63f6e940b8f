#ifndef XORFILE_NATIVE_POSIX_PROCESS_H
#define XORFILE_NATIVE_POSIX_PROCESS_H

#include <cstdio>

// Hands an open descriptor to the C library as a stream, or closes it.
std::FILE* stream_from_descriptor(int descriptor, const char* mode);

#endif
