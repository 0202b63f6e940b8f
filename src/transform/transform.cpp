#include "transform.h"

#include <algorithm>
#include <cstdlib>

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
        const int c = std::fgetc(in);
        // Byte 255 is data: only the stream's state tells end and failure.
        if (std::feof(in) || std::ferror(in)) {
            return;
        }
        if (std::fputc(c ^ key_byte, out) == EOF) {
            return;
        }
    }
}
