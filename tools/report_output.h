// What the launcher makes of the reports in the debugger output: each one,
// filtered by the suppression rules, written as text where the output goes
// as soon as it has ended; at the end the page and the SARIF file.
#pragma once
#include "report_model.h"
#include <stdio.h>
#include <string>
#include <vector>

struct ReportOutput {
    FILE *out = stdout;
    bool showReachable = false;
    std::vector<std::string> rules;
    std::vector<bool> ruleUsed;  // per rule: it matched a group
    std::vector<std::string> allocFns;  // --alloc-fn patterns
    unsigned long minRepeat = 0;  // groups of fewer blocks are left out
    std::vector<Report> reports;
};

// Other debugger output passes through; each report is written when it
// ends, and kept with process (see Report::process).
void ConnectReportOutput(ReportReader &reader, ReportOutput &output, const std::string &process = "");

// False with a message (without the "tarnwick: " prefix) naming the file.
bool ReadSuppressionFiles(const std::vector<std::wstring> &files, std::vector<std::string> &rules, std::string &error);

// In the code page of the frame lines, for patterns given on the command line.
std::string WideToAnsi(const std::wstring &text);

bool WriteWholeFile(const std::wstring &path, const std::string &bytes);

// The page and the SARIF file (each where a path is given) once the reports
// are all in; program is the command line for the page. False with the
// files that could not be written in full named in failed.
bool WriteReportFiles(const ReportOutput &output, const std::wstring &htmlPath, const std::wstring &sarifPath,
                      const std::string &program, std::string &failed);
