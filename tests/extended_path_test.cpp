#include "native.h"

#include <gtest/gtest.h>

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
    };
    for (const path_case& c : cases) {
        EXPECT_EQ(extended_length_path(c.path), c.opened) << "path of " << c.path.size();
    }
}

} // namespace
