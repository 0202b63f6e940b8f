#include "run.h"

#include "native/native.h"
#include "transform/transform.h"

#include <cstdint>
#include <cstdio>
#include <memory>

namespace {

constexpr int status_ok = 0;
constexpr int status_usage = 1;
constexpr int status_file = 2;

constexpr const char* usage_line = "Error Arg < 2\n";
constexpr const char* open_input_line = "Can't open input file\n";
constexpr const char* open_output_line = "Can't open output file\n";
constexpr const char* read_input_line = "Can't read input file\n";
constexpr const char* write_output_line = "Can't write output file\n";

constexpr native_char output_suffix[] = {'.', 'x', 'o', 'r', '\0'};

struct file_closer {
    void operator()(std::FILE* stream) const { std::fclose(stream); }
};
using file_ptr = std::unique_ptr<std::FILE, file_closer>;

native_string make_output_path(const native_string& input_path)
{
    return input_path + output_suffix;
}

int fail(const char* line, int status)
{
    std::fputs(line, stdout);
    return status;
}

} // namespace

int run(int argc, native_char* argv[])
{
    if (argc < 3) {
        return fail(usage_line, status_usage);
    }
    const native_string input_path = argv[1];
    const native_string output_path = make_output_path(input_path);

    const input in = open_input(input_path);
    if (in.stream == nullptr) {
        return fail(open_input_line, status_file);
    }
    file_ptr in_stream{in.stream};
    output out = open_output(output_path, in);
    if (out.stream == nullptr) {
        return fail(open_output_line, status_file);
    }

    const std::int32_t key = parse_key(narrow_key(argv[2]).c_str());
    xor_copy(in_stream.get(), out.stream, key);

    const bool read_failed = std::ferror(in_stream.get()) != 0;
    in_stream.reset();
    if (read_failed) {
        discard_output(out);
        return fail(read_input_line, status_file);
    }
    if (!commit_output(out)) {
        return fail(write_output_line, status_file);
    }
    return status_ok;
}
