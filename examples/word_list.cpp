// A small program with leaks that knows nothing of any leak detector: it
// builds a list of words, prints it and forgets to release part of it. Run it
// under tarnwick.exe (bash cmake/demo.sh) to see where each leak was made.
#include <windows.h>
#include <stdio.h>
#include <string.h>

struct Word {
    Word *next;
    char text[1];
};

// One node per word from the process heap; the caller owns the list.
static Word *AddWord(Word *list, const char *text)
{
    size_t length = strlen(text);
    Word *word = static_cast<Word *>(HeapAlloc(GetProcessHeap(), 0, sizeof(Word) + length));
    memcpy(word->text, text, length + 1);
    word->next = list;
    return word;
}

static Word *ReadWords()
{
    static const char *const words[] = {"apple", "pear", "plum", "fig"};
    Word *list = nullptr;
    for (const char *text : words)
        list = AddWord(list, text);
    return list;
}

// Releases only the first node: the rest of the list leaks.
static void DropList(Word *list) { HeapFree(GetProcessHeap(), 0, list); }

// A header that is freed again: never reported.
static void PrintHeader()
{
    char *header = static_cast<char *>(LocalAlloc(LMEM_FIXED, 32));
    strcpy(header, "words:");
    puts(header);
    LocalFree(header);
}

// A buffer that is grown and then forgotten: reported once, with its last
// size and the stack of its first allocation.
static void KeepTotals(int count)
{
    HGLOBAL totals = GlobalAlloc(GMEM_MOVEABLE, 16);
    totals = GlobalReAlloc(totals, 16 * count, GMEM_MOVEABLE);
    (void)totals;
}

int main()
{
    PrintHeader();
    Word *list = ReadWords();
    int count = 0;
    for (Word *word = list; word; word = word->next, count++)
        printf("  %s\n", word->text);
    KeepTotals(count);
    DropList(list);
    printf("%d words\n", count);
    return 0;
}
