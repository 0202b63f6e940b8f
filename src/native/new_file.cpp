#include "native/new_file.h"

#include <algorithm>

namespace {

constexpr int number_digits = 8;
constexpr std::size_t name_overhead = 2 + number_digits;
constexpr int name_tries = 100;
// A rename that another program holds up is tried again for this long, in
// milliseconds, as Git for Windows does, pausing ever longer up to the
// longest pause.
constexpr std::uint32_t replace_wait = 3000;
constexpr std::uint32_t longest_pause = 250;

// The output whose new file exists, for the handlers; none where new_name
// is empty. It changes only while interrupts are held.
output in_flight;

void register_in_flight(const output& out)
{
    in_flight = out;
}

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

// Removes the new file, if any, and forgets it.
void remove_made(output& out)
{
    hold_interrupts();
    if (!out.new_name.empty()) {
        remove_new_file(out);
        out.new_name.clear();
        register_in_flight(output{});
    }
    release_interrupts();
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
    std::uint32_t number = 0;
    creation result = creation::failed;
    for (int attempt = 0; attempt < name_tries && pick_number(number, attempt); ++attempt) {
        out.new_name = new_file_name(out.name, name_max, number);
        hold_interrupts();
        result = create_exclusively(out);
        if (result == creation::made) {
            register_in_flight(out);
        }
        release_interrupts();
        if (result != creation::name_taken) {
            break;
        }
    }
    if (result != creation::made) {
        out.new_name.clear();
        return false;
    }
    if (!open_new_file_stream(out)) {
        discard_output(out);
        return false;
    }
    return true;
}

bool move_new_file(output& out, std::size_t name_max)
{
    std::uint32_t number = 0;
    for (int attempt = 0; attempt < name_tries && pick_number(number, attempt + 1); ++attempt) {
        const native_string moved = new_file_name(out.name, name_max, number);
        hold_interrupts();
        const creation result = rename_new_file_to(out, moved);
        if (result == creation::made) {
            out.new_name = moved;
            register_in_flight(out);
        }
        release_interrupts();
        if (result != creation::name_taken) {
            return result == creation::made;
        }
    }
    return false;
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
// end it after all: they stay held to the exit. Between tries they are
// let go, so that a user's interrupt ends the run at once.
bool commit_output(output& out)
{
    const bool written = close_stream(out.stream);
    out.stream = nullptr;
    if (!written) {
        discard_output(out);
        return false;
    }
    if (out.new_name.empty()) {
        close_output(out);
        return true;
    }
    const std::uint32_t start = clock_ms();
    for (std::uint32_t pause = 1;; pause = std::min(pause * 2, longest_pause)) {
        hold_interrupts();
        const renaming result = rename_new_file(out);
        if (result == renaming::done) {
            out.new_name.clear();
            register_in_flight(output{});
            close_output(out);
            return true;
        }
        release_interrupts();
        if (result != renaming::busy || clock_ms() - start >= replace_wait) {
            break;
        }
        pause_ms(pause);
    }
    discard_output(out);
    return false;
}

void discard_output(output& out)
{
    if (out.stream != nullptr) {
        std::fclose(out.stream);
        out.stream = nullptr;
    }
    remove_made(out);
    close_output(out);
}
