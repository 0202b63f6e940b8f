#ifndef XORFILE_NATIVE_H
#define XORFILE_NATIVE_H

#include <cstdio>
#include <string>

// Paths in the system's own text. Windows hands narrow programs their
// arguments through the ANSI code page, which loses every character it
// lacks, so there the arguments and paths are wide. Elsewhere paths are bytes.
#ifdef _WIN32
using native_char = wchar_t;
#else
using native_char = char;
#endif
using native_string = std::basic_string<native_char>;

// The calling sequence, once per run:
//   in = open_input(path)
//   out = open_output(path + ".xor", in)
//   ... write to out ...
//   commit_output(out), or discard_output(out) to give up
// The first open of either file prepares the process: from then on an
// interrupt removes what was made, and a full pipe or disk fails a write
// instead of ending the process.

// Opens the input for binary reading, sharing it with other readers and
// writers. Null if it cannot be opened or is a directory.
std::FILE* open_input(const native_string& path);

// Opens where the output is written, in binary, and owns it until
// commit_output or discard_output. What the name holds decides: a device
// or FIFO that may be written is written in place; anything that may be
// replaced is, by a new file beside it, made for its owner alone and then
// given no more access than the input. Null, with nothing made or
// changed, if the name may be neither written nor replaced.
std::FILE* open_output(const native_string& path, std::FILE* input);

// Closes the output and puts the new file in place, replacing what is at
// the name (a link too, not what it leads to). False, with the new file
// removed and the name as it was, if a byte did not reach the file or it
// cannot be put in place. Once it is put, interrupts wait for the
// process's end, so that the run ends as it succeeded.
bool commit_output(std::FILE* output);

// Closes the output and removes the new file, so that the name stays as
// it was. A device written in place keeps what it was given.
void discard_output(std::FILE* output);

// The key text for parse_key. Its grammar is ASCII, so any other character
// becomes one that ends the number.
std::string narrow_key(const native_char* text);

#endif
