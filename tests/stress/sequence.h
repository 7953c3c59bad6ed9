// One stress sequence: two or three instruments, application threads, the instruments' data and
// faults, Plug and Play and power events, all from one random start; then the checks.
#pragma once

#include "world.h"

#include <cstdint>
#include <string>
#include <vector>

namespace stress {

struct SequenceResult {
    std::vector<std::string> findings; // empty: the sequence passed
    size_t instruments = 0;
    size_t events = 0;
    size_t wordsSent = 0;
    size_t wordsReceived = 0;
};

SequenceResult RunSequence(const std::string& driverPath, uint64_t randomStart,
                           const Options& options);

} // namespace stress
