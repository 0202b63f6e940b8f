#include "native/new_file.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>

namespace {

// ASCII, and COUNT of it, in the system's own text.
native_string text(const std::string& ascii, std::size_t count = 1)
{
    native_string once(ascii.begin(), ascii.end());
    native_string result;
    for (std::size_t done = 0; done < count; ++done) {
        result += once;
    }
    return result;
}

struct new_name_case {
    const char* what;
    native_string name;
    std::size_t name_max;
    std::uint32_t number;
    native_string want;
};

TEST(new_file_name, is_the_name_and_eight_hex_digits_within_the_limit)
{
    const new_name_case cases[] = {
        {"a short name", text("in.xor"), longest_name, 0x01234567, text(".in.xor.01234567")},
        {"every digit", text("in.xor"), longest_name, 0x89abcdef, text(".in.xor.89abcdef")},
        {"a name that just fits", text("n", 245), longest_name, 0,
            text(".") + text("n", 245) + text(".00000000")},
        {"a name one too long", text("n", 246), longest_name, 0,
            text(".") + text("n", 245) + text(".00000000")},
        {"a name of 251", text("n", 251), longest_name, 0xffffffff,
            text(".") + text("n", 245) + text(".ffffffff")},
        {"a smaller limit", text("n", 95), 100, 0, text(".") + text("n", 90) + text(".00000000")},
        {"a limit with no room for the name", text("in.xor"), 5, 0, text("..00000000")},
#ifdef _WIN32
        {"a cut inside a surrogate pair", text("a", 244) + L"\U0001F600" + text("b.xor"),
            longest_name, 0, text(".") + text("a", 244) + text(".00000000")},
#else
        {"a cut inside a character", text("a", 242) + "\xf0\x9f\x98\x80" + text("b.xor"),
            longest_name, 0, text(".") + text("a", 242) + text(".00000000")},
        {"continuation bytes alone", std::string(250, '\x80'), longest_name, 0, text("..00000000")},
#endif
    };
    for (const new_name_case& c : cases) {
        EXPECT_TRUE(new_file_name(c.name, c.name_max, c.number) == c.want) << c.what;
    }
}

TEST(name_limit, is_what_the_system_reports_within_255)
{
    const std::pair<long, std::size_t> cases[] = {{1530, 255}, {255, 255}, {143, 143}, {-1, 255}};
    for (const auto& [reported, limit] : cases) {
        EXPECT_EQ(name_limit(reported), limit) << "reported " << reported;
    }
}

} // namespace
