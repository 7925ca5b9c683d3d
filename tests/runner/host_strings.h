// The debug strings that dbg_host sends in its "strings" mode; the runner test
// builds the same list to know the exact bytes to expect.
#pragma once
#include <string>
#include <vector>

inline std::wstring PatternString(size_t length, wchar_t seed)
{
    std::wstring text;
    for (size_t i = 0; i < length; i++)
        text += static_cast<wchar_t>(L'!' + (seed + i * 7) % 94);  // printable ASCII
    return text;
}

inline std::vector<std::wstring> HostStrings()
{
    std::vector<std::wstring> strings = {
        L"first\n",
        L"",
        L"no newline",
        L"",
        L"two\nlines\n",
        L"crlf\r\nkept\r\n",
        L"\n",
        L"\ttabs\tand  spaces  \n",
        PatternString(12000, 3),
        L"\n",
        PatternString(32000, 11) + L"\nend of long\n",
    };
    for (int i = 0; i < 2000; i++)
        strings.push_back(L"line " + std::to_wstring(i) + (i % 3 ? L"\n" : L""));
    strings.push_back(L"last\n");
    return strings;
}
