#include "json_text.h"
#include <windows.h>
#include <stdio.h>

std::string WideToUtf8(const std::wstring &wide)
{
    int chars = static_cast<int>(wide.size());
    int size = WideCharToMultiByte(CP_UTF8, 0, wide.data(), chars, nullptr, 0, nullptr, nullptr);
    std::string utf8(size > 0 ? size : 0, '\0');
    if (size > 0)
        WideCharToMultiByte(CP_UTF8, 0, wide.data(), chars, &utf8[0], size, nullptr, nullptr);
    return utf8;
}

static std::string Convert(const std::string &bytes, UINT codePage, DWORD flags, bool &ok)
{
    ok = true;
    if (bytes.empty())
        return bytes;
    int chars = MultiByteToWideChar(codePage, flags, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
    if (chars <= 0) {
        ok = false;
        return std::string();
    }
    std::wstring wide(chars, L'\0');
    MultiByteToWideChar(codePage, flags, bytes.data(), static_cast<int>(bytes.size()), &wide[0], chars);
    return WideToUtf8(wide);
}

std::string AnsiToUtf8(const std::string &ansi)
{
    bool ok;
    return Convert(ansi, CP_ACP, 0, ok);
}

std::string TextToUtf8(const std::string &bytes)
{
    bool ok;
    Convert(bytes, CP_UTF8, MB_ERR_INVALID_CHARS, ok);
    return ok ? bytes : AnsiToUtf8(bytes);
}

std::string JsonString(const std::string &utf8)
{
    std::string json = "\"";
    for (char c : utf8) {
        unsigned char u = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            json += '\\';
            json += c;
        } else if (u < 0x20 || c == '<' || c == '>' || c == '&') {
            char escaped[8];
            snprintf(escaped, sizeof escaped, "\\u%04x", u);
            json += escaped;
        } else {
            json += c;
        }
    }
    return json + "\"";
}
