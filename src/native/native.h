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

// Opens the input for binary reading. Null if it cannot be opened, is a
// directory, or another run is writing it.
std::FILE* open_input(const native_string& path);

// Opens the output for binary writing, creating it with the input's
// permission bits (POSIX; the umask applies) or cutting a regular file to
// length zero. Null, with nothing created, cut or removed, if it cannot be
// opened, is the input itself under another name, or another run is reading
// or writing it.
std::FILE* open_output(const native_string& path, std::FILE* input);

void remove_file(const native_string& path);

// The key text for parse_key. Its grammar is ASCII, so any other character
// becomes one that ends the number.
std::string narrow_key(const native_char* text);

#endif
