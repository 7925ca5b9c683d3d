#include "suppressions.h"
#include <map>

static char Fold(char c)
{
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool ParseSuppressions(const std::string &text, const std::string &name, std::vector<std::string> &rules,
                       std::string &error)
{
    // A UTF-8 byte-order mark, as some editors write it, is no part of the first line.
    size_t start = text.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
    for (unsigned number = 1; start < text.size(); number++) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(start, end - start);
        start = end + 1;
        // Blanks around a rule are no part of it; CR LF files read alike.
        size_t first = line.find_first_not_of(" \t\r");
        if (first == std::string::npos || line[first] == '#')
            continue;
        line = line.substr(first, line.find_last_not_of(" \t\r") + 1 - first);
        const char *why = nullptr;
        for (char c : line)
            if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
                why = "a rule cannot hold a control character";
        if (line.size() > LongestFrameText)
            why = "a rule cannot be longer than a frame line (2278 characters)";
        if (why) {
            error = name + "(" + std::to_string(number) + "): " + why;
            return false;
        }
        rules.push_back(line);
    }
    return true;
}

// '*' matches any run of characters: on a mismatch the last star takes one
// more character, which is enough for patterns of stars and literals.
bool WildcardMatch(const char *pattern, const char *text)
{
    const char *star = nullptr, *resume = nullptr;
    while (*text) {
        if (*pattern == '*') {
            star = ++pattern;
            resume = text;
        } else if (*pattern && Fold(*pattern) == Fold(*text)) {
            pattern++;
            text++;
        } else if (star) {
            pattern = star;
            text = ++resume;
        } else {
            return false;
        }
    }
    while (*pattern == '*')
        pattern++;
    return !*pattern;
}

void ApplySuppressions(Report &report, const std::vector<std::string> &rules, std::vector<bool> &used)
{
    used.resize(rules.size());
    for (ReportSection &section : report.sections)
        for (ReportGroup &group : section.groups)
            for (const ReportFrame &frame : group.frames)
                for (size_t i = 0; i < rules.size(); i++)
                    if (WildcardMatch(rules[i].c_str(), frame.text.c_str()))
                        group.suppressed = used[i] = true;
}

void DropAllocatorFrames(Report &report, const std::vector<std::string> &patterns)
{
    if (patterns.empty())
        return;
    auto matches = [&patterns](const ReportFrame &frame) {
        for (const std::string &pattern : patterns)
            if (WildcardMatch(pattern.c_str(), frame.text.c_str()))
                return true;
        return false;
    };
    for (ReportSection &section : report.sections) {
        std::vector<ReportGroup> merged;
        std::map<std::string, size_t> byStack;  // the frame lines, joined: the group in merged
        for (ReportGroup &group : section.groups) {
            size_t drop = 0;
            while (drop + 1 < group.frames.size() && matches(group.frames[drop]))
                drop++;
            group.frames.erase(group.frames.begin(), group.frames.begin() + drop);
            std::string stack;
            for (const ReportFrame &frame : group.frames)
                stack += frame.Line() + '\n';
            auto found = byStack.emplace(stack, merged.size());
            if (found.second) {
                merged.push_back(std::move(group));
                continue;
            }
            ReportGroup &same = merged[found.first->second];
            // Bytes first, while each still tells its own sum.
            same.bytes = same.Bytes() + group.Bytes();
            same.count += group.count;
        }
        section.groups = std::move(merged);
    }
}
