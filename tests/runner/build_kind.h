// What the tests expect of this build's kind and of the other one: addresses
// as the library and launcher print them (8 hexadecimal digits, 16 on x64),
// and where the other kind's programs are (Wine's cmd.exe of the other kind too).
#pragma once
#if defined(_WIN64)
#define ADDRESS "0x[0-9A-F]{16}"
#define OTHER_ADDRESS "0x[0-9A-F]{8}"
#define KIND "64-bit"
#define OTHER_KIND "32-bit"
#define OTHER_DIR L"..\\"
#define OTHER_CMD L"C:\\windows\\syswow64\\cmd.exe"
#else
#define ADDRESS "0x[0-9A-F]{8}"
#define OTHER_ADDRESS "0x[0-9A-F]{16}"
#define KIND "32-bit"
#define OTHER_KIND "64-bit"
#define OTHER_DIR L"x64\\"
#define OTHER_CMD L"C:\\windows\\sysnative\\cmd.exe"
#endif
#define ANY_ADDRESS "0x[0-9A-F]{8}(?:[0-9A-F]{8})?"
