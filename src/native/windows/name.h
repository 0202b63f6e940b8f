#ifndef XORFILE_NATIVE_WINDOWS_NAME_H
#define XORFILE_NATIVE_WINDOWS_NAME_H

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

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
