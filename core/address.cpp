// Dotted IPv4 addresses, read strictly: no host names, no shorthand forms, no octal.

#include "core/address.h"

#include <cstring>

bool parseDottedAddress(const char* text, uint32_t* address)
{
    size_t length = strnlen(text, ADDRESS_MAX_LENGTH + 1);
    if (length == 0 || length > ADDRESS_MAX_LENGTH) return false;
    uint32_t result = 0;
    const char* p = text;
    for (int part = 0; part < 4; ++part) {
        if (part > 0) {
            if (*p != '.') return false;
            ++p;
        }
        unsigned value = 0;
        int digits = 0;
        while (*p >= '0' && *p <= '9') {
            if (++digits > 3) return false;
            value = value * 10 + static_cast<unsigned>(*p - '0');
            ++p;
        }
        if (digits == 0 || value > 255) return false;
        result |= static_cast<uint32_t>(value) << (8 * part);
    }
    if (*p != 0) return false;
    *address = result;
    return true;
}
