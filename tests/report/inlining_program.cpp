// Built -O2 for the line reader's comparison with addr2line: calls made
// from code inlined several levels deep, in templates, lambdas and loops.
#include <stdio.h>
#include <stdlib.h>
#include <string>
#include <vector>

__attribute__((noinline)) int Sink(int value)
{
    static volatile int total;
    total += value;
    return total;
}

static inline int Leaf(int value)
{
    return Sink(value * 3) + Sink(value + 1);
}

template <class T> inline T Middle(T value)
{
    T sum = 0;
    for (T i = 0; i < value; i++)
        sum += Leaf(static_cast<int>(i));
    return sum + Sink(static_cast<int>(value));
}

struct Holder {
    std::vector<std::string> names;
    void Add(const char *name) { names.emplace_back(name); }
    size_t Measure() const
    {
        size_t total = 0;
        for (const std::string &name : names)
            total += Middle(static_cast<int>(name.size()));
        return total;
    }
};

int main(int argc, char **argv)
{
    Holder holder;
    for (int i = 0; i < argc; i++)
        holder.Add(argv[i]);
    auto twice = [&](int value) { return Middle(value) + Middle(value + 1); };
    int result = twice(argc) + static_cast<int>(holder.Measure());
    char *copy = static_cast<char *>(malloc(16));
    snprintf(copy, 16, "%d", result);
    puts(copy);
    free(copy);
    return Leaf(result) & 1;
}
