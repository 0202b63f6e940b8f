#ifndef XORFILE_NATIVE_WINDOWS_H
#define XORFILE_NATIVE_WINDOWS_H

#include "native/native.h"

#include <string>

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

// The form that lifts the classic 260-character limit (\\?\ or \\?\UNC\)
// for a path whose full form reaches it; a shorter path is left as given,
// so that Windows still cleans up its name as it does for other programs.
std::wstring extended_length_path(const std::wstring& path);

// True for a path whose last name holds a colon, which names a stream of a
// file (a.txt:s), not a drive's (C:a.txt).
bool is_stream_path(const std::wstring& path);

// True for the console events that end the run: Ctrl+C, Ctrl+Break, closing
// the console and shutting down; not another user's log-off.
bool ends_on_console_event(DWORD event);

#endif
