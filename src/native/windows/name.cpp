#include "native/windows/name.h"
#include "native/native.h"
#include "native/new_file.h"
#include "native/windows/new_file.h"
#include "native/windows/path.h"

#include <memory>

namespace {

constexpr DWORD share_all = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr DWORD kept_attributes
    = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;

struct handle_closer {
    void operator()(HANDLE file) const { CloseHandle(file); }
};
using handle_ptr = std::unique_ptr<void, handle_closer>;

// A file by its index; a device, which has none, by its kind and name.
bool same_file(const input_facts& input, HANDLE output, const std::wstring& output_name)
{
    BY_HANDLE_FILE_INFORMATION information;
    if (input.is_file && GetFileInformationByHandle(output, &information)) {
        return input.volume == information.dwVolumeSerialNumber
            && input.index_high == information.nFileIndexHigh
            && input.index_low == information.nFileIndexLow;
    }
    return !input.device.empty() && GetFileType(output) == FILE_TYPE_CHAR
        && input.device == reserved_device_name(output_name);
}

// The reparse tag of a name that has one: a symbolic link or junction, or
// a file that is stored elsewhere (cloud files, deduplication).
DWORD reparse_tag(const std::wstring& opened, DWORD attributes)
{
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
        return 0;
    }
    WIN32_FIND_DATAW found;
    const HANDLE search = FindFirstFileW(opened.c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) {
        return 0;
    }
    FindClose(search);
    return found.dwReserved0;
}

// A device is written through the open that asks to write; where sharing
// refuses that, an open that asks for no data, which sharing never
// blocks, tells a file that others hold from a device. Whether a holder
// lets the file be replaced is the rename's to find out. PATH is the
// output's path as given, OPENED the form it is opened in.
name_facts look_at_output(
    const std::wstring& path, const std::wstring& opened, const input& in, handle_ptr& writable)
{
    name_facts facts{};
    facts.stream = is_stream_path(path);
    facts.device_name = !reserved_device_name(path).empty();
    facts.too_long = path.size() - name_start(path) > longest_name;
    facts.attributes = GetFileAttributesW(opened.c_str());
    facts.reparse_tag = reparse_tag(opened, facts.attributes);
    HANDLE file = CreateFileW(opened.c_str(), GENERIC_WRITE, share_all, nullptr, OPEN_EXISTING,
        FILE_ATTRIBUTE_NORMAL, nullptr);
    facts.write_error = file == INVALID_HANDLE_VALUE ? GetLastError() : ERROR_SUCCESS;
    if (file != INVALID_HANDLE_VALUE) {
        writable.reset(file);
    } else if (facts.write_error == ERROR_SHARING_VIOLATION) {
        file = CreateFileW(opened.c_str(), FILE_READ_ATTRIBUTES, share_all, nullptr, OPEN_EXISTING,
            FILE_ATTRIBUTE_NORMAL, nullptr);
    }
    if (file != INVALID_HANDLE_VALUE) {
        facts.file_type = GetFileType(file);
        facts.is_input = same_file(in.facts, file, path);
    }
    if (file != INVALID_HANDLE_VALUE && file != writable.get()) {
        CloseHandle(file);
    }
    return facts;
}

// A device is written in place, through the open that asked to write, but
// never onto the input.
name_holds judge_device(const name_facts& facts)
{
    if (facts.is_input) {
        return name_holds::the_input;
    }
    return facts.write_error == ERROR_SUCCESS ? name_holds::device : name_holds::unknown;
}

// A stream can only be written where it is, as fopen writes it: a rename
// cannot put it in place.
bool open_stream(output& out, const std::wstring& opened)
{
    const HANDLE stream = CreateFileW(opened.c_str(), GENERIC_WRITE,
        FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (stream == INVALID_HANDLE_VALUE) {
        return false;
    }
    out.stream = stream_on(stream, "wb");
    return out.stream != nullptr;
}

// A read-only input gives a read-only output, as a copy made in Explorer
// does.
bool open_new_file(output& out, const input& in)
{
    return make_new_file(out, longest_name) && (!in.facts.read_only || make_read_only(out));
}

} // namespace

// The name itself decides: a link there is replaced, not followed, but for
// a link to a folder, over which nothing can be renamed. A read-only,
// hidden or system file is refused as fopen refuses it, even where the
// open would be let through (Wine, as root). A reserved name that opened
// as a device, or as the input (a DOS device defined onto a file), is a
// device in any spelling, though a colon in it would name a stream.
name_holds judge_output_name(const name_facts& facts)
{
    const bool looked
        = facts.write_error == ERROR_SUCCESS || facts.write_error == ERROR_SHARING_VIOLATION;
    if (facts.device_name && looked && (facts.is_input || facts.file_type == FILE_TYPE_CHAR)) {
        return judge_device(facts);
    }
    if (facts.stream) {
        return name_holds::stream;
    }
    if (facts.too_long) {
        return name_holds::too_long;
    }
    const bool exists = facts.attributes != INVALID_FILE_ATTRIBUTES;
    const bool is_link = exists
        && (facts.reparse_tag == IO_REPARSE_TAG_SYMLINK
            || facts.reparse_tag == IO_REPARSE_TAG_MOUNT_POINT);
    if (is_link) {
        return (facts.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? name_holds::folder_link
                                                                  : name_holds::replaceable;
    }
    if (exists && (facts.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        return name_holds::directory;
    }
    if (exists && (facts.attributes & kept_attributes) != 0) {
        return name_holds::kept_attributes;
    }
    if (facts.write_error == ERROR_FILE_NOT_FOUND) {
        return name_holds::nothing;
    }
    if (!looked || facts.file_type == FILE_TYPE_UNKNOWN) {
        return name_holds::unknown;
    }
    if (facts.file_type == FILE_TYPE_DISK) {
        return name_holds::replaceable;
    }
    return judge_device(facts);
}

output open_output(const std::wstring& path, const input& in)
{
    output out;
    const std::size_t start = name_start(path);
    out.folder = path.substr(0, start);
    out.name = path.substr(start);
    const std::wstring opened = extended_length_path(path);
    handle_ptr writable;
    bool made = false;
    switch (judge_output_name(look_at_output(path, opened, in, writable))) {
    case name_holds::nothing:
    case name_holds::replaceable:
        made = open_new_file(out, in);
        break;
    case name_holds::device:
        out.stream = stream_on(writable.release(), "wb");
        made = out.stream != nullptr;
        break;
    case name_holds::stream:
        made = open_stream(out, opened);
        break;
    case name_holds::directory:
    case name_holds::kept_attributes:
    case name_holds::folder_link:
    case name_holds::the_input:
    case name_holds::too_long:
    case name_holds::unknown:
        break;
    }
    if (!made) {
        discard_output(out);
    }
    return out;
}
