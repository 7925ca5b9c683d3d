// The text writer of the report model, and the launcher's summary line.
#pragma once
#include "report_model.h"
#include <string>
#include <vector>

// The report as the library writes it, from its heading on, less the
// suppressed groups; a classified report's reachable groups give way to one
// line that counts them unless showReachable.
std::string ReportText(const Report &report, bool showReachable);

// The summary line for standard error, with its newline.
std::string SummaryLine(const ReportCounts &counts);
