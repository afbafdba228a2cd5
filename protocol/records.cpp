// Building and reading the 255-byte peer records, and the checks applied to the names they carry.

#include "protocol/records.h"

#include <cstdio>
#include <cstring>

namespace {

bool isSpace(char c) { return c == ' '; }

bool equalsIgnoringCase(const char* a, size_t length, const char* b)
{
    if (strlen(b) != length) return false;
    for (size_t i = 0; i < length; ++i) {
        char x = a[i], y = b[i];
        if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 32);
        if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 32);
        if (x != y) return false;
    }
    return true;
}

// Windows opens these as devices whatever the folder and whatever the extension.
bool isDeviceName(const char* name, size_t length)
{
    size_t stem = 0;
    while (stem < length && name[stem] != '.') ++stem;
    while (stem > 0 && name[stem - 1] == ' ') --stem;  // Windows ignores them too: "NUL .txt" is NUL
    static const char* const devices[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$", "CLOCK$"};
    for (const char* device : devices)
        if (equalsIgnoringCase(name, stem, device)) return true;
    if (stem == 4 && name[3] >= '0' && name[3] <= '9' &&
        (equalsIgnoringCase(name, 3, "COM") || equalsIgnoringCase(name, 3, "LPT")))
        return true;
    return false;
}

}  // namespace

const char* recordTag(RecordKind kind) { return kind == RecordKind::Listing ? "File: " : "Down: "; }

bool formatRecord(RecordKind kind, const char* name, uint32_t number, char record[RECORD_SIZE])
{
    memset(record, 0, RECORD_SIZE);
    char text[RECORD_SIZE + 1];
    int length = snprintf(text, sizeof text, "%s%20s                                %10lu", recordTag(kind),
                          name, static_cast<unsigned long>(number));
    if (length < 0 || length >= static_cast<int>(RECORD_SIZE)) return false;
    memcpy(record, text, static_cast<size_t>(length));
    return true;
}

uint32_t parseDecimalField(const char* text)
{
    uint32_t value = 0;
    for (const unsigned char* b = reinterpret_cast<const unsigned char*>(text); *b != 0; ++b) {
        if (*b == ' ') continue;
        value = value * 10u + static_cast<uint8_t>(*b - '0');
    }
    return value;
}

bool splitRecordText(const char* text, size_t length, RecordFields* fields)
{
    size_t end = length;
    while (end > 0 && isSpace(text[end - 1])) --end;
    size_t numberStart = end;
    while (numberStart > 0 && !isSpace(text[numberStart - 1])) --numberStart;
    size_t nameEnd = numberStart;
    while (nameEnd > 0 && isSpace(text[nameEnd - 1])) --nameEnd;
    size_t nameStart = 0;
    while (nameStart < nameEnd && isSpace(text[nameStart])) ++nameStart;
    if (numberStart == end || nameStart == nameEnd || nameEnd == numberStart) return false;

    char number[RECORD_SIZE + 1];
    size_t numberLength = end - numberStart;
    if (numberLength > RECORD_SIZE) return false;
    memcpy(number, text + numberStart, numberLength);
    number[numberLength] = 0;

    fields->name = text + nameStart;
    fields->nameLength = nameEnd - nameStart;
    fields->number = parseDecimalField(number);
    return true;
}

size_t recordTextLength(const char record[RECORD_SIZE])
{
    size_t length = 0;
    while (TAG_LENGTH + length < RECORD_SIZE && record[TAG_LENGTH + length] != 0) ++length;
    return length;
}

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

void resetAssembler(RecordAssembler* assembler) { assembler->fill = 0; }

unsigned assemblerRoom(const RecordAssembler* assembler) { return RECORD_SIZE - assembler->fill; }

AssemblyResult assemblerAdd(RecordAssembler* assembler, unsigned count, const char* tag, unsigned* dropped)
{
    unsigned lost = 0;
    assembler->fill += count;
    // Slide the window to the first position whose bytes could still begin a record.
    unsigned start = 0;
    for (; start < assembler->fill; ++start) {
        unsigned compare = assembler->fill - start;
        if (compare > TAG_LENGTH) compare = TAG_LENGTH;
        if (memcmp(assembler->record + start, tag, compare) == 0) break;
    }
    if (start > 0) {
        memmove(assembler->record, assembler->record + start, assembler->fill - start);
        assembler->fill -= start;
        lost = start;
    }
    if (dropped != nullptr) *dropped = lost;
    return assembler->fill == RECORD_SIZE ? AssemblyResult::Complete : AssemblyResult::Incomplete;
}
