#include "report_output.h"
#include "report_html.h"
#include "report_sarif.h"
#include "report_text.h"
#include "suppressions.h"
#include <windows.h>

void ConnectReportOutput(ReportReader &reader, ReportOutput &output, const std::string &process)
{
    reader.passThrough = [&output](const std::string &text) {
        fwrite(text.data(), 1, text.size(), output.out);
        fflush(output.out);
    };
    reader.reportDone = [&output, process](Report &report) {
        report.process = process;
        DropAllocatorFrames(report, output.allocFns);
        ApplySuppressions(report, output.rules, output.ruleUsed);
        for (ReportSection &section : report.sections)
            for (ReportGroup &group : section.groups)
                group.belowMinRepeat = !group.suppressed && group.count < output.minRepeat;
        std::string text = ReportText(report, output.showReachable);
        fwrite(text.data(), 1, text.size(), output.out);
        fflush(output.out);
        output.reports.push_back(report);
    };
}

std::string WideToAnsi(const std::wstring &text)
{
    int size = WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string narrow(size, '\0');
    WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(text.size()), &narrow[0], size, nullptr, nullptr);
    return narrow;
}

bool ReadSuppressionFiles(const std::vector<std::wstring> &files, std::vector<std::string> &rules, std::string &error)
{
    for (const std::wstring &path : files) {
        FILE *file = _wfopen(path.c_str(), L"rb");
        if (!file) {
            error = "cannot read the suppression file " + WideToAnsi(path);
            return false;
        }
        std::string text;
        char buffer[65536];
        for (size_t got; (got = fread(buffer, 1, sizeof buffer, file)) > 0;)
            text.append(buffer, got);
        fclose(file);
        if (!ParseSuppressions(text, WideToAnsi(path), rules, error))
            return false;
    }
    return true;
}

bool WriteWholeFile(const std::wstring &path, const std::string &bytes)
{
    FILE *file = _wfopen(path.c_str(), L"wb");
    if (!file)
        return false;
    // A full disk shows only when the buffer is written: at fflush or fclose.
    bool written = fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size() && fflush(file) == 0;
    return fclose(file) == 0 && written;
}

bool WriteReportFiles(const ReportOutput &output, const std::wstring &htmlPath, const std::wstring &sarifPath,
                      const std::string &program, std::string &failed)
{
    failed.clear();
    if (!htmlPath.empty() && !WriteWholeFile(htmlPath, ReportPage(output.reports, output.showReachable, program)))
        failed = WideToAnsi(htmlPath);
    if (!sarifPath.empty() && !WriteWholeFile(sarifPath, ReportSarif(output.reports, output.showReachable)))
        failed += (failed.empty() ? "" : " and ") + WideToAnsi(sarifPath);
    return failed.empty();
}
