// The stress program's data checks must catch what a faulty driver does to a stream: words lost,
// duplicated, reordered, mixed with another instrument's, or miscounted.
#include "ledger.h"

#include <gtest/gtest.h>

#include <functional>

namespace stress {
namespace {

// Reads as (reader, first stream word, words), taken from a ledger of `sent` words.
struct Read {
    int reader;
    size_t first;
    size_t words;
};

struct Case {
    const char* name;
    size_t sent;
    std::vector<Read> reads;
    size_t clears;
    size_t stalls;
    const char* receiveFault; // part of the first Receive finding, or null
    const char* finishFault;  // part of the Finish finding, or null
};

std::vector<uint8_t> Slice(const std::vector<uint8_t>& stream, size_t first, size_t words) {
    return std::vector<uint8_t>(stream.begin() + static_cast<std::ptrdiff_t>(first * kWordBytes),
                                stream.begin() +
                                    static_cast<std::ptrdiff_t>((first + words) * kWordBytes));
}

TEST(DataLedgerTest, JudgesStreamsAsReadsReceivedThem) {
    const Case cases[] = {
        {"whole stream in order", 10, {{1, 0, 4}, {1, 4, 6}}, 0, 0, nullptr, nullptr},
        {"prefix only", 10, {{1, 0, 3}}, 0, 0, nullptr, nullptr},
        {"two readers take turns", 10, {{1, 0, 2}, {2, 2, 3}, {1, 5, 1}}, 0, 0, nullptr, nullptr},
        {"a word twice", 10, {{1, 0, 4}, {2, 3, 2}}, 0, 0, "delivered twice", nullptr},
        {"a hole without clear or stall", 10, {{1, 0, 2}, {1, 4, 2}}, 0, 0, nullptr, "1 holes"},
        {"the start missing", 10, {{1, 2, 2}}, 0, 0, nullptr, "the first at stream word 0"},
        {"a hole after a clear", 10, {{1, 0, 2}, {1, 4, 2}}, 1, 0, nullptr, nullptr},
        {"a hole after a stall", 10, {{1, 0, 2}, {1, 4, 2}}, 0, 1, nullptr, nullptr},
        {"two holes after one clear",
         12,
         {{1, 0, 2}, {1, 4, 2}, {1, 8, 2}},
         1,
         0,
         nullptr,
         "2 holes"},
        {"one reader's reads reordered",
         10,
         {{1, 4, 2}, {1, 0, 4}},
         0,
         0,
         nullptr,
         "in a read it issued earlier"},
        {"a word never sent", 4, {{1, 0, 4}, {1, 4, 1}}, 0, 0, "the instrument sent 4", nullptr},
    };
    for (const Case& each : cases) {
        SCOPED_TRACE(each.name);
        DataLedger ledger(3);
        // Every word the case reads exists in a stream at least that long.
        std::vector<uint8_t> stream = DataLedger(3).NextWords(each.sent + 4);
        ledger.NextWords(each.sent);
        for (size_t i = 0; i < each.clears; ++i)
            ledger.NoteClear();
        for (size_t i = 0; i < each.stalls; ++i)
            ledger.NoteStall();
        std::string receiveFault;
        uint64_t issue = 0;
        for (const Read& read : each.reads) {
            std::vector<uint8_t> bytes = Slice(stream, read.first, read.words);
            std::string fault = ledger.Receive(bytes.data(), bytes.size(), read.reader, ++issue);
            if (receiveFault.empty())
                receiveFault = fault;
        }
        if (each.receiveFault == nullptr)
            EXPECT_EQ(receiveFault, "");
        else
            EXPECT_NE(receiveFault.find(each.receiveFault), std::string::npos) << receiveFault;
        if (each.receiveFault != nullptr)
            continue;
        std::string finishFault = ledger.Finish();
        if (each.finishFault == nullptr)
            EXPECT_EQ(finishFault, "");
        else
            EXPECT_NE(finishFault.find(each.finishFault), std::string::npos) << finishFault;
    }
}

TEST(DataLedgerTest, RefusesWordsThatAreNotThisStreamsInOrder) {
    DataLedger ledger(2);
    std::vector<uint8_t> stream = ledger.NextWords(8);
    std::vector<uint8_t> foreign = DataLedger(5).NextWords(8);

    EXPECT_NE(ledger.Receive(foreign.data(), 8, 1, 1).find("not from this instrument"),
              std::string::npos);
    std::vector<uint8_t> swapped = Slice(stream, 2, 1);
    std::vector<uint8_t> earlier = Slice(stream, 1, 1);
    swapped.insert(swapped.end(), earlier.begin(), earlier.end());
    EXPECT_NE(ledger.Receive(swapped.data(), swapped.size(), 1, 2).find("out of order"),
              std::string::npos);
    EXPECT_NE(ledger.Receive(stream.data(), 6, 1, 3).find("not whole words"), std::string::npos);
}

TEST(DataLedgerTest, FindsTheWordsAReadDeliveredInItsBuffer) {
    DataLedger ledger(7);
    std::vector<uint8_t> stream = ledger.NextWords(4);
    std::vector<uint8_t> buffer(40, kUnwritten);
    EXPECT_EQ(ledger.DeliveredBytes(buffer.data(), buffer.size()), 0u);
    std::copy(stream.begin(), stream.begin() + 12, buffer.begin());
    EXPECT_EQ(ledger.DeliveredBytes(buffer.data(), buffer.size()), 12u);
    // Words of another instrument are not this read's.
    std::vector<uint8_t> other = DataLedger(6).NextWords(1);
    std::copy(other.begin(), other.end(), buffer.begin() + 12);
    EXPECT_EQ(ledger.DeliveredBytes(buffer.data(), buffer.size()), 12u);
    EXPECT_EQ(ledger.DeliveredBytes(buffer.data(), 10), 8u);
}

} // namespace
} // namespace stress
