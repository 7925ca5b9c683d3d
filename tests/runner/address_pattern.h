// Addresses as this build's library and launcher print them (8 hexadecimal
// digits, 16 on x64), and as either build's do.
#pragma once
#if defined(_WIN64)
#define ADDRESS "0x[0-9A-F]{16}"
#else
#define ADDRESS "0x[0-9A-F]{8}"
#endif
#define ANY_ADDRESS "0x[0-9A-F]{8}(?:[0-9A-F]{8})?"
