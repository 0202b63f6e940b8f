#include "transform.h"

#include <algorithm>
#include <cstdlib>

#if __has_include(<unistd.h>)
#include <unistd.h>
#endif

namespace {

// One thread owns both streams, so the byte calls may skip the stream lock
// where the platform has calls that do.
#if defined(_WIN32)
int read_byte(std::FILE* in)
{
    return _getc_nolock(in);
}
int write_byte(int c, std::FILE* out)
{
    return _putc_nolock(c, out);
}
#elif defined(_POSIX_VERSION)
int read_byte(std::FILE* in)
{
    return getc_unlocked(in);
}
int write_byte(int c, std::FILE* out)
{
    return putc_unlocked(c, out);
}
#else
int read_byte(std::FILE* in)
{
    return std::fgetc(in);
}
int write_byte(int c, std::FILE* out)
{
    return std::fputc(c, out);
}
#endif

} // namespace

std::int32_t parse_key(const char* text)
{
    // long has 64 bits on some platforms; clamp as a 32-bit strtol would.
    const long value = std::strtol(text, nullptr, 16);
    return static_cast<std::int32_t>(std::clamp<long>(value, INT32_MIN, INT32_MAX));
}

void xor_copy(std::FILE* in, std::FILE* out, std::int32_t key)
{
    const auto key_byte = static_cast<unsigned char>(key);
    for (;;) {
        const int c = read_byte(in);
        // Only the stream's state tells end and failure; it need not be asked
        // after a byte, since EOF is no byte value.
        if (c == EOF && (std::feof(in) || std::ferror(in))) {
            return;
        }
        if (write_byte(c ^ key_byte, out) == EOF) {
            return;
        }
    }
}
