// The stress program: runs seeded random interleavings of everything applications, the
// instruments, Plug and Play and power do to the driver at once, and checks after each sequence
// that nothing hung, leaked, was completed twice or left pending, that the verifier found
// nothing, and that every instrument's data reached the applications whole and in order.
//
//   stress_program [count [first random start]] [--no-patient-reads] [--no-held-check]
//
// Sequence i runs from random start first + i; a failing one is printed with its start, and
// `stress_program 1 <start>` replays it. Without a first start the program takes one from the
// clock and prints it. KESTRUNE_STRESS_COUNT and KESTRUNE_STRESS_START do the same as the
// arguments.
#include "sequence.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

bool ParseNumber(const char* text, uint64_t* value) {
    char* end = nullptr;
    unsigned long long parsed = std::strtoull(text, &end, 10);
    if (end == text || *end != 0)
        return false;
    *value = parsed;
    return true;
}

int Usage() {
    std::fprintf(stderr, "usage: stress_program [count [first-random-start]] [--no-patient-reads] "
                         "[--no-held-check]\n");
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    // The kernel stand-in's own choices (completion now or later) restart from this number with
    // every sequence, so that a sequence replayed alone makes the same choices.
    setenv("KSTANDIN_RANDOM_START", "1", 0);

    uint64_t count = 20;
    uint64_t first = static_cast<uint64_t>(
        std::chrono::system_clock::now().time_since_epoch().count() % 1000000000);
    if (const char* text = std::getenv("KESTRUNE_STRESS_COUNT"); text && !ParseNumber(text, &count))
        return Usage();
    if (const char* text = std::getenv("KESTRUNE_STRESS_START"); text && !ParseNumber(text, &first))
        return Usage();
    stress::Options options;
    int position = 0;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--no-patient-reads") == 0) {
            options.patientReads = false;
        } else if (std::strcmp(argv[i], "--no-held-check") == 0) {
            options.checkHeldRequests = false;
        } else if (position == 0 && ParseNumber(argv[i], &count)) {
            ++position;
        } else if (position == 1 && ParseNumber(argv[i], &first)) {
            ++position;
        } else {
            return Usage();
        }
    }

    std::printf("stress: %llu sequences from random start %llu%s%s\n",
                static_cast<unsigned long long>(count), static_cast<unsigned long long>(first),
                options.patientReads ? "" : ", no patient reads",
                options.checkHeldRequests ? "" : ", held requests not checked");
    std::fflush(stdout);
    auto began = std::chrono::steady_clock::now();
    uint64_t failed = 0;
    size_t events = 0;
    size_t words = 0;
    for (uint64_t i = 0; i < count; ++i) {
        uint64_t start = first + i;
        stress::SequenceResult result = stress::RunSequence(KESTRUNE_DRIVER_PATH, start, options);
        events += result.events;
        words += result.wordsReceived;
        const std::vector<std::string>& findings = result.findings;
        if (!findings.empty()) {
            ++failed;
            std::printf("stress: random start %llu FAILED (%zu instruments, %zu events):\n",
                        static_cast<unsigned long long>(start), result.instruments, result.events);
            for (const std::string& finding : findings)
                std::printf("  %s\n", finding.c_str());
            std::printf("  replay with: scripts/stress 1 %llu\n",
                        static_cast<unsigned long long>(start));
            std::fflush(stdout);
        }
    }
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    std::printf("stress: %llu sequences, %llu failed, %zu Plug and Play and power events, %zu "
                "words received, %.1f s\n",
                static_cast<unsigned long long>(count), static_cast<unsigned long long>(failed),
                events, words, seconds);
    return failed == 0 ? 0 : 1;
}
