// Bookkeeping of one instrument's IN stream: what it sent, what applications received.
#include "ledger.h"

#include <algorithm>
#include <cstdio>

namespace stress {
namespace {

constexpr uint32_t kIndexMask = 0x0FFFFFFF;

uint32_t WordAt(const uint8_t* bytes) {
    return static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
           static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

std::string Format(const char* format, unsigned long long a, unsigned long long b = 0,
                   unsigned long long c = 0) {
    char text[200];
    std::snprintf(text, sizeof(text), format, a, b, c);
    return text;
}

} // namespace

DataLedger::DataLedger(uint32_t tag) : tag_(tag) {}

std::vector<uint8_t> DataLedger::NextWords(size_t words) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<uint8_t> bytes;
    bytes.reserve(words * kWordBytes);
    for (size_t i = 0; i < words; ++i) {
        uint32_t word = tag_ << 28 | (static_cast<uint32_t>(sent_ + i) & kIndexMask);
        for (int shift = 0; shift < 32; shift += 8)
            bytes.push_back(static_cast<uint8_t>(word >> shift));
    }
    sent_ += words;
    return bytes;
}

size_t DataLedger::SentWords() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return sent_;
}

size_t DataLedger::ReceivedWords() const {
    std::lock_guard<std::mutex> lock(mutex_);
    size_t count = 0;
    for (uint8_t times : received_)
        count += times != 0 ? 1 : 0;
    return count;
}

size_t DataLedger::DeliveredBytes(const uint8_t* data, size_t capacity) const {
    size_t length = 0;
    while (length + kWordBytes <= capacity && WordAt(data + length) >> 28 == tag_)
        length += kWordBytes;
    return length;
}

std::string DataLedger::Receive(const uint8_t* data, size_t length, int reader, uint64_t issue) {
    if (length == 0)
        return "";
    if (length % kWordBytes != 0)
        return Format("a read delivered %llu bytes, not whole words", length);
    std::lock_guard<std::mutex> lock(mutex_);
    size_t words = length / kWordBytes;
    size_t first = WordAt(data) & kIndexMask;
    size_t previous = 0;
    for (size_t i = 0; i < words; ++i) {
        uint32_t word = WordAt(data + i * kWordBytes);
        size_t index = word & kIndexMask;
        if (word >> 28 != tag_)
            return Format("word %llu of a read is 0x%08llx, not from this instrument (tag %llu)", i,
                          word, tag_);
        if (i > 0 && index <= previous)
            return Format("a read's words are out of order: word %llu is stream word %llu, after "
                          "stream word %llu",
                          i, index, previous);
        if (index >= sent_)
            return Format("a read delivered stream word %llu, the instrument sent %llu", index,
                          sent_);
        previous = index;
    }
    if (received_.size() < previous + 1)
        received_.resize(previous + 1, 0);
    for (size_t i = 0; i < words; ++i) {
        size_t index = WordAt(data + i * kWordBytes) & kIndexMask;
        if (received_[index]++ != 0)
            return Format("stream word %llu was delivered twice (in a read of %llu words from "
                          "stream word %llu)",
                          index, words, first);
    }
    segments_.push_back(Segment{reader, issue, first, previous});
    return "";
}

void DataLedger::NoteClear() {
    std::lock_guard<std::mutex> lock(mutex_);
    ++clears_;
}

void DataLedger::NoteStall() {
    std::lock_guard<std::mutex> lock(mutex_);
    ++stalls_;
}

std::string DataLedger::Finish() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<Segment> ordered = segments_;
    std::sort(ordered.begin(), ordered.end(), [](const Segment& a, const Segment& b) {
        return a.reader != b.reader ? a.reader < b.reader : a.issue < b.issue;
    });
    for (size_t i = 1; i < ordered.size(); ++i) {
        const Segment& before = ordered[i - 1];
        const Segment& after = ordered[i];
        if (before.reader == after.reader && after.first <= before.last)
            return Format("reader %llu got stream word %llu after word %llu in a read it issued "
                          "earlier",
                          static_cast<unsigned long long>(after.reader), after.first, before.last);
    }
    size_t holes = 0;
    size_t firstHole = 0;
    for (size_t i = 0; i < received_.size(); ++i) {
        if (received_[i] == 0 && (i == 0 || received_[i - 1] != 0)) {
            if (holes++ == 0)
                firstHole = i;
        }
    }
    if (holes > clears_ + stalls_)
        return Format("the words received are not the start of the stream: %llu holes (the first "
                      "at stream word %llu) after %llu clears and stalls",
                      holes, firstHole, clears_ + stalls_);
    return "";
}

} // namespace stress
