// The records two copies exchange: fixed 255-byte text records ("File: " listings and
// "Down: " requests) and the rules that build and read them. Pure code: no Windows headers,
// so it is unit-tested and fuzzed natively and compiled unchanged into the program.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr unsigned RECORD_SIZE = 255;
constexpr unsigned short PEER_PORT = 21120;
constexpr unsigned CHUNK_SIZE = 4096;
constexpr unsigned TAG_LENGTH = 6;

// The six bytes each record begins with.
constexpr char LISTING_TAG[] = "File: ";
constexpr char REQUEST_TAG[] = "Down: ";

enum class RecordKind { Listing, Request };

// "File: " or "Down: ".
const char* recordTag(RecordKind kind);

// Builds the record for `name` and `number` into all RECORD_SIZE bytes of `record`: the tag,
// the name right-aligned in 20 columns (never cut), 32 spaces, the number right-aligned in 10
// columns as an unsigned decimal, a zero byte, then zeros. Returns false, leaving `record` all
// zeros, when the text would not fit in the record.
bool formatRecord(RecordKind kind, const char* name, uint32_t number, char record[RECORD_SIZE]);

// Reads a number field: spaces are skipped anywhere, any other byte b adds (b - '0') mod 256 as
// a digit, and the value wraps modulo 2^32. Stops only at the zero byte.
uint32_t parseDecimalField(const char* text);

// What a record says: its text (after the tag, up to the terminator), and the name and number
// read from that text.
struct RecordFields {
    const char* text;     // points into the record; not terminated
    size_t textLength;
    const char* name;     // points into the text; not terminated
    size_t nameLength;
    uint32_t number;
};

// Reads a whole record of RECORD_SIZE bytes (its tag is the caller's to check). Returns false when
// its text holds no name or no number field.
bool readRecord(const char record[RECORD_SIZE], RecordFields* fields);

// Reads a record's text as the remote list shows it: leading spaces are skipped, the number is
// the run of non-space characters at the end, and the name is everything between, without the
// run of spaces before the number. So names with inner spaces and names of any length read whole.
// A number that begins with a minus sign is a size a sharer printed signed (a file of 2 to 4 GiB)
// and reads as the 32-bit size it stands for. Returns false when there is no name or no number.
bool readRecordText(const char* text, size_t length, RecordFields* fields);

// How far `count` bytes (at most RECORD_SIZE) agree with the shape of a listing record as every
// sharer writes one: "File: ", the name right-aligned in at least 20 columns, 32 spaces, the number
// (digits without a leading zero, a minus sign before them for a size printed signed)
// right-aligned in at least 10 columns, the zero byte, then filler of any value. Prefix: these
// bytes may still begin such a record; Whole: all RECORD_SIZE bytes are one.
enum class RecordShape { NotRecord, Prefix, Whole };
RecordShape listingRecordShape(const char* bytes, unsigned count);

// Collects one record from a byte stream that may deliver it in pieces and may carry bytes that
// are no record at all. Bytes that cannot begin a record with the expected tag are dropped.
struct RecordAssembler {
    char record[RECORD_SIZE];
    unsigned fill;
};

enum class AssemblyResult { Incomplete, Complete };

void resetAssembler(RecordAssembler* assembler);

// How many bytes may be read next into assembler->record + fill without passing one record.
unsigned assemblerRoom(const RecordAssembler* assembler);

// Accounts for `count` bytes just placed at record + fill. Drops every byte that cannot be the
// start of a record with `tag`, and reports the number dropped in *dropped when not null.
// Complete means record[] holds one whole record; the caller takes it and resets the assembler.
AssemblyResult assemblerAdd(RecordAssembler* assembler, unsigned count, const char* tag,
                            unsigned* dropped);
