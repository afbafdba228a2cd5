// The connect dialog's address check: only four decimal numbers of 0 to 255, separated by dots,
// pass, and they go out in network order.

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "core/address.h"

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
