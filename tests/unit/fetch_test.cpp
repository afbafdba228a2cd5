// The fetch side's pure decisions: which addresses the connect dialog lets through, where each
// byte of a stream that has no framing of its own goes, and when a held request may leave.

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "core/address.h"
#include "core/receive_stream.h"

#include <vector>

TEST(ParseDottedAddress, AcceptsFourDecimalBytesInNetworkOrder)
{
    struct Row {
        const char* text;
        unsigned char bytes[4];  // as they must go out on the wire
    };
    const Row rows[] = {
        {"1.2.3.4", {1, 2, 3, 4}},
        {"192.168.1.2", {192, 168, 1, 2}},
        {"0.0.0.0", {0, 0, 0, 0}},
        {"255.255.255.255", {255, 255, 255, 255}},
        {"010.001.000.009", {10, 1, 0, 9}},  // leading zeros are not octal
        {"127.0.0.1", {127, 0, 0, 1}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.text);
        uint32_t address = 0xdeadbeef;
        ASSERT_TRUE(parseDottedAddress(row.text, &address));
        unsigned char bytes[4];
        memcpy(bytes, &address, sizeof bytes);
        EXPECT_EQ(std::string(reinterpret_cast<char*>(bytes), 4), std::string(reinterpret_cast<const char*>(row.bytes), 4));
    }
}

TEST(ParseDottedAddress, RefusesEverythingElse)
{
    const char* const rows[] = {
        "",          "abc",        "1.2.3",       "1.2.3.4.5",       "256.1.1.1",  "1.2.3.256",
        "1..2.3",    ".1.2.3",     "1.2.3.",      " 1.2.3.4",        "1.2.3.4 ",   "192.168.100.1001",
        "1234.1.1.1", "0001.1.1.1", "+1.2.3.4",   "-1.2.3.4",        "0x1.2.3.4",  "1.2.3.4/8",
        "localhost", "1,2,3,4",
    };
    for (const char* text : rows) {
        uint32_t address = 0;
        EXPECT_FALSE(parseDottedAddress(text, &address)) << '"' << text << '"';
    }
}

namespace {

ReceiveStream streamWith(unsigned fill, uint32_t owed, uint32_t dropLeft)
{
    ReceiveStream stream;
    resetStream(&stream);
    memcpy(stream.listing.record, LISTING_TAG, fill < TAG_LENGTH ? fill : TAG_LENGTH);
    if (fill > TAG_LENGTH) memset(stream.listing.record + TAG_LENGTH, 'x', fill - TAG_LENGTH);
    stream.listing.fill = fill;
    stream.owed = owed;
    stream.dropLeft = dropLeft;
    return stream;
}

std::string listingRecord(const char* name, uint32_t size)
{
    char record[RECORD_SIZE];
    formatRecord(RecordKind::Listing, name, size, record);
    return std::string(record, RECORD_SIZE);
}

// What a receiver made of a stream: the records it listed, the file bytes and the bytes dropped.
struct Received {
    std::vector<std::string> records;
    std::string file;
    unsigned dropped = 0;
    unsigned completions = 0;
};

// Reads `bytes` as the receiver would, each read taking at most `readSize` bytes.
void feed(ReceiveStream* stream, const std::string& bytes, unsigned readSize, Received* out)
{
    size_t at = 0;
    while (at < bytes.size()) {
        ReadPlan plan = planRead(stream);
        unsigned count = plan.maxBytes < readSize ? plan.maxBytes : readSize;
        if (count > bytes.size() - at) count = static_cast<unsigned>(bytes.size() - at);
        char chunk[CHUNK_SIZE];
        char* into = plan.target == ReadTarget::Record ? stream->listing.record + stream->listing.fill : chunk;
        memcpy(into, bytes.data() + at, count);
        at += count;
        ReadResult result = accountRead(stream, plan, count);
        out->dropped += result.dropped;
        out->file.append(chunk, result.fileBytes);
        if (result.fileComplete) ++out->completions;
        if (result.recordComplete) {
            out->records.emplace_back(stream->listing.record, RECORD_SIZE);
            takeRecord(stream);
        }
    }
}

}  // namespace

TEST(PlanRead, FileBytesFirstThenWhatIsDroppedThenListing)
{
    struct Row {
        unsigned fill;
        uint32_t owed;
        uint32_t dropLeft;
        ReadTarget target;
        unsigned maxBytes;
    };
    const Row rows[] = {
        {0, 0, 0, ReadTarget::Record, 255},
        {5, 0, 0, ReadTarget::Record, 250},
        {254, 0, 0, ReadTarget::Record, 1},
        {0, 100000, 0, ReadTarget::FileData, 4096},
        {0, 10, 0, ReadTarget::FileData, 10},
        {0, 4096, 0, ReadTarget::FileData, 4096},
        {0, 4097, 0, ReadTarget::FileData, 4096},
        {0, 4294967295u, 0, ReadTarget::FileData, 4096},
        {0, 1, 5000, ReadTarget::FileData, 1},  // a sent request's answer comes before anything dropped
        {0, 0, 100000, ReadTarget::Discard, 4096},
        {0, 0, 7, ReadTarget::Discard, 7},
        {3, 0, 1, ReadTarget::Discard, 1},
    };
    for (size_t i = 0; i < std::size(rows); ++i) {
        const Row& row = rows[i];
        SCOPED_TRACE(testing::Message() << "row " << i);
        ReceiveStream stream = streamWith(row.fill, row.owed, row.dropLeft);
        ReadPlan plan = planRead(&stream);
        EXPECT_EQ(static_cast<int>(plan.target), static_cast<int>(row.target));
        EXPECT_EQ(plan.maxBytes, row.maxBytes);
    }
}

TEST(AccountRead, CountsEachByteOnceWhereThePlanSentIt)
{
    struct Row {
        uint32_t owed;
        uint32_t dropLeft;
        unsigned count;
        unsigned fileBytes;
        bool fileComplete;
        unsigned dropped;
        uint32_t owedAfter;
        uint32_t dropLeftAfter;
    };
    const Row rows[] = {
        {100, 0, 40, 40, false, 0, 60, 0},
        {100, 0, 100, 100, true, 0, 0, 0},
        {1, 0, 1, 1, true, 0, 0, 0},
        {100, 0, 0, 0, false, 0, 100, 0},      // a read of nothing completes nothing
        {100, 50, 100, 100, true, 0, 0, 50},
        {0, 50, 20, 0, false, 20, 0, 30},
        {0, 50, 50, 0, false, 50, 0, 0},
        {10, 0, 4096, 10, true, 0, 0, 0},      // more than planned is never counted twice
    };
    for (size_t i = 0; i < std::size(rows); ++i) {
        const Row& row = rows[i];
        SCOPED_TRACE(testing::Message() << "row " << i);
        ReceiveStream stream = streamWith(0, row.owed, row.dropLeft);
        ReadPlan plan = planRead(&stream);
        ReadResult result = accountRead(&stream, plan, row.count);
        EXPECT_EQ(result.fileBytes, row.fileBytes);
        EXPECT_EQ(result.fileComplete, row.fileComplete);
        EXPECT_EQ(result.dropped, row.dropped);
        EXPECT_FALSE(result.recordComplete);
        EXPECT_EQ(stream.owed, row.owedAfter);
        EXPECT_EQ(stream.dropLeft, row.dropLeftAfter);
    }
}

TEST(ReceiveStream, EveryByteGoesWhereTheRequestsSay)
{
    const std::string rec1 = listingRecord("a.txt", 5), rec2 = listingRecord("b.bin", 300);
    const std::string tagged = listingRecord("ghost.txt", 7) + "tail";  // a file that looks like a record
    struct Row {
        const char* what;
        std::string beforeRequest;  // listing, junk, surplus: before the request leaves
        uint32_t missing;           // 0: no request
        std::string answer;         // after it
        std::vector<std::string> records;
        std::string file;
        unsigned dropped;
    };
    const Row rows[] = {
        {"listing only", rec1 + rec2, 0, "", {rec1, rec2}, "", 0},
        {"listing, then a file", rec1 + rec2, 5, "hello", {rec1, rec2}, "hello", 0},
        {"a file that begins like a record", rec1, static_cast<uint32_t>(tagged.size()), tagged, {rec1}, tagged, 0},
        {"junk before a record is dropped", "junk!" + rec1, 3, "abc", {rec1}, "abc", 5},
        {"a cut record before the request is dropped", rec1 + rec2.substr(0, 100), 3, "xyz", {rec1}, "xyz", 0},
        {"surplus after the file is listing input", rec1, 3, "abc" + std::string("zz") + rec2, {rec1, rec2}, "abc", 2},
    };
    for (const Row& row : rows) {
        for (unsigned readSize : {1u, 7u, 255u, 4096u}) {
            SCOPED_TRACE(testing::Message() << row.what << ", reads of " << readSize);
            ReceiveStream stream;
            resetStream(&stream);
            Received got;
            feed(&stream, row.beforeRequest, readSize, &got);
            if (row.missing > 0) requestLeft(&stream, row.missing);
            feed(&stream, row.answer, readSize, &got);
            EXPECT_EQ(got.records, row.records);
            EXPECT_EQ(got.file, row.file);
            EXPECT_EQ(got.dropped, row.dropped);
            EXPECT_EQ(got.completions, row.missing > 0 ? 1u : 0u);
        }
    }
}

TEST(ReceiveStream, AnAbandonedAnswerIsDroppedEvenWhenItLooksLikeAListing)
{
    const std::string late = listingRecord("late.txt", 9) + "rest of the file";
    struct Row {
        uint32_t missing;
        unsigned beforeAbandon;  // bytes of the answer written before it was given up
        unsigned lateBytes;      // bytes of it that come after
        unsigned records;        // listing records seen after the dropped rest
    };
    const Row rows[] = {
        {static_cast<uint32_t>(late.size()), 0, static_cast<unsigned>(late.size()), 1},
        {static_cast<uint32_t>(late.size()) + 10, 10, static_cast<unsigned>(late.size()), 1},
    };
    for (const Row& row : rows) {
        ReceiveStream stream;
        resetStream(&stream);
        Received got;
        requestLeft(&stream, row.missing);
        feed(&stream, std::string(row.beforeAbandon, 'w'), 4096, &got);
        answerAbandoned(&stream);
        EXPECT_TRUE(streamBetweenAnswers(&stream));
        feed(&stream, late.substr(0, row.lateBytes), 50, &got);
        EXPECT_EQ(got.file, std::string(row.beforeAbandon, 'w'));
        EXPECT_EQ(got.dropped, row.lateBytes);
        EXPECT_TRUE(got.records.empty());
        // What comes after the whole rest is listing again.
        const std::string next = listingRecord("next.txt", 1);
        feed(&stream, next, 4096, &got);
        ASSERT_EQ(got.records.size(), row.records);
        EXPECT_EQ(got.records[0], next);
        // The next request takes what follows it, and forgets any rest still owed.
        answerAbandoned(&stream);
        stream.dropLeft = 1000;
        requestLeft(&stream, 4);
        feed(&stream, "data", 4096, &got);
        EXPECT_EQ(got.file, std::string(row.beforeAbandon, 'w') + "data");
    }
}

TEST(RequestMayLeave, OnlyAfterTheQuietPeriodAndNeverWhileAnAnswerIsDue)
{
    struct Row {
        uint32_t owed;
        uint32_t lastArrival;
        uint32_t now;
        bool mayLeave;
    };
    const Row rows[] = {
        {0, 1000, 1000, false},
        {0, 1000, 2499, false},
        {0, 1000, 2500, true},
        {0, 1000, 90000, true},
        {0, 0xFFFFFF00u, 0x00000100u, false},   // 512 ms across the counter's wrap
        {0, 0xFFFFFF00u, 0x00000600u, true},    // 1792 ms across it
        {0, 5000, 4000, true},                  // a clock read before the arrival it follows: long ago
        {10, 1000, 90000, false},
    };
    for (size_t i = 0; i < std::size(rows); ++i) {
        const Row& row = rows[i];
        SCOPED_TRACE(testing::Message() << "row " << i);
        ReceiveStream stream = streamWith(0, row.owed, 0);
        EXPECT_EQ(requestMayLeave(&stream, row.lastArrival, row.now, 1500), row.mayLeave);
    }
}

TEST(AnswerOverdue, AfterTheTimeoutCountedOnAWrappingClock)
{
    struct Row {
        uint32_t lastProgress;
        uint32_t now;
        bool overdue;
    };
    const Row rows[] = {
        {0, 29999, false}, {0, 30000, true}, {100, 30099, false}, {100, 30100, true},
        {0xFFFFF000u, 0x00000000u + 25000u, false}, {0xFFFFF000u, 0x00000000u + 27000u, true},
    };
    for (const Row& row : rows)
        EXPECT_EQ(answerOverdue(row.lastProgress, row.now, 30000), row.overdue) << row.lastProgress << " " << row.now;
}
