// What one instrument sent on its bulk IN endpoint and what applications received of it.
//
// The instrument sends a stream of 32-bit little-endian words: word i carries the instrument's
// tag in its top four bits and i in the other 28. Every packet it sends is a whole number of
// words, and applications read whole words, so each received byte knows its place in the
// stream: a read's bytes are checked word by word, and the words received over a sequence must
// cover the start of the stream, each exactly once. Holes are allowed only where bytes may be
// discarded by design: a clear of the driver's buffer drops what was buffered and on its way,
// and a transfer that the instrument stalls part-way loses what it had moved (the driver takes
// nothing from a failed transfer). Each clear or stall may leave one hole.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace stress {

constexpr size_t kWordBytes = 4;
// A byte no word of any instrument starts its top byte with: buffers are filled with it before a
// read, so that the words a read delivered can be found even when the count was not reported.
constexpr uint8_t kUnwritten = 0xFF;

class DataLedger {
  public:
    // `tag` 1 to 14 tells the instruments of one sequence apart.
    explicit DataLedger(uint32_t tag);

    uint32_t Tag() const { return tag_; }
    // The next `words` words of the stream, recorded as sent.
    std::vector<uint8_t> NextWords(size_t words);
    size_t SentWords() const;

    // Bytes of a buffer filled with kUnwritten before the read that carry words of this stream,
    // from its start: what the read delivered.
    size_t DeliveredBytes(const uint8_t* data, size_t capacity) const;
    // Checks and records the `length` bytes one read delivered. `reader` names the thread that
    // issued it and `issue` its place among that thread's reads. Returns what is wrong, or "".
    std::string Receive(const uint8_t* data, size_t length, int reader, uint64_t issue);
    // A clear of the driver's buffer may discard what was buffered or on its way.
    void NoteClear();
    // The instrument stalls its IN endpoint: a transfer in progress fails with what it moved.
    void NoteStall();
    // At the end of a sequence: every reader's reads came in stream order, and the words received
    // cover the stream from its start with no more holes than clears and stalls. Returns what is
    // wrong, or "".
    std::string Finish() const;
    size_t ReceivedWords() const;

  private:
    struct Segment {
        int reader;
        uint64_t issue;
        size_t first;
        size_t last;
    };
    mutable std::mutex mutex_;
    uint32_t tag_;
    size_t sent_ = 0;
    std::vector<uint8_t> received_; // per word: times received
    std::vector<Segment> segments_;
    size_t clears_ = 0;
    size_t stalls_ = 0;
};

} // namespace stress
