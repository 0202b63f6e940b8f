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

// Makes interrupts (SIGINT, SIGTERM, SIGHUP; on Windows the console's
// Ctrl+C, Ctrl+Break and close) remove an unfinished output and then end the
// process as they would have, unless they were ignored at start. A full pipe
// or disk fails a write instead of ending the process (SIGPIPE, SIGXFSZ).
void handle_signals();

// Opens the input for binary reading, sharing it with other readers and
// writers. Null if it cannot be opened or is a directory.
std::FILE* open_input(const native_string& path);

// Opens where the output is written, in binary. An existing device or FIFO
// at path (or a link to one) is written in place. Anything else is written
// to a new file beside path, created exclusively with the input's permission
// bits, that only commit_output puts at path. Null, with nothing created or
// changed, if path is a directory, a file that may not be written, or the
// input itself, or if the new file cannot be made.
std::FILE* open_output(const native_string& path, std::FILE* input);

// Puts the new file, written and closed, at path, replacing what is there (a
// link too, not what it leads to). True when there was nothing to put.
bool commit_output(const native_string& path);

// Removes the new file, if one is left, so that path stays as it was.
void discard_output();

// The key text for parse_key. Its grammar is ASCII, so any other character
// becomes one that ends the number.
std::string narrow_key(const native_char* text);

#endif
