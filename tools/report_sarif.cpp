#include "report_sarif.h"
#include "json_text.h"
#include "tarnwick.h"
#include <windows.h>
#include <ctype.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

// A file URI for a frame's path. Under Wine, drive Z: is the Unix root: its
// paths become the Unix ones, which tools on that side open.
static std::string FileUri(const std::string &path)
{
    static const bool wine = GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
    std::string utf8 = AnsiToUtf8(path), uri = "file:///";
    size_t start = 0;
    if (wine && utf8.size() > 3 && (utf8[0] == 'Z' || utf8[0] == 'z') && utf8[1] == ':' && utf8[2] == '\\')
        start = 3;
    for (size_t i = start; i < utf8.size(); i++) {
        unsigned char c = static_cast<unsigned char>(utf8[i]);
        if (c == '\\') {
            uri += '/';
        } else if ((c < 0x80 && isalnum(c)) || (c && strchr("-._~/:", c))) {
            uri += static_cast<char>(c);
        } else {
            char escaped[4];
            snprintf(escaped, sizeof escaped, "%%%02X", c);
            uri += escaped;
        }
    }
    return uri;
}

static std::string Location(const ReportFrame &frame)
{
    const std::string &address = frame.address.empty() ? frame.text : frame.address;
    std::string physical;
    std::string file;
    unsigned long line;
    if (frame.Source(file, line))
        physical = "\"artifactLocation\":{\"uri\":" + JsonString(FileUri(file)) + "},\"region\":{\"startLine\":" +
                   std::to_string(line) + "},";
    physical += "\"address\":{\"absoluteAddress\":" + std::to_string(strtoull(address.c_str(), nullptr, 16));
    if (!frame.place.empty())
        physical += ",\"fullyQualifiedName\":" + JsonString(AnsiToUtf8(frame.place));
    return "{\"physicalLocation\":{" + physical + "}},\"message\":{\"text\":" +
           JsonString(AnsiToUtf8(frame.Shown())) + "}}";
}

// A compiler's or platform's own header (a container, a string), not the
// program's source: where the toolchains keep their headers.
static bool InToolchainHeader(const std::string &file)
{
    static const char *const folders[] = {"\\include\\c++\\", "\\lib\\gcc\\", "-w64-mingw32\\include\\",
                                          "\\Microsoft Visual Studio\\", "\\Windows Kits\\"};
    std::string lower = file;
    for (char &c : lower)
        c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    for (const char *folder : folders) {
        std::string wanted = folder;
        for (char &c : wanted)
            c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
        if (lower.find(wanted) != std::string::npos)
            return true;
    }
    return false;
}

static std::string Result(const Report &report, const ReportSection &section, const ReportGroup &group)
{
    const char *what = section.leakClass == LeakClass::Reachable ? "still reachable"
                       : section.leakClass == LeakClass::Lost    ? "lost"
                                                                 : "leaked";
    std::string message = std::to_string(group.Bytes()) + " bytes in " + std::to_string(group.count) + " blocks " +
                          what + " (one of " + std::to_string(group.size) + " bytes at " + group.address + ")";
    std::string result = "{\"ruleId\":\"TW0001\",\"level\":\"" +
                         std::string(section.leakClass == LeakClass::Reachable ? "note" : "warning") +
                         "\",\"message\":{\"text\":" + JsonString(message) + "}";
    // The first frame in the program's own source, else the first with any.
    std::string file;
    unsigned long line;
    const ReportFrame *located = nullptr;
    for (const ReportFrame &frame : group.frames) {
        if (!frame.Source(file, line))
            continue;
        if (!InToolchainHeader(file)) {
            located = &frame;
            break;
        }
        if (!located)
            located = &frame;
    }
    if (located)
        result += ",\"locations\":[" + Location(*located) + "]";
    result += ",\"stacks\":[{\"message\":{\"text\":\"the call stack of the allocation, innermost first\"},\"frames\":[";
    for (size_t i = 0; i < group.frames.size(); i++)
        result += std::string(i ? "," : "") + "{\"location\":" + Location(group.frames[i]) + "}";
    result += "]}],\"properties\":{\"bytes\":" + std::to_string(group.Bytes()) +
              ",\"blocks\":" + std::to_string(group.count) + ",\"blockSize\":" + std::to_string(group.size) +
              ",\"blockAddress\":\"" + group.address + "\"";
    if (section.leakClass != LeakClass::None)
        result += ",\"class\":\"" + std::string(ClassName(section.leakClass)) + "\"";
    if (!report.process.empty())
        result += ",\"process\":" + JsonString(AnsiToUtf8(report.process));
    return result + "}}";
}

std::string ReportSarif(const std::vector<Report> &reports, bool showReachable)
{
    // Modules without line information, as the run's notifications.
    std::string notes;
    for (const std::string &text : MissingLineInformation(reports))
        notes += std::string(notes.empty() ? "" : ",") + "{\"level\":\"warning\",\"message\":{\"text\":" +
                 JsonString(AnsiToUtf8(text.substr(0, text.size() - 1))) + "}}";
    std::string results;
    for (const Report &report : reports)
        for (const ReportSection &section : report.sections)
            for (const ReportGroup &group : section.groups)
                if (GroupShown(section, group, showReachable))
                    results += (results.empty() ? "\n" : ",\n") + Result(report, section, group);
    return "{\"$schema\":\"https://json.schemastore.org/sarif-2.1.0.json\",\"version\":\"2.1.0\",\"runs\":[{"
           "\"tool\":{\"driver\":{\"name\":\"Tarnwick\",\"version\":\"" TARNWICK_VERSION_STRING "\","
           "\"rules\":[{\"id\":\"TW0001\",\"name\":\"MemoryLeak\",\"shortDescription\":{\"text\":"
           "\"Memory allocated and never released\"}}]}},\"invocations\":[{\"executionSuccessful\":true,"
           "\"toolExecutionNotifications\":[" +
           notes + "]}],\"results\":[" + results + "]}]}\n";
}
