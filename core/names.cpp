// Name checks and path joining for the names that come from the network.

#include "core/names.h"

#include <cstring>

namespace {

unsigned unit(char c) { return static_cast<unsigned char>(c); }
unsigned unit(char16_t c) { return c; }

template <typename Char>
bool equalsIgnoringCase(const Char* a, size_t length, const char* b)
{
    if (strlen(b) != length) return false;
    for (size_t i = 0; i < length; ++i) {
        unsigned x = unit(a[i]), y = unit(b[i]);
        if (x >= 'a' && x <= 'z') x -= 32;
        if (y >= 'a' && y <= 'z') y -= 32;
        if (x != y) return false;
    }
    return true;
}

// The digits of COM1 and LPT1, and the superscripts 1, 2 and 3 (U+00B9, U+00B2, U+00B3, which
// are bytes B9, B2 and B3 in code page 1252), which Windows reserves the same way.
bool isDeviceDigit(unsigned c) { return (c >= '0' && c <= '9') || c == 0xB9 || c == 0xB2 || c == 0xB3; }

// Windows opens these as devices whatever the folder and whatever the extension.
template <typename Char>
bool isDeviceNameOf(const Char* name, size_t length)
{
    size_t stem = 0;
    while (stem < length && unit(name[stem]) != '.') ++stem;
    while (stem > 0 && unit(name[stem - 1]) == ' ') --stem;  // Windows ignores them too: "NUL .txt" is NUL
    static const char* const devices[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$", "CLOCK$"};
    for (const char* device : devices)
        if (equalsIgnoringCase(name, stem, device)) return true;
    if (stem == 4 && isDeviceDigit(unit(name[3])) &&
        (equalsIgnoringCase(name, 3, "COM") || equalsIgnoringCase(name, 3, "LPT")))
        return true;
    return false;
}

bool isDeviceName(const char* name, size_t length) { return isDeviceNameOf(name, length); }

}  // namespace

bool isPlainEntryName(const char* name, size_t length)
{
    if (length == 0 || length >= PATH_CAPACITY) return false;
    if ((length == 1 && name[0] == '.') || (length == 2 && name[0] == '.' && name[1] == '.')) return false;
    for (size_t i = 0; i < length; ++i) {
        unsigned char c = static_cast<unsigned char>(name[i]);
        if (c < 32 || c == 127 || strchr("\\/:*?\"<>|", c) != nullptr) return false;
    }
    if (name[length - 1] == '.' || name[length - 1] == ' ') return false;
    return !isDeviceName(name, length);
}

bool isDeviceNameUtf16(const char16_t* name, size_t length) { return isDeviceNameOf(name, length); }

bool isOfferedName(const char* folder, const char* subfolder, const char* name, size_t length)
{
    if (!isPlainEntryName(name, length) || name[0] == ' ') return false;
    char path[PATH_CAPACITY];
    return joinPath(folder, subfolder, name, length, path);
}

bool joinPath(const char* folder, const char* subfolder, const char* name, size_t nameLength,
              char out[PATH_CAPACITY])
{
    size_t a = strlen(folder), b = strlen(subfolder);
    out[0] = 0;
    if (a + b + nameLength >= PATH_CAPACITY) return false;
    memcpy(out, folder, a);
    memcpy(out + a, subfolder, b);
    memcpy(out + a + b, name, nameLength);
    out[a + b + nameLength] = 0;
    return true;
}

