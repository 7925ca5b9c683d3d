// The code around a frame's source line, for the page: read from the file
// the frame names (under Wine a Z:\ path opens directly), each file once.
#pragma once
#include <map>
#include <string>
#include <vector>

class SourceLines {
public:
    // Up to radius lines either side of line (1-based), as UTF-8, the first
    // of them numbered first; empty when the file cannot be read or has no
    // such line.
    std::vector<std::string> Around(const std::string &path, unsigned long line, unsigned radius, unsigned long &first);

private:
    std::map<std::string, std::vector<std::string>> files_;  // empty: not readable
};
