#include "source_lines.h"
#include "json_text.h"
#include <windows.h>

enum { LargestSourceFile = 16 << 20 };

static std::vector<std::string> ReadLines(const std::string &path)
{
    std::vector<std::string> lines;
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return lines;
    std::string bytes;
    char buffer[65536];
    DWORD got;
    while (bytes.size() < LargestSourceFile && ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got)
        bytes.append(buffer, got);
    CloseHandle(file);
    if (bytes.size() >= LargestSourceFile)
        return lines;
    bytes = TextToUtf8(bytes);
    for (size_t start = 0; start < bytes.size();) {
        size_t end = bytes.find('\n', start);
        if (end == std::string::npos)
            end = bytes.size();
        size_t stop = end > start && bytes[end - 1] == '\r' ? end - 1 : end;
        lines.push_back(bytes.substr(start, stop - start));
        start = end + 1;
    }
    return lines;
}

std::vector<std::string> SourceLines::Around(const std::string &path, unsigned long line, unsigned radius,
                                             unsigned long &first)
{
    auto found = files_.find(path);
    if (found == files_.end())
        found = files_.emplace(path, ReadLines(path)).first;
    const std::vector<std::string> &lines = found->second;
    if (line == 0 || line > lines.size())
        return {};
    first = line > radius ? line - radius : 1;
    unsigned long last = line + radius < lines.size() ? line + radius : lines.size();
    return std::vector<std::string>(lines.begin() + (first - 1), lines.begin() + last);
}
