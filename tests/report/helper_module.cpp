// Exported code in a module of its own, for lookups in a DLL that can be
// unloaded while the symbol handler still knows it.
#include <stdint.h>

extern "C" __declspec(dllexport) __attribute__((noinline)) uint32_t HelperFunction(uint32_t value)
{
    return value * 2654435761u + 7;
}
