// The receiver's decisions: where each byte of a stream that has no framing of its own goes, how
// an answer's head is checked against the local copy, and when a held request may leave.

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "core/receive_stream.h"

namespace {

ReceiveStream streamWith(unsigned fill, uint32_t owed, uint32_t dropLeft, uint32_t headLeft = 0, bool listingOpen = true)
{
    ReceiveStream stream;
    resetStream(&stream);
    memcpy(stream.listing.record, LISTING_TAG, fill < TAG_LENGTH ? fill : TAG_LENGTH);
    if (fill > TAG_LENGTH) memset(stream.listing.record + TAG_LENGTH, 'x', fill - TAG_LENGTH);
    stream.listing.fill = fill;
    stream.owed = owed;
    stream.dropLeft = dropLeft;
    stream.headLeft = headLeft;
    stream.listingOpen = listingOpen;
    return stream;
}

std::string listingRecord(const char* name, uint32_t size)
{
    char record[RECORD_SIZE];
    formatRecord(RecordKind::Listing, name, size, record);
    return std::string(record, RECORD_SIZE);
}

// What the list shows of a listing record.
std::string textOf(const std::string& record)
{
    RecordFields fields{};
    EXPECT_TRUE(readRecord(record.data(), &fields));
    return std::string(fields.text, fields.textLength);
}

std::vector<std::string> textsOf(const std::vector<std::string>& records)
{
    std::vector<std::string> texts;
    for (const std::string& record : records) texts.push_back(textOf(record));
    return texts;
}

// What a receiver made of a stream: the entries it handed to the list, the file bytes, the bytes
// dropped and the verdicts on answers' heads.
struct Received {
    std::vector<std::string> records;  // as the list shows them
    std::string file;
    unsigned dropped = 0;
    unsigned completions = 0;
    std::vector<HeadVerdict> heads;
    unsigned capped = 0;
};

// Hands the batch's entries over, as the receiver does.
void handOver(ReceiveStream* stream, Received* out)
{
    const char* text = stream->batch.texts;
    EXPECT_LE(stream->batch.count, BATCH_ENTRIES);
    for (unsigned i = 0; i < stream->batch.count; ++i) {
        out->records.emplace_back(text);
        text += out->records.back().size() + 1;
    }
    EXPECT_EQ(static_cast<unsigned>(text - stream->batch.texts), stream->batch.used);
    batchTaken(stream);
}

// Reads `bytes` as the receiver would, each read taking at most `readSize` bytes, and whatever the
// stream has to read again; hands the entries over when due and at the end.
void feed(ReceiveStream* stream, const std::string& bytes, unsigned readSize, Received* out)
{
    size_t at = 0;
    while (at < bytes.size() || stream->rereadAt < stream->rereadEnd) {
        if (batchDue(stream)) handOver(stream, out);
        ReadPlan plan = planRead(stream);
        unsigned count = plan.maxBytes < readSize ? plan.maxBytes : readSize;
        char chunk[CHUNK_SIZE];
        if (plan.reread) {
            count = takeReread(stream, chunk, count);
        } else {
            if (count > bytes.size() - at) count = static_cast<unsigned>(bytes.size() - at);
            memcpy(chunk, bytes.data() + at, count);
            at += count;
        }
        ReadResult result = accountRead(stream, plan, chunk, count);
        out->dropped += result.dropped;
        out->file.append(chunk, result.fileBytes);
        if (result.fileComplete) ++out->completions;
        if (result.head != HeadVerdict::Pending) out->heads.push_back(result.head);
        if (result.listingCapped) ++out->capped;
    }
    handOver(stream, out);
}

}  // namespace

TEST(OverlapRequest, AsksAgainForTheLastBytesHeld)
{
    struct Row {
        uint32_t have, listed;
        uint32_t offset, head, owed;
    };
    const Row rows[] = {
        {0, 5000, 0, 0, 5000},                       // nothing held: nothing to compare
        {1000, 5000, 0, 1000, 5000},                 // a copy smaller than the overlap: all of it
        {65536, 100000, 0, 65536, 100000},
        {120000, 200000, 54464, 65536, 145536},      // resume: the last 64 KiB of the copy first
        {200000, 200000, 134464, 65536, 65536},      // confirm: the file's last 64 KiB, nothing more
        {7, 7, 0, 7, 7},                             // confirm a tiny file: all of it
        {4294967295u, 4294967295u, 4294901759u, 65536, 65536},
        {300, 200, 0, 200, 200},                     // more than listed is held as listed
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << row.have << " of " << row.listed);
        OverlapRequest request = overlapRequest(row.have, row.listed);
        EXPECT_EQ(request.offset, row.offset);
        EXPECT_EQ(request.head, row.head);
        EXPECT_EQ(request.owed, row.owed);
    }
}

TEST(PlanRead, HeadThenFileThenWhatIsCountedOffThenListingOrStray)
{
    struct Row {
        unsigned fill;
        uint32_t owed;
        uint32_t dropLeft;
        uint32_t headLeft;
        bool listingOpen;
        ReadTarget target;
        unsigned maxBytes;
    };
    const Row rows[] = {
        {5, 0, 0, 0, true, ReadTarget::Record, 4096},  // many records a read, a part of one or not
        {0, 0, 0, 0, false, ReadTarget::Stray, 4096},  // after the first request nothing is listing
        {0, 100000, 0, 0, false, ReadTarget::FileData, 4096},
        {0, 10, 0, 0, false, ReadTarget::FileData, 10},
        {0, 4097, 0, 0, false, ReadTarget::FileData, 4096},
        {0, 4294967295u, 0, 0, false, ReadTarget::FileData, 4096},
        {0, 100000, 0, 65536, false, ReadTarget::Head, 4096},
        {0, 100000, 0, 10, false, ReadTarget::Head, 10},  // never a read across the head's end
        {0, 1, 5000, 0, false, ReadTarget::FileData, 1},
        {0, 0, 100000, 0, false, ReadTarget::Discard, 4096},
        {0, 0, 7, 0, false, ReadTarget::Discard, 7},
    };
    for (size_t i = 0; i < std::size(rows); ++i) {
        const Row& row = rows[i];
        SCOPED_TRACE(testing::Message() << "row " << i);
        ReceiveStream stream = streamWith(row.fill, row.owed, row.dropLeft, row.headLeft, row.listingOpen);
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
        ReceiveStream stream = streamWith(0, row.owed, row.dropLeft, 0, false);
        ReadPlan plan = planRead(&stream);
        char data[CHUNK_SIZE] = {};
        ReadResult result = accountRead(&stream, plan, data, row.count);
        EXPECT_EQ(result.fileBytes, row.fileBytes);
        EXPECT_EQ(result.fileComplete, row.fileComplete);
        EXPECT_EQ(result.dropped, row.dropped);
        EXPECT_EQ(stream.batch.count, 0u);
        EXPECT_EQ(stream.owed, row.owedAfter);
        EXPECT_EQ(stream.dropLeft, row.dropLeftAfter);
    }
}

TEST(ReceiveStream, EveryByteGoesWhereTheRequestsSay)
{
    const std::string rec1 = listingRecord("a.txt", 5), rec2 = listingRecord("b.bin", 300);
    const std::string copy = "Hello, wor";                            // the local copy's last bytes
    struct Row {
        const char* what;
        std::string beforeRequest;  // listing, junk: before the request leaves
        uint32_t owed;              // 0: no request
        uint32_t head;              // of the answer, compared with the copy's last bytes
        std::string answer;         // what comes after it
        std::vector<std::string> records;
        std::string file;
        unsigned dropped;
        std::vector<HeadVerdict> heads;
        uint32_t dropLeft;          // still to be counted off at the end
    };
    using V = HeadVerdict;
    const Row rows[] = {
        {"listing only", rec1 + rec2, 0, 0, "", {rec1, rec2}, "", 0, {}, 0},
        {"listing, then a file", rec1 + rec2, 5, 0, "hello", {rec1, rec2}, "hello", 0, {}, 0},
        {"junk before a record is dropped", "junk!" + rec1, 3, 0, "abc", {rec1}, "abc", 5, {}, 0},
        {"a record cut before the request by what is no record", rec1 + rec2.substr(0, 40), 3, 0, std::string("\0yz", 3),
         {rec1}, std::string("\0yz", 3), 40, {}, 0},
        {"surplus after the file is dropped, records and all", rec1, 3, 0, "abc" + std::string("zz") + rec2, {rec1},
         "abc", 2 + RECORD_SIZE, {}, 0},
        {"a resumed copy of this version", rec1, 14, 10, copy + "ld!!", {rec1}, "ld!!", 0, {V::Match}, 0},
        {"a resumed copy of another version", rec1, 14, 10, "Jello, world!!", {rec1}, "", 14, {V::Differ}, 0},
        {"a shifted answer: the rest is counted off", rec1, 14, 10, "xHello, wor", {rec1}, "", 11, {V::Differ}, 3},
        {"a confirming answer: head alone", rec1, 10, 10, copy + "surplus", {rec1}, "", 7, {V::Match}, 0},
    };
    for (const Row& row : rows) {
        for (unsigned readSize : {1u, 7u, 255u, 4096u}) {
            SCOPED_TRACE(testing::Message() << row.what << ", reads of " << readSize);
            ReceiveStream stream;
            resetStream(&stream);
            Received got;
            feed(&stream, row.beforeRequest, readSize, &got);
            if (row.owed > 0) requestLeft(&stream, {0, row.head, row.owed}, copy.data());
            feed(&stream, row.answer, readSize, &got);
            EXPECT_EQ(got.records, textsOf(row.records));
            EXPECT_EQ(got.file, row.file);
            EXPECT_EQ(got.dropped, row.dropped);
            EXPECT_EQ(got.heads, row.heads);
            EXPECT_EQ(got.completions, row.file.empty() ? 0u : 1u);
            EXPECT_EQ(stream.dropLeft, row.dropLeft);
            EXPECT_EQ(streamBetweenAnswers(&stream), row.dropLeft == 0);
        }
    }
}

TEST(ReceiveStream, OnlyTheFirstAnswerMayBeginWithTheRestOfAPausedListing)
{
    const std::string rec1 = listingRecord("a.txt", 5), rec2 = listingRecord("b.bin", 300),
                      rec3 = listingRecord("c.dat", 4294967295u), ghost = listingRecord("ghost.txt", 7);
    struct Row {
        const char* what;
        std::string beforeRequest;
        std::string earlier;   // a whole answer to an earlier request, if any
        std::string copy;      // the local bytes the answer's head repeats
        std::string answer;    // what comes after the request
        uint32_t owed;
        std::vector<std::string> records;
        std::string file;      // what reaches the file, the earlier answer's bytes first
        unsigned dropped;
        std::vector<HeadVerdict> heads;
    };
    using V = HeadVerdict;
    const Row rows[] = {
        {"records cut by the request, then the file", rec1 + rec2.substr(0, 100), "", "",
         rec2.substr(100) + rec3 + "hello",
         5, {rec1, rec2, rec3}, "hello", 0, {}},
        {"records, then a resumed answer", rec1, "", "Hello, wor", rec2 + "Hello, world!!", 14, {rec1, rec2}, "ld!!", 0,
         {V::Match}},
        {"a head that repeats the copy in a record's shape", rec1, "", ghost, ghost + "more", 259, {rec1}, "more", 0,
         {V::Match}},
        {"a later answer that begins like a record", rec1, "ab", "", ghost + "tail", 259, {rec1}, "ab" + ghost + "tail",
         0, {}},
        {"a short file that could begin a record, then quiet", rec1, "", "", "File: abc", 9, {rec1}, "File: abc", 0,
         {}},
        // The price of the rule: a first answer that begins with a record's exact shape, or follows
        // a record whose text came whole before the request and never got its filler, lacks those
        // bytes, never reaches its size, and so is never announced.
        {"a first answer that begins like a record", rec1, "", "", ghost + "tail", 259, {rec1, ghost}, "tail", 0, {}},
        {"a first answer after a record that lacked only its filler", rec1 + rec2.substr(0, 100), "", "",
         std::string(200, 'x'), 200, {rec1, rec2.substr(0, 100) + std::string(155, 'x')}, std::string(45, 'x'), 0, {}},
    };
    for (const Row& row : rows) {
        for (unsigned readSize : {1u, 7u, 255u, 4096u}) {
            SCOPED_TRACE(testing::Message() << row.what << ", reads of " << readSize);
            ReceiveStream stream;
            resetStream(&stream);
            Received got;
            feed(&stream, row.beforeRequest, readSize, &got);
            if (!row.earlier.empty()) {
                requestLeft(&stream, {0, 0, static_cast<uint32_t>(row.earlier.size())}, nullptr);
                feed(&stream, row.earlier, readSize, &got);
            }
            uint32_t head = static_cast<uint32_t>(row.copy.size());
            requestLeft(&stream, {0, head, row.owed}, row.copy.data());
            feed(&stream, row.answer, readSize, &got);
            EXPECT_FALSE(settleTail(&stream, 1000, 2499, 1500));
            if (settleTail(&stream, 1000, 2500, 1500)) feed(&stream, "", readSize, &got);
            EXPECT_EQ(got.records, textsOf(row.records));
            EXPECT_EQ(got.file, row.file);
            EXPECT_EQ(got.dropped, row.dropped);
            EXPECT_EQ(got.heads, row.heads);
            EXPECT_EQ(streamBetweenAnswers(&stream), got.file.size() == row.earlier.size() + row.owed - head);
        }
    }
}

TEST(ReceiveStream, AnAbandonedAnswerIsCountedOffBeforeAnyRequestMayLeave)
{
    const std::string late = listingRecord("late.txt", 9) + "rest of the file";
    struct Row {
        uint32_t owed;
        unsigned beforeAbandon;  // bytes of the answer written before it was given up
    };
    const Row rows[] = {
        {static_cast<uint32_t>(late.size()), 0},
        {static_cast<uint32_t>(late.size()) + 10, 10},
    };
    for (const Row& row : rows) {
        ReceiveStream stream;
        resetStream(&stream);
        Received got;
        requestLeft(&stream, {0, 0, row.owed}, nullptr);
        feed(&stream, std::string(row.beforeAbandon, 'w'), 4096, &got);
        answerAbandoned(&stream);
        EXPECT_FALSE(streamBetweenAnswers(&stream));
        EXPECT_FALSE(requestMayLeave(&stream, 0, 100000, 1500));  // the rest is still owed
        feed(&stream, late.substr(0, late.size() - 1), 50, &got);
        EXPECT_FALSE(streamBetweenAnswers(&stream));
        feed(&stream, late.substr(late.size() - 1), 50, &got);
        EXPECT_TRUE(requestMayLeave(&stream, 0, 100000, 1500));
        EXPECT_EQ(got.file, std::string(row.beforeAbandon, 'w'));
        EXPECT_EQ(got.dropped, late.size());
        // What comes after is no listing: the listing ended with the first request.
        feed(&stream, listingRecord("next.txt", 1), 4096, &got);
        EXPECT_TRUE(got.records.empty());
        requestLeft(&stream, {0, 0, 4}, nullptr);
        feed(&stream, "data", 4096, &got);
        EXPECT_EQ(got.file, std::string(row.beforeAbandon, 'w') + "data");
    }
}

TEST(ReceiveStream, ManyRecordsAReadReachTheListOnceEachInOrderInBatchesThatNeverOverflow)
{
    std::string listing;
    std::vector<std::string> texts;
    for (unsigned i = 0; i < 1000; ++i) {
        std::string record = listingRecord(("entry-" + std::to_string(i * 7919 % 1000) + ".bin").c_str(), i);
        listing += record;
        texts.push_back(textOf(record));
    }
    for (unsigned readSize : {1u, 254u, 256u, 4096u}) {
        SCOPED_TRACE(testing::Message() << "reads of " << readSize);
        ReceiveStream stream;
        resetStream(&stream);
        Received got;
        feed(&stream, "junk" + listing, readSize, &got);  // feed hands a batch over only when due
        EXPECT_EQ(got.records, texts);
        EXPECT_EQ(got.dropped, 4u);
    }
}

TEST(ReceiveStream, ListingStopsAtTheCapWithOneNotice)
{
    ReceiveStream stream;
    resetStream(&stream);
    stream.listed = LISTING_CAP - 2;  // as if that many had been taken
    Received got;
    const std::string record = listingRecord("again.txt", 1);
    for (int i = 0; i < 5; ++i) feed(&stream, record, 100, &got);
    EXPECT_EQ(got.records.size(), 2u);
    EXPECT_EQ(got.capped, 1u);
    EXPECT_EQ(got.dropped, 3 * RECORD_SIZE);
}

TEST(RequestMayLeave, OnlyAfterTheQuietPeriodAndNeverWhileAnAnswerIsDue)
{
    struct Row {
        uint32_t owed;
        uint32_t dropLeft;
        uint32_t lastArrival;
        uint32_t now;
        bool mayLeave;
    };
    const Row rows[] = {
        {0, 0, 1000, 1000, false},
        {0, 0, 1000, 2499, false},
        {0, 0, 1000, 2500, true},
        {0, 0, 1000, 90000, true},
        {0, 0, 0xFFFFFF00u, 0x00000100u, false},   // 512 ms across the counter's wrap
        {0, 0, 0xFFFFFF00u, 0x00000600u, true},    // 1792 ms across it
        {0, 0, 5000, 4000, false},                 // a stamp later than the clock read: 0 ms
        {10, 0, 1000, 90000, false},
        {0, 10, 1000, 90000, false},               // the rest of an ended answer is still owed
    };
    for (size_t i = 0; i < std::size(rows); ++i) {
        const Row& row = rows[i];
        SCOPED_TRACE(testing::Message() << "row " << i);
        ReceiveStream stream = streamWith(0, row.owed, row.dropLeft);
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
        {30000, 100, false},  // a stamp taken after the clock was read is never overdue
    };
    for (const Row& row : rows)
        EXPECT_EQ(answerOverdue(row.lastProgress, row.now, 30000), row.overdue) << row.lastProgress << " " << row.now;
}
