#ifndef XORFILE_NATIVE_WINDOWS_H
#define XORFILE_NATIVE_WINDOWS_H

#include "native/native.h"

#include <string>

// The form that lifts the classic 260-character limit (\\?\ or \\?\UNC\)
// for a path whose full form reaches it; a shorter path is left as given,
// so that Windows still cleans up its name as it does for other programs.
std::wstring extended_length_path(const std::wstring& path);

#endif
