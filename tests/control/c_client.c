/* A C program linked against the import library: the public header must
 * compile as C and the stdcall names must bind. Run under the runner by
 * exports_test, which checks the messages and the exit code. */
#include <tarnwick.h>
#include <wchar.h>

int main(void)
{
    TarnwickOptions options = {8, 0, 0, 2, L"C:\\symbols", NULL};
    TarnwickSetOptions(&options);
    TarnwickSetOptions(NULL);
    options.stackDepth = 0xFFFFFFFFu;
    options.symbolPath = NULL;
    TarnwickSetOptions(&options);
    return 0x42;
}
