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

// Makes every signal that ends the process from outside (on POSIX HUP,
// INT, QUIT, TERM, ALRM, USR1, USR2, XCPU, VTALRM, PROF, POLL and PWR; on
// Windows the console's Ctrl+C, Ctrl+Break and close) remove an unfinished
// output and then end the process as it would have, unless it was ignored
// at start. A full pipe or disk fails a write instead of ending the process
// (SIGPIPE, SIGXFSZ).
void handle_signals();

// Opens the input for binary reading, sharing it with other readers and
// writers. Null if it cannot be opened or is a directory.
std::FILE* open_input(const native_string& path);

// Opens where the output is written, in binary. The name itself decides: an
// existing device or FIFO there (or a link to one) that belongs to the user
// or to root is written in place; a link to anything else is replaced.
// Everything else is written to a new file beside path, created exclusively
// for its owner alone and then given the input's permission bits less the
// umask, that only commit_output puts at path. Null, with nothing created or
// changed, if path is a directory, a file that may not be written, the input
// itself or another user's device, or if the new file cannot be made.
std::FILE* open_output(const native_string& path, std::FILE* input);

// Puts the new file, written and closed, at path, replacing what is there (a
// link too, not what it leads to). True when there was nothing to put. Once
// it is put, interrupts wait for the process's end, so that the run ends as
// it succeeded.
bool commit_output(const native_string& path);

// Removes the new file, if one is left, so that path stays as it was.
void discard_output();

// The key text for parse_key. Its grammar is ASCII, so any other character
// becomes one that ends the number.
std::string narrow_key(const native_char* text);

#endif
