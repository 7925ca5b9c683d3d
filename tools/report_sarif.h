// The SARIF 2.1.0 writer of the report model: one result per group shown,
// located at its innermost frame with source, its whole stack as the
// result's stack, the class (where the report has classes) as a property.
#pragma once
#include "report_model.h"
#include <string>
#include <vector>

std::string ReportSarif(const std::vector<Report> &reports, bool showReachable);
