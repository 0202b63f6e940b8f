#include "native/windows.h"

#include <gtest/gtest.h>

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <cstdio>
#include <filesystem>
#include <iostream>
#include <string>
#include <system_error>
#include <thread>
#include <utility>

namespace {

struct path_case {
    std::wstring path;
    std::wstring opened;
};

TEST(extended_length_path, lifts_the_limit_only_where_the_full_path_reaches_it)
{
    const std::wstring cwd = std::filesystem::current_path().wstring();
    const std::wstring name(300, L'n');
    const std::wstring fits(256, L'f'); // C:\ and these: 259 characters, the most that fit
    const path_case cases[] = {
        {L"short.txt", L"short.txt"},
        {L"C:\\" + fits, L"C:\\" + fits},
        {L"C:\\" + fits + L"g", L"\\\\?\\C:\\" + fits + L"g"},
        {name, L"\\\\?\\" + cwd + L"\\" + name},
        {L"C:/" + name + L"/sub/../x.bin", L"\\\\?\\C:\\" + name + L"\\x.bin"},
        {L"\\\\server\\share\\" + name, L"\\\\?\\UNC\\server\\share\\" + name},
        {L"\\\\?\\C:\\" + name + L"\\sub\\..\\x", L"\\\\?\\C:\\" + name + L"\\sub\\..\\x"},
        {L"//?/C:/" + name + L"/x", L"\\\\?\\C:\\" + name + L"\\x"},
        {L"\\\\.\\C:\\" + name, L"\\\\.\\C:\\" + name},
        {L"//./C:/" + name, L"\\\\.\\C:\\" + name},
    };
    for (const path_case& c : cases) {
        EXPECT_EQ(extended_length_path(c.path), c.opened) << "path of " << c.path.size();
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

void write_new_output(const std::wstring& path, std::FILE* input, const char* content)
{
    std::FILE* stream = open_output(path, input);
    ASSERT_NE(stream, nullptr);
    std::fputs(content, stream);
    ASSERT_EQ(std::fclose(stream), 0);
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

// An empty folder of the test's own in the working folder, without what a
// failed run before left in it.
std::wstring fresh_folder(const std::wstring& name)
{
    const std::wstring folder = (std::filesystem::current_path() / name).wstring();
    std::error_code ignored;
    std::filesystem::remove_all(extended_length_path(folder), ignored);
    EXPECT_TRUE(CreateDirectoryW(extended_length_path(folder).c_str(), nullptr))
        << "could not create a folder to test with";
    return folder;
}

// The console handler is set up once per process, however many tests run.
void handle_signals_once()
{
    static const bool handled = (handle_signals(), true);
    (void)handled;
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

std::FILE* create_empty(const std::wstring& path)
{
    std::FILE* created = _wfopen(extended_length_path(path).c_str(), L"w+b");
    EXPECT_NE(created, nullptr) << "could not create a file to test with";
    return created;
}

TEST(open_files, share_the_input_and_nothing_of_the_new_output)
{
    handle_signals_once();
    const std::wstring folder = fresh_folder(L"xorfile_share");
    const std::wstring input_path = folder + L"\\in";
    std::fclose(create_empty(input_path));

    std::FILE* input = open_input(input_path);
    ASSERT_NE(input, nullptr);
    EXPECT_TRUE(opens_with(input_path, GENERIC_READ)) << "another run could not read the input";
    EXPECT_TRUE(opens_with(input_path, DELETE)) << "another run could not replace the input";
    std::FILE* output = open_output(folder + L"\\in.xor", input);
    ASSERT_NE(output, nullptr);
    WIN32_FIND_DATAW found;
    const HANDLE search = FindFirstFileW((folder + L"\\.in.xor.*").c_str(), &found);
    ASSERT_NE(search, INVALID_HANDLE_VALUE);
    FindClose(search);
    EXPECT_FALSE(opens_with(folder + L"\\" + found.cFileName, GENERIC_READ))
        << "the unfinished output could be read";

    std::fclose(output);
    discard_output();
    // An output that another program keeps from being written is refused
    // before anything is copied.
    const std::wstring held_path = folder + L"\\held.xor";
    std::fclose(create_empty(held_path));
    const HANDLE holder = CreateFileW(held_path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
        OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(holder, INVALID_HANDLE_VALUE);
    EXPECT_EQ(open_output(held_path, input), nullptr)
        << "an output held without sharing was opened";
    CloseHandle(holder);
    DeleteFileW(held_path.c_str());

    std::fclose(input);
    DeleteFileW(input_path.c_str());
    EXPECT_TRUE(RemoveDirectoryW(folder.c_str())) << "a file was left in the folder";
}

TEST(output_file, is_put_in_place_or_removed_past_the_classic_limit)
{
    handle_signals_once();
    const std::wstring folder = fresh_folder(std::wstring(250, L'd'));
    const std::wstring input_path = folder + L"\\in";
    const std::wstring output_path = folder + L"\\" + std::wstring(30, L'f');
    std::FILE* input = create_empty(input_path);
    ASSERT_NE(input, nullptr);

    write_new_output(output_path, input, "new");
    EXPECT_TRUE(commit_output(output_path));
    write_new_output(output_path, input, "discarded");
    discard_output();
    EXPECT_EQ(content_of(output_path), L"new");
    EXPECT_EQ(files_in(folder), 2U);

    std::fclose(input);
    DeleteFileW(extended_length_path(input_path).c_str());
    DeleteFileW(extended_length_path(output_path).c_str());
    RemoveDirectoryW(extended_length_path(folder).c_str());
}

TEST(output_file, name_is_cut_short_of_a_surrogate_pair)
{
    handle_signals_once();
    const std::wstring folder = fresh_folder(L"xorfile_surrogate");
    // The new file's name, "." and the output's and "." and 8 digits, would
    // pass 255 units: the cut falls inside the emoji, which goes whole.
    const std::wstring name = std::wstring(244, L'a') + L"\U0001F600b.xor";
    std::FILE* input = create_empty(folder + L"\\in");
    ASSERT_NE(input, nullptr);

    std::FILE* output = open_output(folder + L"\\" + name, input);
    ASSERT_NE(output, nullptr);
    WIN32_FIND_DATAW found;
    const HANDLE search = FindFirstFileW((folder + L"\\.a*").c_str(), &found);
    ASSERT_NE(search, INVALID_HANDLE_VALUE);
    FindClose(search);
    const std::wstring new_name = found.cFileName;
    EXPECT_EQ(new_name.substr(0, 246), L"." + std::wstring(244, L'a') + L".");
    EXPECT_EQ(new_name.size(), 254U);
    std::fclose(output);
    EXPECT_TRUE(commit_output(folder + L"\\" + name));

    std::fclose(input);
    std::filesystem::remove_all(folder);
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
        EXPECT_EQ(is_stream_path(path), stream) << std::string(path.begin(), path.end());
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

// An old output that another program holds open while the new one is put
// in place: share is what the holder lets others do, hold_ms how long it
// holds it.
struct holder_case {
    DWORD share;
    DWORD hold_ms;
    bool replaced;
};

TEST(output_file, replaces_an_old_output_that_others_hold_open)
{
    handle_signals_once();
    const std::wstring folder = fresh_folder(L"xorfile_held");
    std::FILE* input = create_empty(folder + L"\\in");
    ASSERT_NE(input, nullptr);
    const std::wstring output_path = folder + L"\\in.xor";
    const holder_case cases[] = {
        {FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, 500, true},
        {FILE_SHARE_READ | FILE_SHARE_WRITE, 3500, false},
    };
    for (const holder_case& c : cases) {
        std::fclose(create_empty(output_path));
        const HANDLE holder = CreateFileW(output_path.c_str(), GENERIC_READ, c.share, nullptr,
            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        ASSERT_NE(holder, INVALID_HANDLE_VALUE);
        std::thread closer([&] {
            Sleep(c.hold_ms);
            CloseHandle(holder);
        });
        write_new_output(output_path, input, "new");
        const bool replaced = commit_output(output_path);
        if (!replaced) {
            discard_output();
        }
        closer.join();
        EXPECT_EQ(replaced, c.replaced) << "share " << c.share;
        EXPECT_EQ(content_of(output_path), c.replaced ? L"new" : L"");
        EXPECT_EQ(files_in(folder), 2U);
    }
    std::fclose(input);
    std::filesystem::remove_all(folder);
}

TEST(output_file, refuses_what_fopen_refuses_and_replaces_links)
{
    handle_signals_once();
    const std::wstring folder = fresh_folder(L"xorfile_names");
    std::FILE* input = create_empty(folder + L"\\in");
    ASSERT_NE(input, nullptr);
    for (const DWORD attribute : {FILE_ATTRIBUTE_HIDDEN, FILE_ATTRIBUTE_SYSTEM}) {
        const std::wstring path = folder + L"\\kept." + std::to_wstring(attribute);
        std::fclose(create_empty(path));
        ASSERT_TRUE(SetFileAttributesW(path.c_str(), attribute));
        EXPECT_EQ(open_output(path, input), nullptr) << "attribute " << attribute;
        EXPECT_NE(GetFileAttributesW(path.c_str()) & attribute, 0U) << "attribute " << attribute;
        SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    }

    // Links made as Windows makes them, where the system lets this user;
    // the flag is Windows' own, hidden from headers for XP.
    constexpr DWORD link_to_folder = 0x1;
    using create_link_function = BOOLEAN(WINAPI*)(LPCWSTR, LPCWSTR, DWORD);
    const auto create_link = reinterpret_cast<create_link_function>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "CreateSymbolicLinkW")));
    const std::wstring read_only = folder + L"\\read_only";
    std::fclose(create_empty(read_only));
    ASSERT_TRUE(SetFileAttributesW(read_only.c_str(), FILE_ATTRIBUTE_READONLY));
    const std::wstring sub = folder + L"\\sub";
    ASSERT_TRUE(CreateDirectoryW(sub.c_str(), nullptr));
    const std::pair<std::wstring, DWORD> targets[] = {{read_only, 0}, {sub, link_to_folder}};
    for (const auto& [target, flags] : targets) {
        const std::wstring link = folder + L"\\link";
        // Wine's says it made one, and makes nothing.
        if (create_link == nullptr || !create_link(link.c_str(), target.c_str(), flags)
            || GetFileAttributesW(link.c_str()) == INVALID_FILE_ATTRIBUTES) {
            std::cout << "SKIP: no symbolic link to " << (flags ? "a folder" : "a file") << "\n";
            continue;
        }
        write_new_output(link, input, "new");
        EXPECT_TRUE(commit_output(link));
        EXPECT_EQ(content_of(link), L"new");
        EXPECT_EQ(GetFileAttributesW(link.c_str()) & FILE_ATTRIBUTE_REPARSE_POINT, 0U);
        DeleteFileW(link.c_str());
    }
    EXPECT_NE(GetFileAttributesW(read_only.c_str()) & FILE_ATTRIBUTE_READONLY, 0U);
    SetFileAttributesW(read_only.c_str(), FILE_ATTRIBUTE_NORMAL);
    std::fclose(input);
    std::filesystem::remove_all(folder);
}

} // namespace
