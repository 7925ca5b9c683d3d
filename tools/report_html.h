// The HTML writer of the report model: one self-contained page (the
// template tools/report_page.html with the reports as JSON in it).
#pragma once
#include "report_model.h"
#include <string>
#include <vector>

// program: the command line, as UTF-8, for the page's heading.
std::string ReportPage(const std::vector<Report> &reports, bool showReachable, const std::string &program);
