#ifndef XORFILE_NATIVE_H
#define XORFILE_NATIVE_H

#include <cstdio>
#include <string>
#ifndef _WIN32
#include <sys/stat.h>
#endif

// Paths in the system's own text: wide on Windows, whose narrow arguments
// lose every character the ANSI code page lacks; bytes elsewhere. A folder
// is where the output's names are taken: on POSIX its descriptor, so that
// a path of any length works and a folder renamed meanwhile moves nothing;
// on Windows its path, ending in a separator, or empty.
#ifdef _WIN32
using native_char = wchar_t;
using native_handle = void*;
using native_folder = std::wstring;
constexpr native_handle no_handle = nullptr;
inline const native_folder no_folder;
// A device input's reserved name, since its handle says nothing of it; a
// file input's identity and read-only attribute.
struct input_facts {
    std::wstring device;
    bool is_file;
    unsigned long volume;
    unsigned long index_high;
    unsigned long index_low;
    bool read_only;
};
#else
using native_char = char;
using native_handle = int;
using native_folder = int;
constexpr native_handle no_handle = -1;
constexpr native_folder no_folder = -1;
using input_facts = struct stat;
#endif
using native_string = std::basic_string<native_char>;

// The calling sequence, once per run:
//   in = open_input(path)
//   out = open_output(path + ".xor", in)
//   ... write to out.stream ...
//   commit_output(out), or discard_output(out) to give up
// open_input prepares the process: from then on an interrupt removes what
// was made, and a full pipe or disk fails a write instead of ending it.

// The input, looked at once as it is opened.
struct input {
    std::FILE* stream = nullptr;
    input_facts facts{};
};

// The output: the stream the bytes go to, the output's folder and name,
// and the new file that becomes it (new_name empty where the output is
// written in place), held open where the system can.
struct output {
    std::FILE* stream = nullptr;
    native_folder folder = no_folder;
    native_string name;
    native_string new_name;
    native_handle new_file = no_handle;
};

// Opens the input for binary reading, sharing it with other readers and
// writers. No stream if it cannot be opened or is a directory.
input open_input(const native_string& path);

// Opens where the output is written. What the name holds decides: a device
// or FIFO that may be written is written in place; anything that may be
// replaced is, by a new file beside it, made for its owner alone and then
// given no more access than the input. No stream, with nothing made or
// changed, if the name may be neither written nor replaced.
output open_output(const native_string& path, const input& in);

// Closes the output and puts the new file in place, replacing what is at
// the name (a link too, not what it leads to). False, with the new file
// removed and the name as it was, if a byte did not reach the file or it
// cannot be put in place. Once it is put, interrupts wait for the
// process's end, so that the run ends as it succeeded.
bool commit_output(output& out);

// Closes the output and removes the new file. A device written in place
// keeps what it was given.
void discard_output(output& out);

// The key text for parse_key. Its grammar is ASCII, so any other character
// becomes one that ends the number.
std::string narrow_key(const native_char* text);

#endif
