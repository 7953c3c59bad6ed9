// Reading a fuzzer's input from the front, and failing an input with a message that names the
// broken invariant. Past the end every read gives zeros, so any input is a complete script.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace kestrune_fuzz {

// Stops the run at the first broken invariant; libFuzzer keeps the input as a crash file.
inline void Require(bool holds, const char* invariant) {
    if (!holds) {
        std::fprintf(stderr, "fuzz invariant broken: %s\n", invariant);
        std::abort();
    }
}

class Input {
  public:
    Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}

    bool Empty() const { return position_ >= size_; }
    size_t Left() const { return Empty() ? 0 : size_ - position_; }

    uint8_t Byte() { return Empty() ? 0 : data_[position_++]; }
    uint16_t Word() {
        uint16_t low = Byte();
        return static_cast<uint16_t>(low | (Byte() << 8));
    }
    uint32_t Dword() {
        uint32_t low = Word();
        return low | (static_cast<uint32_t>(Word()) << 16);
    }
    bool Bit() { return (Byte() & 1) != 0; }

    // Up to `count` bytes, fewer when the input ends.
    std::vector<uint8_t> Bytes(size_t count) {
        size_t take = count < Left() ? count : Left();
        std::vector<uint8_t> bytes(data_ + position_, data_ + position_ + take);
        position_ += take;
        return bytes;
    }
    // A length byte (or word) and that many bytes.
    std::vector<uint8_t> Counted8() { return Bytes(Byte()); }
    std::vector<uint8_t> Counted16(size_t limit) { return Bytes(Word() % (limit + 1)); }

  private:
    const uint8_t* data_;
    size_t size_;
    size_t position_ = 0;
};

} // namespace kestrune_fuzz
