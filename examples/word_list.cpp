// A small program with leaks that knows nothing of any leak detector: it
// builds a list of words, prints it with their lengths and forgets to release
// part of what it made. Run it under tarnwick.exe (bash cmake/demo.sh) to see
// where each leak was made.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <vector>

struct Word {
    Word *next;
    char *text;
};

// One node per word, with a copy of the text; the caller owns the list.
static Word *AddWord(Word *list, const char *text)
{
    Word *word = new Word;
    word->text = static_cast<char *>(malloc(strlen(text) + 1));
    strcpy(word->text, text);
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

// Releases the first node only, and none of the texts: the rest leaks.
static void DropList(Word *list) { delete list; }

// The lengths of the words, in a vector made on the heap and never deleted.
static std::vector<int> *Lengths(const Word *list)
{
    std::vector<int> *lengths = new std::vector<int>;
    for (; list; list = list->next)
        lengths->push_back(static_cast<int>(strlen(list->text)));
    return lengths;
}

int main()
{
    Word *list = ReadWords();
    std::vector<int> *lengths = Lengths(list);
    int count = 0;
    for (Word *word = list; word; word = word->next, count++)
        printf("  %s (%d)\n", word->text, (*lengths)[count]);
    DropList(list);
    printf("%d words\n", count);
    return 0;
}
