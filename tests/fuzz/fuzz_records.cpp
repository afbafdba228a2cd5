// Whatever a peer sends must be read without crashing and without reading or writing past the
// record, and whatever this program writes must read back as it was meant.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "core/names.h"
#include "core/records.h"
#include "fuzz_check.h"


namespace {

void readAsRecord(const uint8_t* data, size_t size)
{
    char record[RECORD_SIZE] = {};
    memcpy(record, data, size < RECORD_SIZE ? size : RECORD_SIZE);
    const char* text = record + TAG_LENGTH;
    RecordFields fields;
    bool readable = readRecord(record, &fields);
    if (listingRecordShape(record, RECORD_SIZE) == RecordShape::Whole) {
        // What is taken for a record by its shape reads as one, and each of its prefixes may begin one.
        CHECK(readable);
        for (unsigned count = 0; count < RECORD_SIZE; count += 1 + count % 7)
            CHECK(listingRecordShape(record, count) == RecordShape::Prefix);
    }
    if (!readable) return;
    size_t length = fields.textLength;
    CHECK(fields.text == text && length <= RECORD_SIZE - TAG_LENGTH);
    CHECK(fields.nameLength > 0);
    CHECK(fields.name >= text && fields.name + fields.nameLength <= text + length);
    CHECK(fields.name[0] != ' ' && fields.name[fields.nameLength - 1] != ' ');
    if (!isPlainEntryName(fields.name, fields.nameLength)) return;
    CHECK(memchr(fields.name, '\\', fields.nameLength) == nullptr);
    char path[PATH_CAPACITY];
    if (joinPath("C:\\work", "\\Share\\", fields.name, fields.nameLength, path))
        CHECK(strlen(path) == 14 + fields.nameLength);
}

// Any name without edge spaces survives a trip through a record, or does not fit at all.
void roundTrip(const std::string& name, uint32_t number)
{
    char record[RECORD_SIZE];
    bool fits = formatRecord(RecordKind::Request, name.c_str(), number, record);
    CHECK(fits == (name.size() <= 206));
    if (!fits) {
        for (char c : record) CHECK(c == 0);
        return;
    }
    CHECK(memcmp(record, REQUEST_TAG, TAG_LENGTH) == 0);
    // A listing record of a name a folder may hold always has the shape the receiver looks for.
    char listing[RECORD_SIZE];
    CHECK(formatRecord(RecordKind::Listing, name.c_str(), number, listing));
    bool folderName = !name.empty() && name.back() != ' ';
    for (char c : name)
        folderName = folderName && static_cast<unsigned char>(c) >= 32 && strchr("\"*/:<>?\\|", c) == nullptr;
    if (folderName) CHECK(listingRecordShape(listing, RECORD_SIZE) == RecordShape::Whole);
    if (name.empty() || name.front() == ' ' || name.back() == ' ') return;
    RecordFields fields;
    CHECK(readRecord(record, &fields));
    CHECK(std::string(fields.name, fields.nameLength) == name);
    CHECK(fields.number == number);
}

// Pieces of every size the network might deliver, never more than the assembler has room for.
// Both sides collect records this way: the sharer requests, the fetcher listing entries.
void assemble(const uint8_t* data, size_t size, const char* tag)
{
    RecordAssembler assembler;
    resetAssembler(&assembler);
    uint32_t seed = static_cast<uint32_t>(size) * 2654435761u + (size > 0 ? data[0] : 0);
    size_t dropped = 0, completed = 0;
    for (size_t at = 0; at < size;) {
        seed = seed * 1103515245u + 12345u;
        unsigned room = assemblerRoom(&assembler);
        CHECK(room >= 1 && room <= RECORD_SIZE);
        size_t count = 1 + (seed >> 16) % 300;
        if (count > room) count = room;
        if (count > size - at) count = size - at;
        memcpy(assembler.record + assembler.fill, data + at, count);
        at += count;
        unsigned lost = 0;
        AssemblyResult result = assemblerAdd(&assembler, static_cast<unsigned>(count), tag, &lost);
        dropped += lost;
        CHECK(assembler.fill <= RECORD_SIZE);
        if (result == AssemblyResult::Complete) {
            CHECK(memcmp(assembler.record, tag, TAG_LENGTH) == 0);
            ++completed;
            resetAssembler(&assembler);
        }
        CHECK(dropped + assembler.fill + completed * RECORD_SIZE == at);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    readAsRecord(data, size);

    std::string terminated(reinterpret_cast<const char*>(data), size);
    parseDecimalField(terminated.c_str());

    uint32_t number = 0;
    if (size >= 4) memcpy(&number, data + size - 4, 4);
    roundTrip(std::string(terminated.c_str()), number);

    assemble(data, size, REQUEST_TAG);
    assemble(data, size, LISTING_TAG);
    return 0;
}
