#ifndef XORFILE_RUN_H
#define XORFILE_RUN_H

#include "native/native.h"

// The whole tool: encodes argv[1] into argv[1] + ".xor" with the key text
// argv[2], and returns the process's exit status.
int run(int argc, native_char* argv[]);

#endif
