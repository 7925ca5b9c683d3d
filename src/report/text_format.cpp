// wsprintfW lives in user32, whose loading costs a program that has no window
// tens of milliseconds under Wine: the report formats its few lines itself.
#include "report/text_format.h"
#include <stdarg.h>

namespace {

struct Output {
    wchar_t *at;
    wchar_t *end;  // the place of the terminating zero
    void Put(wchar_t c)
    {
        if (at < end)
            *at++ = c;
    }
};

// Digits of value in base 10 or 16, at least minDigits of them.
void PutNumber(Output &out, uint64_t value, uint32_t base, uint32_t minDigits, const char *digits)
{
    wchar_t reversed[20];
    uint32_t count = 0;
    do {
        reversed[count++] = static_cast<wchar_t>(digits[value % base]);
        value /= base;
    } while (value);
    while (count < minDigits)
        reversed[count++] = L'0';
    while (count)
        out.Put(reversed[--count]);
}

}  // namespace

uint32_t FormatText(wchar_t *out, uint32_t capacity, const wchar_t *format, ...)
{
    if (capacity == 0)
        return 0;
    static const char lower[] = "0123456789abcdef", upper[] = "0123456789ABCDEF";
    Output text = {out, out + capacity - 1};
    va_list args;
    va_start(args, format);
    for (const wchar_t *f = format; *f; ++f) {
        if (*f != L'%') {
            text.Put(*f);
            continue;
        }
        if (!*++f)
            break;
        switch (*f) {
        case L's':
            for (const wchar_t *s = va_arg(args, const wchar_t *); *s; ++s)
                text.Put(*s);
            break;
        case L'd': {
            int32_t value = va_arg(args, int32_t);
            if (value < 0)
                text.Put(L'-');
            PutNumber(text, value < 0 ? 0u - static_cast<uint32_t>(value) : static_cast<uint32_t>(value), 10, 1,
                      lower);
            break;
        }
        case L'u':
            PutNumber(text, va_arg(args, uint32_t), 10, 1, lower);
            break;
        case L'x':
            PutNumber(text, va_arg(args, uint32_t), 16, 1, lower);
            break;
        case L'X':  // a 32-bit code in eight upper-case digits
            PutNumber(text, va_arg(args, uint32_t), 16, 8, upper);
            break;
        case L'p':  // an address in all its digits: 8 on x86, 16 on x64
            PutNumber(text, va_arg(args, uintptr_t), 16, 2 * sizeof(uintptr_t), upper);
            break;
        case L'z':  // zu: a size
            f++;
            PutNumber(text, va_arg(args, size_t), 10, 1, lower);
            break;
        case L'I':  // I64x
            f += 3;
            PutNumber(text, va_arg(args, uint64_t), 16, 1, lower);
            break;
        default:  // %% and nothing else
            text.Put(*f);
            break;
        }
    }
    va_end(args);
    *text.at = 0;
    return static_cast<uint32_t>(text.at - out);
}
