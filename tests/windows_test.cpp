#include "native/windows.h"

#include <gtest/gtest.h>

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

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
        {L"\\\\.\\C:\\" + name, L"\\\\.\\C:\\" + name},
        {L"\\\\.\\C:\\" + name + L"\\sub\\..\\x", L"\\\\.\\C:\\" + name + L"\\sub\\..\\x"},
        {L"//./C:/" + name, L"\\\\.\\C:\\" + name},
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

TEST(error_mode, keeps_what_the_caller_set)
{
    const UINT before = SetErrorMode(SEM_NOGPFAULTERRORBOX);
    keep_dialogs_away();
    const UINT after = SetErrorMode(before);
    EXPECT_EQ(after, SEM_NOGPFAULTERRORBOX | SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
}

struct judge_case {
    const char* what;
    name_facts facts;
    name_holds holds;
};

// Cases Wine cannot make too: a junction, a link to a folder, a device
// that is the input.
TEST(judge_output_name, decides_by_the_name_itself)
{
    constexpr DWORD none = INVALID_FILE_ATTRIBUTES;
    constexpr DWORD normal = FILE_ATTRIBUTE_ARCHIVE;
    constexpr DWORD link = FILE_ATTRIBUTE_REPARSE_POINT;
    constexpr DWORD folder = FILE_ATTRIBUTE_DIRECTORY;
    constexpr DWORD disk = FILE_TYPE_DISK;
    constexpr DWORD character = FILE_TYPE_CHAR;
    constexpr DWORD opened = ERROR_SUCCESS;
    constexpr DWORD held = ERROR_SHARING_VIOLATION;
    const judge_case cases[] = {
        {"missing", {false, false, none, 0, ERROR_FILE_NOT_FOUND, 0, false}, name_holds::nothing},
        {"a file", {false, false, normal, 0, opened, disk, false}, name_holds::replaceable},
        {"a file held without write sharing", {false, false, normal, 0, held, disk, false},
            name_holds::replaceable},
        {"a link to a file", {false, false, link, IO_REPARSE_TAG_SYMLINK, opened, disk, false},
            name_holds::replaceable},
        {"a link to a folder",
            {false, false, link | folder, IO_REPARSE_TAG_SYMLINK, ERROR_ACCESS_DENIED, 0, false},
            name_holds::folder_link},
        {"a junction",
            {false, false, link | folder, IO_REPARSE_TAG_MOUNT_POINT, ERROR_ACCESS_DENIED, 0,
                false},
            name_holds::folder_link},
        {"a cloud file", {false, false, link, 0x9000001a, opened, disk, false},
            name_holds::replaceable},
        {"a folder", {false, false, folder, 0, ERROR_ACCESS_DENIED, 0, false},
            name_holds::directory},
        {"a read-only file",
            {false, false, FILE_ATTRIBUTE_READONLY, 0, ERROR_ACCESS_DENIED, 0, false},
            name_holds::kept_attributes},
        {"a hidden file", {false, false, FILE_ATTRIBUTE_HIDDEN, 0, opened, disk, false},
            name_holds::kept_attributes},
        {"NUL", {false, false, none, 0, opened, character, false}, name_holds::device},
        {"NUL that is the input", {false, false, none, 0, opened, character, true},
            name_holds::the_input},
        {"a device held without write sharing", {false, false, none, 0, held, character, false},
            name_holds::unknown},
        {"a stream", {true, false, none, 0, ERROR_FILE_NOT_FOUND, 0, false}, name_holds::stream},
        {"a name past the limit", {false, true, none, 0, ERROR_FILE_NOT_FOUND, 0, false},
            name_holds::too_long},
        {"a folder that may not be written", {false, false, none, 0, ERROR_ACCESS_DENIED, 0, false},
            name_holds::unknown},
    };
    for (const judge_case& c : cases) {
        EXPECT_EQ(judge_output_name(c.facts), c.holds) << c.what;
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

bool write_output(const std::wstring& path, std::FILE* input, const char* content)
{
    std::FILE* stream = open_output(path, input);
    if (stream == nullptr) {
        ADD_FAILURE() << "could not open " << narrow(path);
        return false;
    }
    std::fputs(content, stream);
    return commit_output(stream);
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

void make_empty(const std::wstring& path)
{
    std::FILE* created = _wfopen(extended_length_path(path).c_str(), L"wb");
    ASSERT_NE(created, nullptr) << "could not create " << narrow(path);
    std::fclose(created);
}

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
        make_empty(folder + L"\\in");
        input = open_input(folder + L"\\in");
        ASSERT_NE(input, nullptr);
    }

    void TearDown() override
    {
        if (input != nullptr) {
            std::fclose(input);
        }
        remove_tree(folder);
    }

    std::wstring folder;
    std::FILE* input = nullptr;
};

TEST_F(output_file, shares_the_input_and_nothing_of_the_new_output)
{
    const std::wstring input_path = folder + L"\\in";
    EXPECT_TRUE(opens_with(input_path, GENERIC_READ)) << "another run could not read the input";
    EXPECT_TRUE(opens_with(input_path, DELETE)) << "another run could not replace the input";
    std::FILE* output = open_output(folder + L"\\in.xor", input);
    ASSERT_NE(output, nullptr);
    EXPECT_FALSE(opens_with(folder + L"\\" + new_file_in(folder), GENERIC_READ))
        << "the unfinished output could be read";
    discard_output(output);
    EXPECT_EQ(files_in(folder), 1U);
}

// Whatever another program holds the old output with, it is never refused
// before the copy: the rename finds out whether it may be replaced.
TEST_F(output_file, held_open_is_never_refused_at_the_start)
{
    const std::wstring path = folder + L"\\held.xor";
    make_empty(path);
    for (const DWORD access :
        {DWORD{GENERIC_READ}, DWORD{GENERIC_WRITE}, DWORD{GENERIC_READ | GENERIC_WRITE}}) {
        for (DWORD share = 0; share <= (FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
             ++share) {
            const HANDLE holder = CreateFileW(path.c_str(), access, share, nullptr, OPEN_EXISTING,
                FILE_ATTRIBUTE_NORMAL, nullptr);
            ASSERT_NE(holder, INVALID_HANDLE_VALUE);
            std::FILE* output = open_output(path, input);
            EXPECT_NE(output, nullptr) << "access " << access << ", share " << share;
            if (output != nullptr) {
                discard_output(output);
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
    EXPECT_TRUE(write_output(output_path, input, "new"));
    std::FILE* output = open_output(output_path, input);
    ASSERT_NE(output, nullptr);
    std::fputs("discarded", output);
    discard_output(output);
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
        std::FILE* output = open_output(folder + L"\\" + c.output, input);
        ASSERT_NE(output, nullptr);
        const std::wstring name = new_file_in(folder);
        EXPECT_EQ(name.substr(0, c.prefix.size()), c.prefix);
        EXPECT_EQ(name.size(), c.size);
        EXPECT_EQ(name.find_first_not_of(L"0123456789abcdef", c.prefix.size()), std::wstring::npos);
        discard_output(output);
    }
}

// An old output that another program holds open while the new one is put
// in place: share is what the holder lets others do, hold_ms how long it
// holds it. Wine's rename cannot replace a held file, so where none may
// replace it, the retry must outlast the holder.
struct holder_case {
    DWORD share;
    DWORD hold_ms;
    bool replaced;
};

TEST_F(output_file, replaces_an_old_output_that_others_hold_open)
{
    const std::wstring output_path = folder + L"\\in.xor";
    const holder_case cases[] = {
        {FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, 500, true},
        {FILE_SHARE_READ, 500, true},
        {FILE_SHARE_READ | FILE_SHARE_WRITE, 8000, false},
    };
    for (const holder_case& c : cases) {
        make_empty(output_path);
        const HANDLE holder = CreateFileW(output_path.c_str(), GENERIC_READ, c.share, nullptr,
            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        ASSERT_NE(holder, INVALID_HANDLE_VALUE);
        std::thread closer([&] {
            Sleep(c.hold_ms);
            CloseHandle(holder);
        });
        const bool replaced = write_output(output_path, input, "new");
        closer.join();
        EXPECT_EQ(replaced, c.replaced) << "share " << c.share;
        EXPECT_EQ(content_of(output_path), c.replaced ? L"new" : L"");
        EXPECT_EQ(files_in(folder), 2U);
    }
}

TEST_F(output_file, refuses_what_fopen_refuses_and_replaces_links)
{
    for (const DWORD attribute : {FILE_ATTRIBUTE_HIDDEN, FILE_ATTRIBUTE_SYSTEM}) {
        const std::wstring path = folder + L"\\kept." + std::to_wstring(attribute);
        make_empty(path);
        ASSERT_TRUE(SetFileAttributesW(path.c_str(), attribute));
        EXPECT_EQ(open_output(path, input), nullptr) << "attribute " << attribute;
        EXPECT_NE(GetFileAttributesW(path.c_str()) & attribute, 0U) << "attribute " << attribute;
    }

    // Links made as Windows makes them, where the system lets this user;
    // Wine's says it made one, and makes nothing, and cannot make a link to
    // a folder that the decision's own test covers.
    using create_link_function = BOOLEAN(WINAPI*)(LPCWSTR, LPCWSTR, DWORD);
    const auto create_link = reinterpret_cast<create_link_function>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "CreateSymbolicLinkW")));
    const std::wstring read_only = folder + L"\\read_only";
    make_empty(read_only);
    ASSERT_TRUE(SetFileAttributesW(read_only.c_str(), FILE_ATTRIBUTE_READONLY));
    const std::wstring link = folder + L"\\link";
    if (create_link == nullptr || !create_link(link.c_str(), read_only.c_str(), 0)
        || GetFileAttributesW(link.c_str()) == INVALID_FILE_ATTRIBUTES) {
        GTEST_SKIP() << "no symbolic link to a file can be made here";
    }
    EXPECT_TRUE(write_output(link, input, "new"));
    EXPECT_EQ(content_of(link), L"new");
    EXPECT_EQ(GetFileAttributesW(link.c_str()) & FILE_ATTRIBUTE_REPARSE_POINT, 0U);
    EXPECT_NE(GetFileAttributesW(read_only.c_str()) & FILE_ATTRIBUTE_READONLY, 0U);
}

TEST_F(output_file, of_a_read_only_input_is_read_only)
{
    const std::wstring read_only = folder + L"\\read_only";
    make_empty(read_only);
    ASSERT_TRUE(SetFileAttributesW(read_only.c_str(), FILE_ATTRIBUTE_READONLY));
    std::FILE* read_only_input = open_input(read_only);
    ASSERT_NE(read_only_input, nullptr);
    const std::wstring output_path = read_only + L".xor";
    EXPECT_TRUE(write_output(output_path, read_only_input, "new"));
    EXPECT_NE(GetFileAttributesW(output_path.c_str()) & FILE_ATTRIBUTE_READONLY, 0U);
    EXPECT_EQ(open_output(output_path, read_only_input), nullptr)
        << "a read-only output was opened";
    // A discarded one is removed all the same.
    std::FILE* output = open_output(folder + L"\\other.xor", read_only_input);
    ASSERT_NE(output, nullptr);
    discard_output(output);
    std::fclose(read_only_input);
    EXPECT_EQ(files_in(folder), 3U);
}

} // namespace
