#ifndef XORFILE_NATIVE_NEW_FILE_H
#define XORFILE_NATIVE_NEW_FILE_H

#include "native/native.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>

// The new file that becomes the output: made beside it under a name no
// other file has, written, and renamed over the output's name once whole,
// or removed. Its name changes only while interrupts are held, and the one
// output whose new file exists is registered meanwhile for the signal and
// console handlers, which remove that file before the process ends.
//
// The calling sequence, from a platform's open_output:
//   out.folder, out.name = where the output goes
//   make_new_file(out, name_max)   the file made, registered, out.stream on it
//   ... its permissions; then the copy writes to out.stream ...
//   commit_output(out)             the stream closed, the file put in place
//   or discard_output(out)         the stream closed, the file removed
// commit_output and discard_output end an output written in place too.

// The longest name a file may have, in the units the system counts: bytes
// on POSIX, UTF-16 units on Windows.
constexpr std::size_t longest_name = 255;

// The limit on names in a folder, from what the system REPORTS (-1 where
// it tells none): FAT on Linux reports 1530 bytes, and still refuses a
// name of more than 255 characters.
std::size_t name_limit(long reported);

// The new file's name for the output NAME: ".NAME." and NUMBER in eight
// hex digits, NAME cut at a character's start where the whole would pass
// name_max.
native_string new_file_name(const native_string& name, std::size_t name_max, std::uint32_t number);

// Makes the new file for out.name, exclusively, and opens out.stream on it.
// False, with nothing made, where no name could be had or the file cannot
// be made.
bool make_new_file(output& out, std::size_t name_max);

// Moves the new file to another new name, as the whole one will be moved
// over the output's: a rename tried before a byte is written. False where
// it fails, with the file where it was.
bool move_new_file(output& out, std::size_t name_max);

// Flushes and closes the stream: true only if every byte reached the file
// and it closed cleanly.
bool close_stream(std::FILE* stream);

// For the handlers, with interrupts held: removes the registered output's
// new file.
void remove_output_in_flight();

// What each platform provides for it.
enum class creation { made, name_taken, failed };

// The number for the new file's name at this ATTEMPT of make_new_file.
bool pick_number(std::uint32_t& number, int attempt);
// Creates out.new_name in out.folder, or finds the name taken, and
// sets out.new_file.
creation create_exclusively(output& out);
// Opens out.stream on out.new_file.
bool open_new_file_stream(output& out);
// Renames the new file over out.name: busy where another program holds a
// file that it needs, which may let go.
enum class renaming { done, busy, failed };
renaming rename_new_file(const output& out);
// Renames the new file to NAME in its folder, or finds the name taken.
creation rename_new_file_to(const output& out, const native_string& name);
// A clock in milliseconds, and a pause.
std::uint32_t clock_ms();
void pause_ms(std::uint32_t milliseconds);
// Removes the new file; safe in the handlers.
void remove_new_file(const output& out);
// Closes what the output holds open but its stream.
void close_output(output& out);
// Holds back interrupts from ending the process, and lets them go again.
void hold_interrupts();
void release_interrupts();

#endif
