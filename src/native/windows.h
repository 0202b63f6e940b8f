#ifndef XORFILE_NATIVE_WINDOWS_H
#define XORFILE_NATIVE_WINDOWS_H

#include "native/native.h"

#include <string>

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

// The form that lifts the classic 260-character limit (\\?\ or \\?\UNC\)
// for a path whose full form reaches it; a shorter path, and one already
// in a form that the system passes through (\\?\, \\.\, \??\), is left as
// given, so that Windows still cleans up its name as it does for other
// programs.
std::wstring extended_length_path(const std::wstring& path);

// True for a path whose last name holds a colon, which names a stream of a
// file (a.txt:s), not a drive's (C:a.txt).
bool is_stream_path(const std::wstring& path);

// The reserved device name (NUL, CON, PRN, AUX, COM1 to COM9 and COM¹ to
// COM³, LPT1 to LPT9 and LPT¹ to LPT³) that the path's last name stands
// for, in upper case, as Windows reads it ("nul.txt", "NUL  " and
// "nul:.txt" too); empty for any other name.
std::wstring reserved_device_name(const std::wstring& path);

// Renames SOURCE to TARGET with POSIX's rules, replacing a TARGET that
// others hold open, where the system (Windows 10 1607 and later) and the
// file system have them; false elsewhere.
bool rename_over_open_files(const std::wstring& source, const std::wstring& target);

// True for the console events that end the run: Ctrl+C, Ctrl+Break, closing
// the console and shutting down; not another user's log-off.
bool ends_on_console_event(DWORD event);

// Adds, to the error mode that the caller handed down, that a path on an
// empty drive fails at once instead of stopping a script on a dialog.
void keep_dialogs_away();

// What a look at the output's name found, without asking for its data:
// its attributes and reparse tag (INVALID_FILE_ATTRIBUTES and 0 where there
// is none), the error of an open for writing (ERROR_SUCCESS where it
// opened) and the file type of the open that worked; and whether its last
// name is a reserved device name, which Windows may read as the device
// whatever follows a dot or colon.
struct name_facts {
    bool stream;
    bool too_long;
    DWORD attributes;
    DWORD reparse_tag;
    DWORD write_error;
    DWORD file_type;
    bool is_input;
    bool device_name;
};

// What the output's name holds, and so what is done there.
enum class name_holds {
    nothing, // a new file is made
    replaceable, // a file, or a link to one, replaced by a new file
    device, // a device or pipe, written in place
    stream, // a file's stream, written in place: a rename cannot put it there
    directory, // refused
    kept_attributes, // refused: read-only, hidden or system, as fopen refuses it
    folder_link, // refused: a junction or a link to a folder cannot be renamed over
    the_input, // refused: a device that is the input itself
    too_long, // refused: a name past the limit could never be put in place
    unknown, // refused: the name cannot be looked at
};

name_holds judge_output_name(const name_facts& facts);

#endif
