#include "native/windows.h"

#include <gtest/gtest.h>

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <cstdio>
#include <filesystem>
#include <string>

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

// The console handler is set up once per process, however many tests run.
void handle_signals_once()
{
    static const bool handled = (handle_signals(), true);
    (void)handled;
}

bool opens_for_reading(const std::wstring& path)
{
    const HANDLE file = CreateFileW(extended_length_path(path).c_str(), GENERIC_READ,
        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
        FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    CloseHandle(file);
    return true;
}

TEST(open_files, share_the_input_and_nothing_of_the_new_output)
{
    handle_signals_once();
    const std::wstring folder
        = (std::filesystem::temp_directory_path() / L"xorfile_share").wstring();
    const std::wstring input_path = folder + L"\\in";
    ASSERT_TRUE(
        CreateDirectoryW(folder.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS);
    std::FILE* created = _wfopen(input_path.c_str(), L"wb");
    ASSERT_NE(created, nullptr);
    std::fclose(created);

    std::FILE* input = open_input(input_path);
    ASSERT_NE(input, nullptr);
    EXPECT_TRUE(opens_for_reading(input_path)) << "another run could not read the input";
    std::FILE* output = open_output(folder + L"\\in.xor", input);
    ASSERT_NE(output, nullptr);
    WIN32_FIND_DATAW found;
    const HANDLE search = FindFirstFileW((folder + L"\\.in.xor.*").c_str(), &found);
    ASSERT_NE(search, INVALID_HANDLE_VALUE);
    FindClose(search);
    EXPECT_FALSE(opens_for_reading(folder + L"\\" + found.cFileName))
        << "the unfinished output could be read";

    std::fclose(output);
    discard_output();
    std::fclose(input);
    DeleteFileW(input_path.c_str());
    EXPECT_TRUE(RemoveDirectoryW(folder.c_str())) << "a file was left in the folder";
}

TEST(output_file, is_put_in_place_or_removed_past_the_classic_limit)
{
    handle_signals_once();
    const std::wstring folder
        = (std::filesystem::temp_directory_path() / std::wstring(250, L'd')).wstring();
    const std::wstring input_path = folder + L"\\in";
    const std::wstring output_path = folder + L"\\" + std::wstring(30, L'f');
    ASSERT_TRUE(CreateDirectoryW(extended_length_path(folder).c_str(), nullptr)
        || GetLastError() == ERROR_ALREADY_EXISTS);
    std::FILE* input = _wfopen(extended_length_path(input_path).c_str(), L"w+b");
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

} // namespace
