#include "native/new_file.h"
#include "native/windows/name.h"
#include "native/windows/new_file.h"
#include "native/windows/path.h"
#include "native/windows/process.h"

#include <gtest/gtest.h>

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <utility>

namespace {

std::string narrow(const std::wstring& text)
{
    return std::string(text.begin(), text.end());
}

TEST(extended_length_path, lifts_the_limit_only_where_the_full_path_reaches_it)
{
    const std::wstring cwd = std::filesystem::current_path().wstring();
    const std::wstring name(300, L'n');
    const std::wstring fits(256, L'f'); // C:\ and these: 259 characters, the most that fit
    const std::pair<std::wstring, std::wstring> cases[] = {
        {L"short.txt", L"short.txt"},
        {L"C:\\" + fits, L"C:\\" + fits},
        {L"C:\\" + fits + L"g", L"\\\\?\\C:\\" + fits + L"g"},
        {name, L"\\\\?\\" + cwd + L"\\" + name},
        {L"C:/" + name + L"/sub/../x.bin", L"\\\\?\\C:\\" + name + L"\\x.bin"},
        {L"\\\\server\\share\\" + name, L"\\\\?\\UNC\\server\\share\\" + name},
        {L"\\\\?\\C:\\" + name + L"\\sub\\..\\x", L"\\\\?\\C:\\" + name + L"\\sub\\..\\x"},
        {L"//?/C:/" + name + L"/x", L"\\\\?\\C:\\" + name + L"\\x"},
        {L"\\\\.\\C:\\" + name, L"\\\\?\\C:\\" + name},
        {L"\\\\.\\C:\\" + name + L"\\sub\\..\\x", L"\\\\?\\C:\\" + name + L"\\x"},
        {L"//./C:/" + name, L"\\\\?\\C:\\" + name},
        {L"\\\\.\\C:\\short", L"\\\\.\\C:\\short"},
        {L"\\\\.\\pipe\\" + name, L"\\\\.\\pipe\\" + name},
        {L"\\\\.\\UNC\\server\\share\\" + name, L"\\\\?\\UNC\\server\\share\\" + name},
        {L"//./unc/server/share/" + name, L"\\\\?\\unc\\server\\share\\" + name},
        {L"\\\\.\\Volume{0e0c3e0c-1fa4-11ee-b7d0-806e6f6e6963}\\" + name,
            L"\\\\?\\Volume{0e0c3e0c-1fa4-11ee-b7d0-806e6f6e6963}\\" + name},
        {L"\\\\.\\GLOBALROOT\\Device\\HarddiskVolume1\\" + name,
            L"\\\\?\\GLOBALROOT\\Device\\HarddiskVolume1\\" + name},
        {L"\\\\.\\UNC\\server\\share\\short", L"\\\\.\\UNC\\server\\share\\short"},
        {L"\\\\.\\PhysicalDrive0\\" + name, L"\\\\.\\PhysicalDrive0\\" + name},
        {L"\\??\\C:\\" + name + L"\\x", L"\\??\\C:\\" + name + L"\\x"},
    };
    for (const auto& [path, opened] : cases) {
        EXPECT_EQ(extended_length_path(path), opened) << "path of " << path.size();
    }
}

TEST(is_stream_path, tells_a_stream_from_a_drive)
{
    const std::pair<std::wstring, bool> cases[] = {
        {L"a.txt:s", true},
        {L"C:a.txt", false},
        {L"C:\\x\\a.txt", false},
        {L"\\\\?\\C:\\x\\a:s", true},
        {L"dir/a.txt:s:$DATA", true},
        {L"a.txt", false},
    };
    for (const auto& [path, stream] : cases) {
        EXPECT_EQ(is_stream_path(path), stream) << narrow(path);
    }
}

TEST(reserved_device_name, is_read_as_windows_reads_it)
{
    const std::pair<std::wstring, std::wstring> cases[] = {
        {L"NUL", L"NUL"},
        {L"nul.xor", L"NUL"},
        {L"C:\\dir\\Com1.txt.xor", L"COM1"},
        {L"lpt9  .x", L"LPT9"},
        {L"con", L"CON"},
        {L"C:aux", L"AUX"},
        {L"NUL:", L"NUL"},
        {L"nul:.txt", L"NUL"},
        {L"C:\\t\\dev\\NUL:", L"NUL"},
        {L"COM5:", L"COM5"},
        {L"com5:.log", L"COM5"},
        {L"COM\u00b9", L"COM\u00b9"},
        {L"com\u00b2.txt", L"COM\u00b2"},
        {L"lpt\u00b3:", L"LPT\u00b3"},
        {L"COM\u2074", L""},
        {L"COM0", L""},
        {L"COM10", L""},
        {L"nully", L""},
        {L"dir\\file.txt", L""},
    };
    for (const auto& [path, device] : cases) {
        EXPECT_EQ(reserved_device_name(path), device) << narrow(path);
    }
}

TEST(console_events, end_the_run_but_for_a_log_off)
{
    const std::pair<DWORD, bool> cases[] = {
        {CTRL_C_EVENT, true},
        {CTRL_BREAK_EVENT, true},
        {CTRL_CLOSE_EVENT, true},
        {CTRL_SHUTDOWN_EVENT, true},
        {CTRL_LOGOFF_EVENT, false},
    };
    for (const auto& [event, ends] : cases) {
        EXPECT_EQ(ends_on_console_event(event), ends) << "event " << event;
    }
}

// The first open prepares the process: this test opens before any other
// does. GoogleTest sets an error mode of its own first.
TEST(error_mode, has_no_dialogs_once_a_file_is_opened)
{
    SetErrorMode(0);
    const input in = open_input(L"xorfile_error_mode_test");
    if (in.stream != nullptr) {
        std::fclose(in.stream);
    }
    const UINT mode = SetErrorMode(0);
    EXPECT_EQ(mode & (SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX),
        UINT{SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX});
}

TEST(error_mode, keeps_what_the_caller_set)
{
    const UINT before = SetErrorMode(SEM_NOGPFAULTERRORBOX);
    keep_dialogs_away();
    const UINT after = SetErrorMode(before);
    EXPECT_EQ(after, SEM_NOGPFAULTERRORBOX | SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
}

constexpr DWORD absent = INVALID_FILE_ATTRIBUTES;
constexpr DWORD plain = FILE_ATTRIBUTE_ARCHIVE;
constexpr DWORD reparse_point = FILE_ATTRIBUTE_REPARSE_POINT;
constexpr DWORD directory_bit = FILE_ATTRIBUTE_DIRECTORY;
constexpr DWORD disk = FILE_TYPE_DISK;
constexpr DWORD character = FILE_TYPE_CHAR;
constexpr DWORD opened = ERROR_SUCCESS;
constexpr DWORD held = ERROR_SHARING_VIOLATION;
constexpr DWORD missing = ERROR_FILE_NOT_FOUND;
constexpr DWORD denied = ERROR_ACCESS_DENIED;

// What the name is, beside what the look found.
constexpr unsigned a_stream = 1;
constexpr unsigned device_named = 2;
constexpr unsigned the_input = 4;
constexpr unsigned past_the_limit = 8;

// A look that found these attributes (and reparse tag), an open for writing
// that ended with this error and, where it worked, gave this file type,
// and a name that is what NAME says.
name_facts found(
    DWORD attributes, DWORD write_error, DWORD file_type, unsigned name = 0, DWORD tag = 0)
{
    name_facts facts = {};
    facts.stream = (name & a_stream) != 0;
    facts.too_long = (name & past_the_limit) != 0;
    facts.attributes = attributes;
    facts.reparse_tag = tag;
    facts.write_error = write_error;
    facts.file_type = file_type;
    facts.is_input = (name & the_input) != 0;
    facts.device_name = (name & device_named) != 0;
    return facts;
}

struct judge_case {
    const char* what;
    name_facts facts;
    name_holds holds;
};

// Cases Wine cannot make too: a junction, a link to a folder, a device
// that is the input, a DOS device defined onto a file.
TEST(judge_output_name, decides_by_the_name_itself)
{
    const judge_case cases[] = {
        {"missing", found(absent, missing, 0), name_holds::nothing},
        {"a file", found(plain, opened, disk), name_holds::replaceable},
        {"a file held without write sharing", found(plain, held, disk), name_holds::replaceable},
        {"a link to a file", found(reparse_point, opened, disk, 0, IO_REPARSE_TAG_SYMLINK),
            name_holds::replaceable},
        {"a link to a folder",
            found(reparse_point | directory_bit, denied, 0, 0, IO_REPARSE_TAG_SYMLINK),
            name_holds::folder_link},
        {"a junction",
            found(reparse_point | directory_bit, denied, 0, 0, IO_REPARSE_TAG_MOUNT_POINT),
            name_holds::folder_link},
        {"a cloud file", found(reparse_point, opened, disk, 0, 0x9000001a),
            name_holds::replaceable},
        {"a folder", found(directory_bit, denied, 0), name_holds::directory},
        {"a read-only file", found(FILE_ATTRIBUTE_READONLY, denied, 0),
            name_holds::kept_attributes},
        {"a hidden file", found(FILE_ATTRIBUTE_HIDDEN, opened, disk), name_holds::kept_attributes},
        {"NUL", found(absent, opened, character, device_named), name_holds::device},
        {"NUL that is the input", found(absent, opened, character, device_named | the_input),
            name_holds::the_input},
        {"NUL: that is the input, a colon and all",
            found(absent, opened, character, device_named | a_stream | the_input),
            name_holds::the_input},
        {"nul:.txt.xor, NUL again", found(absent, opened, character, device_named | a_stream),
            name_holds::device},
        {"COM7: defined onto the input file",
            found(plain, opened, disk, device_named | a_stream | the_input), name_holds::the_input},
        {"nul.txt.xor, a file where Windows 11 takes it for one",
            found(plain, opened, disk, device_named), name_holds::replaceable},
        {"nul:s, a new stream of a file named nul",
            found(absent, missing, 0, device_named | a_stream), name_holds::stream},
        {"a pipe", found(absent, opened, FILE_TYPE_PIPE), name_holds::device},
        {"a device held without write sharing", found(absent, held, character),
            name_holds::unknown},
        {"a name that opened as nothing known", found(absent, opened, FILE_TYPE_UNKNOWN),
            name_holds::unknown},
        {"a stream", found(absent, missing, 0, a_stream), name_holds::stream},
        {"a name past the limit", found(absent, missing, 0, past_the_limit), name_holds::too_long},
        {"a folder that may not be written", found(absent, denied, 0), name_holds::unknown},
    };
    for (const judge_case& c : cases) {
        EXPECT_EQ(static_cast<int>(judge_output_name(c.facts)), static_cast<int>(c.holds))
            << c.what;
    }
}

std::wstring content_of(const std::wstring& path)
{
    std::wstring content;
    std::FILE* stream = _wfopen(extended_length_path(path).c_str(), L"rb");
    if (stream != nullptr) {
        for (int c = std::fgetc(stream); c != EOF; c = std::fgetc(stream)) {
            content += static_cast<wchar_t>(c);
        }
        std::fclose(stream);
    }
    return content;
}

bool write_output(const std::wstring& path, const input& in, const char* content)
{
    output out = open_output(path, in);
    if (out.stream == nullptr) {
        ADD_FAILURE() << "could not open " << narrow(path);
        return false;
    }
    std::fputs(content, out.stream);
    return commit_output(out);
}

// Removes a folder and all it holds, read-only files and paths past the
// classic limit too, so that what a failed run left never hangs another.
void remove_tree(const std::wstring& folder)
{
    WIN32_FIND_DATAW found;
    const HANDLE search = FindFirstFileW(extended_length_path(folder + L"\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            const std::wstring name = found.cFileName;
            const std::wstring path = extended_length_path(folder + L"\\" + name);
            if (name == L"." || name == L"..") {
                continue;
            }
            SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
            if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
                remove_tree(folder + L"\\" + name);
            } else {
                DeleteFileW(path.c_str());
            }
        } while (FindNextFileW(search, &found));
        FindClose(search);
    }
    RemoveDirectoryW(extended_length_path(folder).c_str());
}

std::size_t files_in(const std::wstring& folder)
{
    WIN32_FIND_DATAW found;
    const HANDLE search = FindFirstFileW(extended_length_path(folder + L"\\*").c_str(), &found);
    std::size_t count = 0;
    if (search != INVALID_HANDLE_VALUE) {
        do {
            count += (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
        } while (FindNextFileW(search, &found));
        FindClose(search);
    }
    return count;
}

// The new file in the folder: the one name starting with a dot.
std::wstring new_file_in(const std::wstring& folder)
{
    WIN32_FIND_DATAW found;
    const HANDLE search = FindFirstFileW(extended_length_path(folder + L"\\.*").c_str(), &found);
    std::wstring name;
    if (search != INVALID_HANDLE_VALUE) {
        do {
            const std::wstring found_name = found.cFileName;
            name = found_name != L"." && found_name != L".." ? found_name : name;
        } while (FindNextFileW(search, &found));
        FindClose(search);
    }
    return name;
}

bool opens_with(const std::wstring& path, DWORD access)
{
    const HANDLE file = CreateFileW(extended_length_path(path).c_str(), access,
        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
        FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    CloseHandle(file);
    return true;
}

void make_file(const std::wstring& path, const char* content = "")
{
    std::FILE* created = _wfopen(extended_length_path(path).c_str(), L"wb");
    ASSERT_NE(created, nullptr) << "could not create " << narrow(path);
    std::fputs(content, created);
    std::fclose(created);
}

constexpr DWORD share_everything = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr DWORD pipe_buffer = 4096;

// Each test in an empty folder of its own in the working folder, cleared
// of what a failed run before left there, with an empty input "in" open.
class output_file : public testing::Test {
protected:
    void SetUp() override
    {
        folder = (std::filesystem::current_path()
            / testing::UnitTest::GetInstance()->current_test_info()->name())
                     .wstring();
        remove_tree(folder);
        ASSERT_TRUE(CreateDirectoryW(extended_length_path(folder).c_str(), nullptr))
            << "could not create a folder to test with";
        make_file(folder + L"\\in");
        in = open_input(folder + L"\\in");
        ASSERT_NE(in.stream, nullptr);
    }

    void TearDown() override
    {
        if (in.stream != nullptr) {
            std::fclose(in.stream);
        }
        remove_tree(folder);
    }

    std::wstring folder;
    input in;
};

TEST_F(output_file, shares_the_input_and_nothing_of_the_new_output)
{
    const std::wstring input_path = folder + L"\\in";
    EXPECT_TRUE(opens_with(input_path, GENERIC_READ)) << "another run could not read the input";
    EXPECT_TRUE(opens_with(input_path, DELETE)) << "another run could not replace the input";
    output out = open_output(folder + L"\\in.xor", in);
    ASSERT_NE(out.stream, nullptr);
    EXPECT_FALSE(opens_with(folder + L"\\" + new_file_in(folder), GENERIC_READ))
        << "the unfinished output could be read";
    discard_output(out);
    EXPECT_EQ(files_in(folder), 1U);
}

// Whatever another program holds the old output with, it is never refused
// before the copy: the rename finds out whether it may be replaced.
TEST_F(output_file, held_open_is_never_refused_at_the_start)
{
    const std::wstring path = folder + L"\\held.xor";
    make_file(path);
    for (const DWORD access :
        {DWORD{GENERIC_READ}, DWORD{GENERIC_WRITE}, DWORD{GENERIC_READ | GENERIC_WRITE}}) {
        for (DWORD share = 0; share <= (FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
             ++share) {
            const HANDLE holder = CreateFileW(path.c_str(), access, share, nullptr, OPEN_EXISTING,
                FILE_ATTRIBUTE_NORMAL, nullptr);
            ASSERT_NE(holder, INVALID_HANDLE_VALUE);
            output out = open_output(path, in);
            EXPECT_NE(out.stream, nullptr) << "access " << access << ", share " << share;
            if (out.stream != nullptr) {
                discard_output(out);
            }
            CloseHandle(holder);
        }
    }
    EXPECT_EQ(files_in(folder), 2U);
}

TEST_F(output_file, is_put_in_place_or_removed_past_the_classic_limit)
{
    const std::wstring deep = folder + L"\\" + std::wstring(250, L'd');
    ASSERT_TRUE(CreateDirectoryW(extended_length_path(deep).c_str(), nullptr));
    const std::wstring output_path = deep + L"\\" + std::wstring(30, L'f');
    EXPECT_TRUE(write_output(output_path, in, "new"));
    output out = open_output(output_path, in);
    ASSERT_NE(out.stream, nullptr);
    std::fputs("discarded", out.stream);
    discard_output(out);
    EXPECT_EQ(content_of(output_path), L"new");
    EXPECT_EQ(files_in(deep), 1U);
}

struct new_name_case {
    std::wstring output;
    std::wstring prefix;
    std::size_t size;
};

// ".", the output's name, "." and 8 hex digits, cut within 255 units short
// of a split surrogate pair.
TEST_F(output_file, has_its_new_file_name_cut_within_255_units)
{
    const new_name_case cases[] = {
        {std::wstring(251, L'n'), L"." + std::wstring(245, L'n') + L".", 255},
        // The cut falls inside the emoji, which goes whole.
        {std::wstring(244, L'a') + L"\U0001F600b.xor", L"." + std::wstring(244, L'a') + L".", 254},
    };
    for (const new_name_case& c : cases) {
        output out = open_output(folder + L"\\" + c.output, in);
        ASSERT_NE(out.stream, nullptr);
        const std::wstring name = new_file_in(folder);
        EXPECT_EQ(name.substr(0, c.prefix.size()), c.prefix);
        EXPECT_EQ(name.size(), c.size);
        EXPECT_EQ(name.find_first_not_of(L"0123456789abcdef", c.prefix.size()), std::wstring::npos);
        discard_output(out);
    }
}

// Another program holds a file while the new output is put in place: the
// old output, sharing what share says, or the new file, which it opens
// mid-copy to delete without letting others delete it; for hold_ms. Wine's
// rename cannot replace a held file, so where none may replace it, the
// retry must outlast the holder, and gives up after 3 s.
struct holder_case {
    const char* what;
    bool new_file;
    DWORD share;
    DWORD hold_ms;
    bool replaced;
};

TEST_F(output_file, replaces_an_old_output_that_others_hold_open)
{
    constexpr DWORD given_up_within = 3600;
    const std::wstring output_path = folder + L"\\in.xor";
    const holder_case cases[] = {
        {"the old output, shared for everything", false, share_everything, 500, true},
        {"the old output, shared for reading", false, FILE_SHARE_READ, 500, true},
        {"the old output, shared for reading, for 2 s", false, FILE_SHARE_READ, 2000, true},
        {"the old output, past the retries", false, FILE_SHARE_READ | FILE_SHARE_WRITE, 8000,
            false},
        {"the new file, past the retries", true, FILE_SHARE_READ | FILE_SHARE_WRITE, 4000, true},
    };
    for (const holder_case& c : cases) {
        make_file(output_path);
        output out = open_output(output_path, in);
        ASSERT_NE(out.stream, nullptr);
        std::fputs("new", out.stream);
        const std::wstring held_file
            = c.new_file ? folder + L"\\" + new_file_in(folder) : output_path;
        const HANDLE holder = CreateFileW(held_file.c_str(), c.new_file ? DELETE : GENERIC_READ,
            c.share, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        ASSERT_TRUE(c.new_file || holder != INVALID_HANDLE_VALUE) << c.what;
        std::thread closer([&] {
            if (holder != INVALID_HANDLE_VALUE) {
                Sleep(c.hold_ms);
                CloseHandle(holder);
            }
        });
        const DWORD start = GetTickCount();
        const bool replaced = commit_output(out);
        const DWORD took = GetTickCount() - start;
        closer.join();
        EXPECT_EQ(replaced, c.replaced) << c.what;
        EXPECT_EQ(content_of(output_path), c.replaced ? L"new" : L"") << c.what;
        EXPECT_EQ(files_in(folder), 2U) << c.what;
        EXPECT_TRUE(c.replaced || took < given_up_within) << c.what << ": gave up after " << took;
    }
}

// In a process of its own: the old output held for 500 ms, and a console
// event at 100 ms, while the output is put in place.
void interrupt_a_waiting_rename(const std::wstring& folder)
{
    const input in = open_input(folder + L"\\in");
    output out = open_output(folder + L"\\in.xor", in);
    std::fputs("new", out.stream);
    const HANDLE holder = CreateFileW((folder + L"\\in.xor").c_str(), GENERIC_READ, FILE_SHARE_READ,
        nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    std::thread closer([holder] {
        Sleep(500);
        CloseHandle(holder);
    });
    std::thread([] {
        Sleep(100);
        remove_and_end(CTRL_C_EVENT);
    }).detach();
    commit_output(out);
    closer.join();
}

// A console event while the rename waits for a holder of the old output
// ends the run at once, as Ctrl+C ends it: the new file removed, the old
// output kept.
TEST(console_event, ends_a_run_that_waits_to_rename)
{
    const std::wstring folder = (std::filesystem::current_path() / L"console_event").wstring();
    remove_tree(folder);
    ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
    make_file(folder + L"\\in");
    make_file(folder + L"\\in.xor", "old");
    EXPECT_EXIT(interrupt_a_waiting_rename(folder),
        testing::ExitedWithCode(static_cast<int>(STATUS_CONTROL_C_EXIT)), "");
    EXPECT_EQ(content_of(folder + L"\\in.xor"), L"old");
    EXPECT_EQ(files_in(folder), 2U);
    remove_tree(folder);
}

// Another program that may delete in the folder moves the new file away
// mid-copy and puts a file of its own at its name: the file written is the
// one put in place, and the other is left alone.
TEST_F(output_file, puts_in_place_the_file_it_wrote)
{
    if (GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr) {
        GTEST_SKIP() << "Wine renames through a handle the file at the name it was opened by";
    }
    const std::wstring output_path = folder + L"\\in.xor";
    output out = open_output(output_path, in);
    ASSERT_NE(out.stream, nullptr);
    std::fputs("new", out.stream);
    const std::wstring new_file = folder + L"\\" + new_file_in(folder);
    ASSERT_TRUE(MoveFileW(new_file.c_str(), (folder + L"\\moved").c_str()));
    make_file(new_file, "planted");
    EXPECT_TRUE(commit_output(out));
    EXPECT_EQ(content_of(output_path), L"new");
    EXPECT_EQ(content_of(new_file), L"planted");
    EXPECT_EQ(files_in(folder), 3U);
}

// Where the first name is taken, another is tried.
TEST_F(output_file, takes_another_name_where_one_is_taken)
{
    make_file(folder + L"\\" + new_file_name(L"in.xor", longest_name, first_new_file_number()));
    output out = open_output(folder + L"\\in.xor", in);
    ASSERT_NE(out.stream, nullptr) << "a planted name failed the open";
    discard_output(out);
    EXPECT_EQ(files_in(folder), 2U);
}

// A device or pipe at the name is written in place.
TEST_F(output_file, writes_a_pipe_in_place)
{
    const std::wstring pipe
        = L"\\\\.\\pipe\\xorfile_test_" + std::to_wstring(GetCurrentProcessId()) + L".xor";
    const HANDLE server = CreateNamedPipeW(
        pipe.c_str(), PIPE_ACCESS_INBOUND, PIPE_TYPE_BYTE, 1, pipe_buffer, pipe_buffer, 0, nullptr);
    ASSERT_NE(server, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(write_output(pipe, in, "new"));
    char got[pipe_buffer] = {};
    DWORD got_size = 0;
    EXPECT_TRUE(ReadFile(server, got, sizeof got, &got_size, nullptr));
    CloseHandle(server);
    EXPECT_EQ(std::string(got, got_size), "new");
    EXPECT_EQ(files_in(folder), 1U);
}

// A stream is written in place, and cut: never longer than what was written.
TEST_F(output_file, writes_a_stream_over_a_longer_one)
{
    const std::wstring stream = folder + L"\\in.xor:s";
    EXPECT_TRUE(write_output(stream, in, "a longer old content"));
    EXPECT_TRUE(write_output(stream, in, "new"));
    EXPECT_EQ(content_of(stream), L"new");
}

TEST_F(output_file, refuses_a_hidden_or_system_file)
{
    for (const DWORD attribute : {FILE_ATTRIBUTE_HIDDEN, FILE_ATTRIBUTE_SYSTEM}) {
        const std::wstring path = folder + L"\\kept." + std::to_wstring(attribute);
        make_file(path);
        ASSERT_TRUE(SetFileAttributesW(path.c_str(), attribute));
        EXPECT_EQ(open_output(path, in).stream, nullptr) << "attribute " << attribute;
        EXPECT_NE(GetFileAttributesW(path.c_str()) & attribute, 0U) << "attribute " << attribute;
    }
}

TEST_F(output_file, replaces_a_link_to_a_read_only_file)
{
    // Links made as Windows makes them, where the system lets this user;
    // Wine's says it made one, and makes nothing, and cannot make a link to
    // a folder that the decision's own test covers.
    using create_link_function = BOOLEAN(WINAPI*)(LPCWSTR, LPCWSTR, DWORD);
    const auto create_link = reinterpret_cast<create_link_function>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "CreateSymbolicLinkW")));
    const std::wstring read_only = folder + L"\\read_only";
    make_file(read_only);
    ASSERT_TRUE(SetFileAttributesW(read_only.c_str(), FILE_ATTRIBUTE_READONLY));
    const std::wstring link = folder + L"\\link";
    if (create_link == nullptr || !create_link(link.c_str(), read_only.c_str(), 0)
        || GetFileAttributesW(link.c_str()) == INVALID_FILE_ATTRIBUTES) {
        GTEST_SKIP() << "no symbolic link to a file can be made here";
    }
    EXPECT_TRUE(write_output(link, in, "new"));
    EXPECT_EQ(content_of(link), L"new");
    EXPECT_EQ(GetFileAttributesW(link.c_str()) & FILE_ATTRIBUTE_REPARSE_POINT, 0U);
    EXPECT_NE(GetFileAttributesW(read_only.c_str()) & FILE_ATTRIBUTE_READONLY, 0U);
}

TEST_F(output_file, of_a_read_only_input_is_read_only)
{
    const std::wstring read_only = folder + L"\\read_only";
    make_file(read_only);
    ASSERT_TRUE(SetFileAttributesW(read_only.c_str(), FILE_ATTRIBUTE_READONLY));
    const input read_only_input = open_input(read_only);
    ASSERT_NE(read_only_input.stream, nullptr);
    const std::wstring output_path = read_only + L".xor";
    EXPECT_TRUE(write_output(output_path, read_only_input, "new"));
    EXPECT_NE(GetFileAttributesW(output_path.c_str()) & FILE_ATTRIBUTE_READONLY, 0U);
    EXPECT_EQ(open_output(output_path, read_only_input).stream, nullptr)
        << "a read-only output was opened";
    // A discarded one is removed all the same.
    output out = open_output(folder + L"\\other.xor", read_only_input);
    ASSERT_NE(out.stream, nullptr);
    discard_output(out);
    std::fclose(read_only_input.stream);
    EXPECT_EQ(files_in(folder), 3U);
}

} // namespace
