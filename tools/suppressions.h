// Suppression rules: known, accepted leaks left out of the report. A rule is
// a pattern with * wildcards, matched without regard to the case of A-Z
// against each frame line of a group less its " : 0x..." address; a group is
// suppressed when any of its frames matches any rule.
#pragma once
#include "report_model.h"
#include <string>
#include <vector>

// The longest frame line less its address: a 259-character module name, "!",
// a 1999-character symbol name and "+0x" with 16 hexadecimal digits.
enum { LongestFrameText = 259 + 1 + 1999 + 3 + 16 };

// Adds the rules of one file's text ('#' comments and blank lines ignored).
// False with "NAME(LINE): why" for a line that cannot be a rule.
bool ParseSuppressions(const std::string &text, const std::string &name, std::vector<std::string> &rules,
                       std::string &error);

bool WildcardMatch(const char *pattern, const char *text);

// Marks the groups that a rule matches, and in used (one flag per rule,
// kept across reports) the rules that matched.
void ApplySuppressions(Report &report, const std::vector<std::string> &rules, std::vector<bool> &used);

// --alloc-fn: drops the leading frames of each group that a pattern matches
// (the program's own allocation functions; the outermost frame always stays),
// then merges the groups of a section whose stacks have become the same into
// the first of them, counts and bytes added.
void DropAllocatorFrames(Report &report, const std::vector<std::string> &patterns);
