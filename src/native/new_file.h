#ifndef XORFILE_NATIVE_NEW_FILE_H
#define XORFILE_NATIVE_NEW_FILE_H

#include "native/native.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>

// The new file that becomes the output: made beside it under a name no
// other file has, written, and renamed over the output's name once whole,
// or removed. Its name changes only while interrupts are held, and the
// output whose new file exists is registered meanwhile for the signal and
// console handlers, which remove that file before the process ends.
//
// The calling sequence, from a platform's open_output:
//   out.folder, out.name = where the output goes
//   make_new_file(out, name_max)   the file made and registered, out.stream on it
//   move_new_file(out, name_max)   where a rename must be tried before the copy
//   ... its permissions, then the copy ...
//   commit_output(out)             the stream closed, the file put in place
//   or discard_output(out)         the stream closed, the file removed

// The longest name a file may have: bytes on POSIX, UTF-16 units on Windows.
constexpr std::size_t longest_name = 255;

// The limit on names, from what the system reports (-1 for none): FAT on
// Linux reports 1530 bytes, and still refuses names past 255 characters.
std::size_t name_limit(long reported);

// ".NAME." and NUMBER in eight hex digits, NAME cut at a character's start
// where the whole would pass NAME_MAX.
native_string new_file_name(const native_string& name, std::size_t name_max, std::uint32_t number);

bool make_new_file(output& out, std::size_t name_max);
bool move_new_file(output& out, std::size_t name_max);

// True only if every byte reached the file and it closed cleanly.
bool close_stream(std::FILE* stream);

// For the handlers, with interrupts held.
void remove_output_in_flight();

// What each platform provides.
enum class tried { done, taken, failed };
// The number for the new file's name at this attempt of make_new_file.
bool pick_number(std::uint32_t& number, int attempt);
// Creates NAME in out.folder, opening out.new_file and out.stream on it.
tried create_exclusively(output& out, const native_string& name);
// Renames the new file to TO, called with interrupts held; it may let them
// go while it waits to try again.
tried rename_new_file(const output& out, const native_string& to, bool replace);
// Safe in the handlers.
void remove_new_file(const output& out);
// Closes what the output holds open but its stream.
void close_output(output& out);
void hold_interrupts();
void release_interrupts();
// Hands an open handle to the C library as a stream, or closes it.
std::FILE* stream_on(native_handle handle, const char* mode);

#endif
