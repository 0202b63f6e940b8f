#ifndef XORFILE_NATIVE_WINDOWS_PATH_H
#define XORFILE_NATIVE_WINDOWS_PATH_H

#include <cstddef>
#include <string>

// Paths as Windows reads them; nothing here asks the system but for the
// working folder.

// The form that lifts the classic 260-character limit (\\?\ or \\?\UNC\)
// for a path whose full form reaches it; a shorter path, and one already
// in a form that the system passes through (\\?\, \\.\, \??\), is left as
// given, so that Windows still cleans up its name as it does for other
// programs.
std::wstring extended_length_path(const std::wstring& path);

// The path whole, from the root, in the form that extended_length_path
// gives: what a rename through a handle needs.
std::wstring whole_path(const std::wstring& path);

// Where the last name in the path starts: after its folder, or after the
// drive of C:NAME.
std::size_t name_start(const std::wstring& path);

// True for a path whose last name holds a colon, which names a stream of a
// file (a.txt:s), not a drive's (C:a.txt).
bool is_stream_path(const std::wstring& path);

// The reserved device name (NUL, CON, PRN, AUX, COM1 to COM9 and COM¹ to
// COM³, LPT1 to LPT9 and LPT¹ to LPT³) that the path's last name stands
// for, in upper case, as Windows reads it ("nul.txt", "NUL  " and
// "nul:.txt" too); empty for any other name.
std::wstring reserved_device_name(const std::wstring& path);

#endif
