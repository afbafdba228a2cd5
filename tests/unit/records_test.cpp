// The 255-byte peer records: how they are written, read back, checked and collected from a stream.
// A peer may read these bytes by position, so the layout tests compare whole records rather than
// only checking that a record reads back as it was written.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "core/records.h"

namespace {

std::string record(RecordKind kind, const std::string& name, uint32_t number)
{
    char bytes[RECORD_SIZE];
    EXPECT_TRUE(formatRecord(kind, name.c_str(), number, bytes)) << name;
    return std::string(bytes, RECORD_SIZE);
}

std::string rightAligned(const std::string& text, size_t width)
{
    return text.size() >= width ? text : std::string(width - text.size(), ' ') + text;
}

std::string nameOf(size_t length) { return std::string(length, 'n'); }

}  // namespace

TEST(FormatRecord, WritesTheListingExampleByteForByte)
{
    std::string expected = "File: " + std::string(10, ' ') + "report.txt" + std::string(32, ' ') +
                           std::string(6, ' ') + "1234";
    ASSERT_EQ(expected.size(), 68u);
    expected.resize(RECORD_SIZE, '\0');
    EXPECT_EQ(record(RecordKind::Listing, "report.txt", 1234), expected);
}

TEST(FormatRecord, AlignsNameAndUnsignedNumberAndZeroFillsTheRest)
{
    struct Row {
        RecordKind kind;
        std::string name;
        uint32_t number;
        const char* digits;  // the number as the peer must read it
        size_t terminator;   // 48 + the wider of the name and its 20 columns
    };
    const Row rows[] = {
        {RecordKind::Request, "a", 0, "0", 68},
        {RecordKind::Listing, "my file.txt", 77, "77", 68},
        {RecordKind::Listing, nameOf(20), 1, "1", 68},
        {RecordKind::Request, nameOf(21), 5, "5", 69},
        {RecordKind::Listing, nameOf(60), 123456789, "123456789", 108},
        {RecordKind::Listing, nameOf(206), 4096, "4096", 254},
        {RecordKind::Listing, "big", 2147483648u, "2147483648", 68},
        {RecordKind::Request, "biggest", 4294967295u, "4294967295", 68},
    };
    for (size_t i = 0; i < std::size(rows); ++i) {
        const Row& row = rows[i];
        SCOPED_TRACE(testing::Message() << "row " << i << ", name length " << row.name.size());
        std::string text = std::string(recordTag(row.kind)) + rightAligned(row.name, 20) +
                           std::string(32, ' ') + rightAligned(row.digits, 10);
        ASSERT_EQ(text.size(), row.terminator);
        std::string expected = text;
        expected.resize(RECORD_SIZE, '\0');
        EXPECT_EQ(record(row.kind, row.name, row.number), expected);
    }
}

TEST(FormatRecord, RefusesANameTooLongAndLeavesOnlyZeros)
{
    char bytes[RECORD_SIZE];
    memset(bytes, 'x', sizeof bytes);
    EXPECT_FALSE(formatRecord(RecordKind::Listing, nameOf(207).c_str(), 1, bytes));
    EXPECT_EQ(std::string(bytes, RECORD_SIZE), std::string(RECORD_SIZE, '\0'));
}

TEST(ParseDecimalField, ReadsDigitsSkippingSpacesAndWrapping)
{
    struct Row {
        const char* text;
        uint32_t expected;
    };
    const Row rows[] = {
        {"      1234", 1234},
        {"12 34", 1234},
        {"", 0},
        {"   ", 0},
        {"-5", 2535},          // '-' is 45, a "digit" of 253
        {"12a", 169},          // 'a' is 97, a "digit" of 49: 120 + 49
        {"2147483647", 2147483647u},
        {"4294967295", 4294967295u},
        {"4294967296", 0},     // one past the top wraps round
        {"4 294 967 295", 4294967295u},
    };
    for (const Row& row : rows)
        EXPECT_EQ(parseDecimalField(row.text), row.expected) << '"' << row.text << '"';
}

TEST(ReadRecord, ReadsNameAndNumberOrRefuses)
{
    struct Row {
        std::string text;
        bool ok;
        std::string name;
        uint32_t number;
    };
    auto textOf = [](const std::string& name, uint32_t number) {
        std::string r = record(RecordKind::Listing, name, number);
        RecordFields fields{};
        EXPECT_TRUE(readRecord(r.data(), &fields));
        return std::string(fields.text, fields.textLength);
    };
    const Row rows[] = {
        {textOf("report.txt", 1234), true, "report.txt", 1234},
        {textOf("my file.txt", 9), true, "my file.txt", 9},
        {textOf(nameOf(21), 21), true, nameOf(21), 21},
        {textOf(nameOf(60), 4294967295u), true, nameOf(60), 4294967295u},
        {textOf(nameOf(206), 0), true, nameOf(206), 0},
        {"a 1", true, "a", 1},
        {"big -2147483648", true, "big", 2147483648u},  // sizes of 2 to 4 GiB printed signed
        {"x  -1", true, "x", 4294967295u},
        {"x -", true, "x", parseDecimalField("-")},      // a lone sign is no sign
        {"  x  y   12 34  ", true, "x  y   12", 34},
        {"", false, "", 0},
        {"   ", false, "", 0},
        {"123", false, "", 0},
        {"name", false, "", 0},
        {"   name   ", false, "", 0},
    };
    for (size_t i = 0; i < std::size(rows); ++i) {
        const Row& row = rows[i];
        SCOPED_TRACE(testing::Message() << "row " << i << ": \"" << row.text << '"');
        RecordFields fields{};
        ASSERT_EQ(readRecordText(row.text.data(), row.text.size(), &fields), row.ok);
        if (!row.ok) continue;
        EXPECT_EQ(std::string(fields.name, fields.nameLength), row.name);
        EXPECT_EQ(fields.number, row.number);
    }
}

// A peer may take the number from a fixed offset of a short-named record instead of splitting it;
// both readings must agree or the two sides would disagree about file sizes.
TEST(ReadRecord, AgreesWithFixedOffsetReadingsOfShortNames)
{
    const std::string names[] = {"a", "report.txt", nameOf(19), nameOf(20)};
    const uint32_t numbers[] = {0, 1, 1234, 2147483648u, 4294967295u};
    for (const std::string& name : names) {
        for (uint32_t number : numbers) {
            SCOPED_TRACE(testing::Message() << name << " " << number);
            std::string r = record(RecordKind::Listing, name, number);
            const char* text = r.data() + TAG_LENGTH;
            RecordFields fields{};
            ASSERT_TRUE(readRecord(r.data(), &fields));
            EXPECT_EQ(fields.number, number);
            EXPECT_EQ(parseDecimalField(text + 46), number);
            EXPECT_EQ(parseDecimalField(text + 52), number);
        }
    }
}

TEST(ListingRecordShape, TakesOnlyWhatASharerWritesAndEveryPrefixOfIt)
{
    // A record as a copy that prints its sizes signed writes it, filler not zeroed.
    auto signedRecord = [](const std::string& name, const std::string& number, char filler) {
        std::string r = "File: " + rightAligned(name, 20) + std::string(32, ' ') + rightAligned(number, 10);
        r.push_back('\0');
        r.resize(RECORD_SIZE, filler);
        return r;
    };
    auto changed = [](std::string r, size_t at, char c) {
        r[at] = c;
        return r;
    };
    const std::string report = record(RecordKind::Listing, "report.txt", 1234);
    struct Row {
        const char* what;
        std::string bytes;
        RecordShape whole;  // of all 255 bytes
    };
    using S = RecordShape;
    const Row rows[] = {
        {"this program's record", report, S::Whole},
        {"a long name and the largest size", record(RecordKind::Listing, nameOf(60), 4294967295u), S::Whole},
        {"the longest name", record(RecordKind::Listing, nameOf(206), 0), S::Whole},
        {"a size printed signed, filler of any value", signedRecord("disk.img", "-2147483648", 'q'), S::Whole},
        {"inner spaces and code-page letters", signedRecord("my \xe9t\xe9 file", "77", 0), S::Whole},
        {"a request", record(RecordKind::Request, "report.txt", 1234), S::NotRecord},
        {"31 spaces in the gap", changed(report, 26, 'x'), S::NotRecord},
        {"33 spaces in the gap", report.substr(0, 58) + " " + report.substr(58, RECORD_SIZE - 59), S::NotRecord},
        {"a leading zero", signedRecord("a.txt", "0012", 0), S::NotRecord},
        {"minus zero", signedRecord("a.txt", "-0", 0), S::NotRecord},
        {"past 32 bits", signedRecord("a.txt", "4294967296", 0), S::NotRecord},
        {"past the signed range", signedRecord("a.txt", "-2147483649", 0), S::NotRecord},
        {"no digits", signedRecord("a.txt", "-", 0), S::NotRecord},
        {"a control character in the name", changed(report, 20, '\t'), S::NotRecord},
        {"a backslash in the name", changed(report, 20, '\\'), S::NotRecord},
        {"a letter in the number", changed(report, 66, 'x'), S::NotRecord},
        {"no terminator", std::string("File: ") + std::string(249, 'a'), S::NotRecord},
        {"the name field one column short", "File: " + report.substr(7) + '\0', S::NotRecord},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        ASSERT_EQ(row.bytes.size(), RECORD_SIZE);
        EXPECT_EQ(listingRecordShape(row.bytes.data(), RECORD_SIZE), row.whole);
        if (row.whole != S::Whole) continue;
        for (unsigned count = 0; count < RECORD_SIZE; ++count)
            ASSERT_EQ(listingRecordShape(row.bytes.data(), count), S::Prefix) << count << " bytes";
    }
    EXPECT_EQ(listingRecordShape("File", 4), S::Prefix);
    EXPECT_EQ(listingRecordShape("Filo", 4), S::NotRecord);
    EXPECT_EQ(listingRecordShape("File: \x01", 7), S::NotRecord);
}

namespace {

struct Collected {
    std::vector<std::string> records;
    size_t dropped = 0;
    unsigned leftover = 0;
};

// Feeds `stream` the way the socket loops do: never more than assemblerRoom() at a time.
Collected collect(const std::string& stream, size_t piece, const char* tag)
{
    Collected result;
    RecordAssembler assembler;
    resetAssembler(&assembler);
    for (size_t at = 0; at < stream.size();) {
        unsigned room = assemblerRoom(&assembler);
        EXPECT_GE(room, 1u);
        size_t count = std::min({piece, static_cast<size_t>(room), stream.size() - at});
        memcpy(assembler.record + assembler.fill, stream.data() + at, count);
        at += count;
        unsigned dropped = 0;
        AssemblyResult done = assemblerAdd(&assembler, static_cast<unsigned>(count), tag, &dropped);
        result.dropped += dropped;
        EXPECT_LE(assembler.fill, RECORD_SIZE);
        if (done == AssemblyResult::Complete) {
            result.records.emplace_back(assembler.record, RECORD_SIZE);
            resetAssembler(&assembler);
        }
    }
    result.leftover = assembler.fill;
    return result;
}

}  // namespace

TEST(RecordAssembler, CompletesAOneByteAtATimeRecordExactlyOnce)
{
    const std::string request = record(RecordKind::Request, "a.txt", 7);
    RecordAssembler assembler;
    resetAssembler(&assembler);
    for (size_t i = 0; i < RECORD_SIZE; ++i) {
        ASSERT_EQ(assemblerRoom(&assembler), RECORD_SIZE - i);
        assembler.record[assembler.fill] = request[i];
        unsigned dropped = 99;
        AssemblyResult done = assemblerAdd(&assembler, 1, "Down: ", &dropped);
        EXPECT_EQ(dropped, 0u) << "byte " << i;
        ASSERT_EQ(done == AssemblyResult::Complete, i == RECORD_SIZE - 1) << "byte " << i;
    }
    EXPECT_EQ(std::string(assembler.record, RECORD_SIZE), request);
}

TEST(RecordAssembler, DropsWhatCannotStartARecordWhateverThePieces)
{
    const std::string request = record(RecordKind::Request, "report.txt", 1234);
    const std::string listing = record(RecordKind::Listing, "report.txt", 1234);
    struct Row {
        const char* what;
        std::string stream;
        size_t records;
        size_t dropped;
        unsigned leftover;
    };
    const Row rows[] = {
        {"clean record", request, 1, 0, 0},
        {"junk first", "hello" + request, 1, 5, 0},
        {"doubled first letter", "D" + request, 1, 1, 0},
        {"broken tag first", "Down:" + request, 1, 5, 0},
        {"two in a row", request + request, 2, 0, 0},
        {"junk between", request + "xyz" + request, 2, 3, 0},
        {"junk only", std::string(1000, 'x'), 0, 1000, 0},
        {"other tag only", listing + listing, 0, 2 * RECORD_SIZE, 0},
        {"tag prefix left over", "xxDow", 0, 2, 3},
    };
    const size_t pieces[] = {1, 2, 6, 7, 100, RECORD_SIZE, 4096};
    for (const Row& row : rows) {
        for (size_t piece : pieces) {
            SCOPED_TRACE(testing::Message() << row.what << ", pieces of " << piece);
            Collected got = collect(row.stream, piece, "Down: ");
            ASSERT_EQ(got.records.size(), row.records);
            for (const std::string& r : got.records) EXPECT_EQ(r, request);
            EXPECT_EQ(got.dropped, row.dropped);
            EXPECT_EQ(got.leftover, row.leftover);
        }
    }
}
