#ifndef XORFILE_NATIVE_WINDOWS_PROCESS_H
#define XORFILE_NATIVE_WINDOWS_PROCESS_H

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

// True for the console events that end the run: Ctrl+C, Ctrl+Break, closing
// the console and shutting down; not another user's log-off.
bool ends_on_console_event(DWORD event);

// The console handler: for an event that ends the run, removes the new file
// in flight and ends the process as Windows ends one at Ctrl+C.
BOOL WINAPI remove_and_end(DWORD event);

// Adds, to the error mode that the caller handed down, that a path on an
// empty drive fails at once instead of stopping a script on a dialog.
void keep_dialogs_away();

#endif
