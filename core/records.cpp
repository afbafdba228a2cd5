// Building and reading the 255-byte peer records.

#include "core/records.h"

#include <cstdio>
#include <cstring>


const char* recordTag(RecordKind kind) { return kind == RecordKind::Listing ? LISTING_TAG : REQUEST_TAG; }

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

namespace {
bool isSpace(char c) { return c == ' '; }
}  // namespace

bool readRecordText(const char* text, size_t length, RecordFields* fields)
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

    fields->text = text;
    fields->textLength = length;
    fields->name = text + nameStart;
    fields->nameLength = nameEnd - nameStart;
    bool negative = number[0] == '-' && numberLength > 1;
    fields->number = negative ? 0u - parseDecimalField(number + 1) : parseDecimalField(number);
    return true;
}

bool readRecord(const char record[RECORD_SIZE], RecordFields* fields)
{
    size_t length = 0;
    while (TAG_LENGTH + length < RECORD_SIZE && record[TAG_LENGTH + length] != 0) ++length;
    return readRecordText(record + TAG_LENGTH, length, fields);
}

namespace {

// A byte a record's text may hold: no control character, none that a Windows file name may not hold.
bool isTextByte(char c)
{
    unsigned char b = static_cast<unsigned char>(c);
    return b >= 32 && strchr("\"*/:<>?\\|", b) == nullptr;
}

// The text of a listing record, from after the tag up to its terminator, laid out exactly as a
// sharer's format lays it out.
bool isListingText(const char* text, size_t length)
{
    size_t digitsStart = length;
    while (digitsStart > 0 && text[digitsStart - 1] >= '0' && text[digitsStart - 1] <= '9') --digitsStart;
    size_t digits = length - digitsStart;
    if (digits == 0 || digits > 10 || (digits > 1 && text[digitsStart] == '0')) return false;
    bool negative = digitsStart > 0 && text[digitsStart - 1] == '-';
    if (negative && text[digitsStart] == '0') return false;
    uint64_t value = 0;
    for (size_t i = digitsStart; i < length; ++i) value = value * 10 + static_cast<uint64_t>(text[i] - '0');
    if (value > (negative ? 2147483648ull : 4294967295ull)) return false;
    size_t numberStart = digitsStart - (negative ? 1 : 0);
    size_t numberLength = length - numberStart;
    size_t padding = numberLength < 10 ? 10 - numberLength : 0;
    size_t spaces = 0;
    while (spaces < numberStart && text[numberStart - spaces - 1] == ' ') ++spaces;
    return spaces == 32 + padding && numberStart - spaces >= 20;
}

}  // namespace

RecordShape listingRecordShape(const char* bytes, unsigned count)
{
    if (count > RECORD_SIZE) count = RECORD_SIZE;
    if (memcmp(bytes, LISTING_TAG, count < TAG_LENGTH ? count : TAG_LENGTH) != 0) return RecordShape::NotRecord;
    unsigned end = TAG_LENGTH;
    for (; end < count && bytes[end] != 0; ++end)
        if (!isTextByte(bytes[end])) return RecordShape::NotRecord;
    if (end >= count) return count < RECORD_SIZE ? RecordShape::Prefix : RecordShape::NotRecord;
    if (!isListingText(bytes + TAG_LENGTH, end - TAG_LENGTH)) return RecordShape::NotRecord;
    return count == RECORD_SIZE ? RecordShape::Whole : RecordShape::Prefix;
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
