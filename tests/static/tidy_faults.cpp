// Faults that the static analysis must report, one per case (-DTIDY_FAULT=n), each from a group of
// checks that the project's .clang-tidy enables; case 0 must pass without findings. A test that
// expects a finding fails when its group is switched off or the configuration is not found.
#include <cstdlib>
#include <cstring>
#include <string>

#ifndef TIDY_FAULT
#define TIDY_FAULT 0
#endif

struct Block {
    int length;
    char bytes[16];
};

int LengthOf(const Block* block) {
#if TIDY_FAULT == 1
    block = nullptr;  // clang-analyzer-core.NullDereference
#endif
    return block->length;
}

void CopyBlock(Block* destination, const Block* source) {
#if TIDY_FAULT == 2
    std::memcpy(destination, source, sizeof(source));  // bugprone-sizeof-expression
#else
    std::memcpy(destination, source, sizeof(*source));
#endif
}

char* FirstField(char* line) {
#if TIDY_FAULT == 3
    return std::strtok(line, ",");  // concurrency-mt-unsafe
#else
    char* comma = std::strchr(line, ',');
    if (comma != nullptr) {
        *comma = 0;
    }
    return line;
#endif
}

bool SameLength(const Block& block) {
#if TIDY_FAULT == 4
    return block.length == block.length;  // misc-redundant-expression
#else
    return block.length == static_cast<int>(sizeof(block.bytes));
#endif
}

long ParseCount(const char* text) {
#if TIDY_FAULT == 5
    return std::atoi(text);  // cert-err34-c
#else
    char* end = nullptr;
    return std::strtol(text, &end, 10);
#endif
}

#if TIDY_FAULT == 6
std::size_t NameLength(const std::string name) {  // performance-unnecessary-value-param
#else
std::size_t NameLength(const std::string& name) {
#endif
    return name.size();
}
