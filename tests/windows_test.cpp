#include "native/windows.h"

#include <gtest/gtest.h>

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

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

TEST(remove_file, removes_a_file_past_the_classic_limit)
{
    const std::filesystem::path folder
        = std::filesystem::temp_directory_path() / std::wstring(250, L'd');
    const std::wstring file = (folder / std::wstring(30, L'f')).wstring();
    ASSERT_TRUE(CreateDirectoryW(extended_length_path(folder.wstring()).c_str(), nullptr)
        || GetLastError() == ERROR_ALREADY_EXISTS);
    const HANDLE created = CreateFileW(extended_length_path(file).c_str(), GENERIC_WRITE, 0,
        nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(created, INVALID_HANDLE_VALUE);
    CloseHandle(created);
    remove_file(file);
    EXPECT_EQ(GetFileAttributesW(extended_length_path(file).c_str()), INVALID_FILE_ATTRIBUTES);
    RemoveDirectoryW(extended_length_path(folder.wstring()).c_str());
}

} // namespace
