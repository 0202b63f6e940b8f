#include "native/shared.h"

namespace {

constexpr int number_digits = 8;
constexpr std::size_t name_overhead = 2 + number_digits;

// True for a unit that continues a character: the low half of a UTF-16
// surrogate pair, or a UTF-8 continuation byte.
#ifdef _WIN32
bool continues_character(wchar_t unit)
{
    return unit >= 0xdc00 && unit <= 0xdfff;
}
#else
bool continues_character(char unit)
{
    return (static_cast<unsigned char>(unit) & 0xc0) == 0x80;
}
#endif

} // namespace

native_string new_file_name(const native_string& name, std::size_t name_max, std::uint32_t number)
{
    std::size_t length = name.size();
    if (length + name_overhead > name_max) {
        length = name_max > name_overhead ? name_max - name_overhead : 0;
        while (length > 0 && continues_character(name[length])) {
            --length;
        }
    }
    native_string result = native_char('.') + name.substr(0, length) + native_char('.');
    for (int shift = 4 * (number_digits - 1); shift >= 0; shift -= 4) {
        result += native_char("0123456789abcdef"[(number >> shift) & 0xf]);
    }
    return result;
}

bool close_stream(std::FILE* stream)
{
    const bool written = std::fflush(stream) == 0 && std::ferror(stream) == 0;
    return std::fclose(stream) == 0 && written;
}
