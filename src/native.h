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

// mode is one of fopen's.
std::FILE* open_file(const native_string& path, const char* mode);
bool is_directory(const native_string& path);
// True if both paths name one file, through links or not.
bool same_file(const native_string& first, const native_string& second);
void remove_file(const native_string& path);

// The key text for parse_key. Its grammar is ASCII, so any other character
// becomes one that ends the number.
std::string narrow_key(const native_char* text);

#ifdef _WIN32
// The form that lifts the classic 260-character limit (\\?\ or \\?\UNC\)
// for a path whose full form reaches it; a shorter path is left as given,
// so that Windows still cleans up its name as it does for other programs.
std::wstring extended_length_path(const std::wstring& path);
#endif

#endif
