// Checking the peer address the user types into the connect dialog. Pure code.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr size_t ADDRESS_MAX_LENGTH = 15;

// Accepts exactly a dotted IPv4 address: four decimal numbers 0-255 (one to three digits each,
// read as decimal even with leading zeros), at most 15 characters in all. On success *address
// holds the address in network byte order (first number in the lowest byte).
bool parseDottedAddress(const char* text, uint32_t* address);
