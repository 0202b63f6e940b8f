#ifndef XORFILE_TRANSFORM_H
#define XORFILE_TRANSFORM_H

#include <cstdint>
#include <cstdio>

// Reads a key text as strtol does in base 16, clamped to 32 bits on every
// platform. Never fails: a text with no digits gives 0.
std::int32_t parse_key(const char* text);

// Copies in to out from in's current position, each byte XOR the key's low
// eight bits. Stops at the end of in, or early on a read or write error; the
// caller tells which by ferror on each stream.
void xor_copy(std::FILE* in, std::FILE* out, std::int32_t key);

#endif
