// The fetch side's pure decisions: which addresses the connect dialog lets through, and what the
// receiver reads next from a stream that has no framing of its own.

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "core/address.h"
#include "core/receiver_plan.h"

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

TEST(PlanReceiverRead, FinishesWhatIsOwedBeforeAnythingElse)
{
    struct Row {
        unsigned fill;
        uint32_t discardLeft;
        bool active;
        uint32_t expected;
        uint32_t received;
        ReadTarget target;
        unsigned maxBytes;
    };
    const Row rows[] = {
        {0, 100000, false, 0, 0, ReadTarget::Discard, 4096},
        {0, 10, true, 100, 0, ReadTarget::Discard, 10},
        {3, 1, true, 100, 0, ReadTarget::Discard, 1},
        {5, 0, true, 100, 0, ReadTarget::FileData, 100},  // a record cut before the request is dropped
        {5, 0, false, 100, 0, ReadTarget::Record, 250},    // otherwise a record begun is finished
        {0, 0, true, 100000, 0, ReadTarget::FileData, 4096},
        {0, 0, true, 10, 0, ReadTarget::FileData, 10},
        {0, 0, true, 5000, 4990, ReadTarget::FileData, 10},
        {0, 0, true, 4294967295u, 0, ReadTarget::FileData, 4096},
        {0, 0, true, 5000, 5000, ReadTarget::Record, 255},
        {0, 0, true, 0, 0, ReadTarget::Record, 255},
        {0, 0, false, 5000, 0, ReadTarget::Record, 255},
        {254, 0, false, 0, 0, ReadTarget::Record, 1},
    };
    for (size_t i = 0; i < std::size(rows); ++i) {
        const Row& row = rows[i];
        SCOPED_TRACE(testing::Message() << "row " << i);
        RecordAssembler listing;
        resetAssembler(&listing);
        memset(listing.record, 'F', row.fill);
        listing.fill = row.fill;
        ReadPlan plan = planReceiverRead(&listing, row.discardLeft, row.active, row.expected, row.received);
        EXPECT_EQ(static_cast<int>(plan.target), static_cast<int>(row.target));
        EXPECT_EQ(plan.maxBytes, row.maxBytes);
        if (plan.target == ReadTarget::FileData) {
            EXPECT_EQ(listing.fill, 0u);
        }
        if (plan.target == ReadTarget::Record) {
            EXPECT_EQ(listing.fill, row.fill);
        }
    }
}
