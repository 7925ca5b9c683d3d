// Report lines formatted without user32: the wsprintfW conventions that the
// report uses, and no others.
#pragma once
#include <stdint.h>

// Writes format into out (capacity wide characters with the terminating
// zero, cut to fit) and returns the characters written. Conversions: %s a
// wide string, %d a signed and %u an unsigned 32-bit decimal, %x a 32-bit
// value in lower-case hexadecimal, %X one in eight upper-case hexadecimal
// digits, %p a 32-bit value as eight upper-case
// hexadecimal digits, %I64x a 64-bit value in lower-case hexadecimal.
uint32_t FormatText(wchar_t *out, uint32_t capacity, const wchar_t *format, ...);
