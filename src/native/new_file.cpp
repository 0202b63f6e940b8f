#include "native/new_file.h"

#include <algorithm>

namespace {

constexpr int number_digits = 8;
constexpr std::size_t name_overhead = 2 + number_digits;
constexpr int name_tries = 100;

// The output whose new file exists, for the handlers; none where its
// new_name is empty.
output in_flight;

// With interrupts held.
void set_in_flight(const output& out)
{
    in_flight = out;
}

// The low half of a UTF-16 surrogate pair, or a UTF-8 continuation byte.
bool continues_character(native_char unit)
{
#ifdef _WIN32
    return unit >= 0xdc00 && unit <= 0xdfff;
#else
    return (static_cast<unsigned char>(unit) & 0xc0) == 0x80;
#endif
}

// Tries names until one is not taken, making the new file there or moving
// it there.
bool take_name(output& out, std::size_t name_max, bool move)
{
    std::uint32_t number = 0;
    for (int attempt = 0; attempt < name_tries && pick_number(number, attempt); ++attempt) {
        const native_string name = new_file_name(out.name, name_max, number);
        hold_interrupts();
        const tried result
            = move ? rename_new_file(out, name, false) : create_exclusively(out, name);
        if (result == tried::done) {
            out.new_name = name;
            set_in_flight(out);
        }
        release_interrupts();
        if (result != tried::taken) {
            return result == tried::done;
        }
    }
    return false;
}

} // namespace

std::size_t name_limit(long reported)
{
    return reported > 0 ? std::min(static_cast<std::size_t>(reported), longest_name) : longest_name;
}

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

bool make_new_file(output& out, std::size_t name_max)
{
    if (!take_name(out, name_max, false)) {
        return false;
    }
    if (out.stream == nullptr) {
        discard_output(out);
        return false;
    }
    return true;
}

bool move_new_file(output& out, std::size_t name_max)
{
    return take_name(out, name_max, true);
}

bool close_stream(std::FILE* stream)
{
    const bool written = std::fflush(stream) == 0 && std::ferror(stream) == 0;
    return std::fclose(stream) == 0 && written;
}

void remove_output_in_flight()
{
    if (!in_flight.new_name.empty()) {
        remove_new_file(in_flight);
    }
}

// Once the output is in place the run has succeeded, so no interrupt may
// end it after all: they stay held to the exit.
bool commit_output(output& out)
{
    const bool written = close_stream(out.stream);
    out.stream = nullptr;
    hold_interrupts();
    if (written && (out.new_name.empty() || rename_new_file(out, out.name, true) == tried::done)) {
        out.new_name.clear();
        set_in_flight(out);
        close_output(out);
        return true;
    }
    release_interrupts();
    discard_output(out);
    return false;
}

void discard_output(output& out)
{
    if (out.stream != nullptr) {
        std::fclose(out.stream);
        out.stream = nullptr;
    }
    hold_interrupts();
    if (!out.new_name.empty()) {
        remove_new_file(out);
        out.new_name.clear();
        set_in_flight(out);
    }
    release_interrupts();
    close_output(out);
}
