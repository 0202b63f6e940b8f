#include "transform/transform.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <system_error>
#include <vector>

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

namespace {

using bytes = std::vector<unsigned char>;

struct file_closer {
    void operator()(std::FILE* stream) const { std::fclose(stream); }
};
using file_ptr = std::unique_ptr<std::FILE, file_closer>;

// The wide open holds a folder's name in any script.
std::FILE* open_for_update(const std::filesystem::path& path)
{
#ifdef _WIN32
    return _wfopen(path.c_str(), L"w+b");
#else
    return std::fopen(path.c_str(), "w+b");
#endif
}

// A file in the working folder, which the suite sets to one under the build
// folder, removed with the object. Not tmpfile(): on Windows it makes its
// files in the root of C:, where a user may not write.
class scratch_file {
public:
    scratch_file()
        : path_(std::filesystem::current_path()
            / ("xorfile_test_" + std::to_string(std::random_device{}())))
        , stream_(open_for_update(path_))
    {
    }
    scratch_file(const scratch_file&) = delete;
    scratch_file& operator=(const scratch_file&) = delete;
    ~scratch_file()
    {
        stream_.reset();
        std::error_code ignored;
        std::filesystem::remove(path_, ignored);
    }
    std::FILE* get() const { return stream_.get(); }

private:
    std::filesystem::path path_;
    file_ptr stream_;
};

std::unique_ptr<scratch_file> temp_with(const bytes& content)
{
    auto file = std::make_unique<scratch_file>();
    for (const unsigned char byte : content) {
        std::fputc(byte, file->get());
    }
    std::rewind(file->get());
    return file;
}

bytes read_all(std::FILE* stream)
{
    std::rewind(stream);
    bytes content;
    for (int c = std::fgetc(stream); c != EOF; c = std::fgetc(stream)) {
        content.push_back(static_cast<unsigned char>(c));
    }
    return content;
}

bytes xor_through_files(const bytes& input, std::int32_t key)
{
    const auto in = temp_with(input);
    const scratch_file out;
    xor_copy(in->get(), out.get(), key);
    EXPECT_FALSE(std::ferror(in->get()));
    EXPECT_FALSE(std::ferror(out.get()));
    return read_all(out.get());
}

bytes every_byte_value()
{
    bytes all(256);
    for (int i = 0; i < 256; ++i) {
        all[i] = static_cast<unsigned char>(i);
    }
    return all;
}

struct key_case {
    const char* text;
    std::int32_t value;
};

TEST(parse_key, follows_base_16_strtol_clamped_to_32_bits)
{
    const key_case cases[] = {
        {"1f", 0x1f},
        {"1F", 0x1f},
        {" \t\n\v\f\r1f", 0x1f},
        {"+1f", 0x1f},
        {"-1", -1},
        {"0x1f", 0x1f},
        {"0X1F", 0x1f},
        {"-0x10", -0x10},
        {"1fzz", 0x1f},
        {"1f 20", 0x1f},
        {"", 0},
        {"zz", 0},
        {"g1", 0},
        {"-", 0},
        {"+", 0},
        {"0x", 0},
        {"0xg1", 0},
        {" -x1", 0},
        {"7ffffffe", INT32_MAX - 1},
        {"7fffffff", INT32_MAX},
        {"80000000", INT32_MAX},
        {"ffffffff", INT32_MAX},
        {"100000041", INT32_MAX},
        {"ffffffffffffffffffffffff", INT32_MAX},
        {"-7fffffff", INT32_MIN + 1},
        {"-80000000", INT32_MIN},
        {"-80000001", INT32_MIN},
        {"-100000041", INT32_MIN},
        {"-ffffffffffffffffffffffff", INT32_MIN},
    };
    for (const key_case& c : cases) {
        EXPECT_EQ(parse_key(c.text), c.value) << "key text \"" << c.text << '"';
    }
}

TEST(xor_copy, maps_every_byte_value_through_the_key_byte)
{
    const std::int32_t keys[]
        = {0, 1, 0x0a, 0x0d, 0x1a, 0x80, 0xff, 0x1ff, -1, INT32_MAX, INT32_MIN};
    const bytes input = every_byte_value();
    for (const std::int32_t key : keys) {
        const bytes output = xor_through_files(input, key);
        ASSERT_EQ(output.size(), input.size()) << "key " << key;
        for (std::size_t i = 0; i < input.size(); ++i) {
            EXPECT_EQ(output[i], input[i] ^ (key & 0xff)) << "key " << key << ", byte " << i;
        }
    }
}

TEST(xor_copy, undoes_itself_with_the_same_key)
{
    bytes input;
    for (int i = 0; i < 100000; ++i) {
        input.push_back(static_cast<unsigned char>(i * 7 + i / 256));
    }
    const std::int32_t key = parse_key("a5");
    EXPECT_EQ(xor_through_files(xor_through_files(input, key), key), input);
}

TEST(xor_copy, copies_an_empty_input_to_an_empty_output)
{
    EXPECT_TRUE(xor_through_files({}, 0x5a).empty());
}

TEST(xor_copy, starts_at_the_inputs_current_position)
{
    const auto in = temp_with({1, 2, 3, 4});
    const scratch_file out;
    std::fgetc(in->get());
    xor_copy(in->get(), out.get(), 0xf0);
    EXPECT_EQ(read_all(out.get()), (bytes{0xf2, 0xf3, 0xf4}));
}

TEST(xor_copy, ends_on_a_read_error_and_leaves_it_on_the_stream)
{
    const scratch_file out;
    const auto in = temp_with({1, 2, 3});
    // With its descriptor closed underneath, the stream's next read fails.
    close(fileno(in->get()));
    xor_copy(in->get(), out.get(), 0x5a);
    EXPECT_TRUE(std::ferror(in->get()));
    EXPECT_TRUE(read_all(out.get()).empty());
}

} // namespace
