// Text for the page and the SARIF file: UTF-8 from the ANSI code page in
// which the debugger output arrives, and JSON string literals.
#pragma once
#include <string>

std::string AnsiToUtf8(const std::string &ansi);
std::string WideToUtf8(const std::wstring &wide);

// Source files: kept when they are UTF-8 already, else read as ANSI.
std::string TextToUtf8(const std::string &bytes);

// A quoted JSON string of UTF-8 text; <, > and & are escaped too, so that it
// can stand inside a script element.
std::string JsonString(const std::string &utf8);
