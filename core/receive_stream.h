// The receiver's byte accounting for the fetching side's one connection. The stream has no
// framing, so where each byte goes comes from the receiver's own state: until the first request
// has left, everything is listing; after it, each answer is counted exactly (its head compared
// with the local copy, the rest to the file), what an ended or rejected answer still owes is
// counted off and dropped, and whatever no answer owes is dropped. The one place where the bytes'
// look counts is the head of the connection's first answer: a listing that paused while the first
// request waited may still be on its way, and the blocks there that have a listing record's exact
// shape are the rest of it. Pure code, so it is unit-tested and fuzzed natively.
#pragma once

#include <cstdint>

#include "core/overlap.h"
#include "core/records.h"

// The listing records one connection may add to the remote list. Each one is a sorted insert on
// the user-interface thread and a line of the list, so a peer that lists without end (or repeats
// its records) must stop somewhere; 65,536 entries is more than a person reads through in one
// list, and holds the list to a few MiB.
constexpr uint32_t LISTING_CAP = 65536;

// Listing entries on their way to the remote list, handed over many at a time (one sorted insert
// each, with the list's drawing off): each is a record's text, as the list shows it,
// zero-terminated, one after the other. The receiver hands a batch over whenever the socket runs
// dry and whenever it is due: a due batch still has room for every record one read can complete.
constexpr unsigned BATCH_ENTRIES = 256;
constexpr unsigned BATCH_DUE = BATCH_ENTRIES - CHUNK_SIZE / RECORD_SIZE - 1;
struct ListingBatch {
    char texts[BATCH_ENTRIES * RECORD_SIZE];  // a record's text and its zero always fit in RECORD_SIZE
    unsigned used;                            // bytes of texts
    unsigned count;                           // entries
};

enum class ReadTarget {
    Record,    // listing, many records a read: what cannot start a record is dropped
    Tail,      // the first answer's head, which may still be the rest of the listing
    Head,      // an answer's first bytes: compared with the local copy, never written
    FileData,  // the requested file: into the local file
    Discard,   // the rest of an ended or rejected answer: counted off and dropped
    Stray,     // bytes no answer owes, once the listing has ended: dropped
};

struct ReadPlan {
    ReadTarget target;
    unsigned maxBytes;  // never 0, never more than CHUNK_SIZE, never past a head or an answer
    bool reread;        // the bytes come from the stream's own reread buffer (takeReread), not the socket
};

// The receiver's own state, kept by its thread alone.
struct ReceiveStream {
    RecordAssembler listing;  // the listing record being collected
    ListingBatch batch;       // whole records' texts not yet handed to the list
    bool listingOpen;         // until the first request leaves
    uint32_t listed;          // listing records taken so far (counted on past LISTING_CAP, saturating)
    uint32_t owed;            // bytes of the current answer still to come, its head included
    uint32_t headLeft;        // of them, the first ones still to compare
    uint32_t dropLeft;        // bytes of an ended or rejected answer still to come
    HeadCheck head;
    bool tailOpen;            // the first answer has not begun: a listing record may still come first
    unsigned tailBefore;      // of the block in the assembler, the bytes that came before the request
    // A block that proved to be the answer's start, not a record, and the rest of the read it came
    // in: these bytes are read again as the answer.
    char reread[RECORD_SIZE + CHUNK_SIZE];
    unsigned rereadAt;
    unsigned rereadEnd;
};

// What one read brought, once accounted for.
struct ReadResult {
    bool listingCapped;   // the first record past LISTING_CAP was dropped (later ones drop silently)
    unsigned fileBytes;   // bytes of the read that belong to the file
    unsigned dropped;     // bytes of the read that were dropped
    bool fileComplete;    // the last byte owed to the file was in this read
    HeadVerdict head;     // Pending unless this read ended the head: Match, or Differ (the rest is counted off)
};

void resetStream(ReceiveStream* stream);

// Where the next read goes and how many bytes it may take at most, into a chunk buffer of
// CHUNK_SIZE. A batch that is due must have been handed over first.
ReadPlan planRead(const ReceiveStream* stream);

// For a plan with reread set: copies the next `count` bytes of the reread buffer into `into`
// instead of a read from the socket; returns how many.
unsigned takeReread(ReceiveStream* stream, char* into, unsigned count);

// Accounts for `count` bytes (at most plan.maxBytes) just read as `plan` said, into `data`.
ReadResult accountRead(ReceiveStream* stream, const ReadPlan& plan, const char* data, unsigned count);

// True when the batch must be handed over before the next read.
bool batchDue(const ReceiveStream* stream);

// After the batch's entries have been handed to the list: it starts empty.
void batchTaken(ReceiveStream* stream);

// The request has left, whole: the next request.owed bytes are its answer, of which the first
// request.head are compared with `expected` (kept by the caller until the answer has come). The
// listing ends here. Before the first answer, though, whole blocks of a listing record's exact
// shape (a record cut by the request included) are still taken as listing, unless the block
// repeats the local bytes that the answer must begin with.
void requestLeft(ReceiveStream* stream, const OverlapRequest& request, const char* expected);

// A block at the head of the first answer that may still be either a record or the answer's start
// (a short file whose bytes could begin a record), with bytes that came after the request and
// nothing more for `quietPeriod` ms since `since`: it is the answer's start, as a record's bytes
// come back to back. A record cut before the request waits for its rest, which comes before any
// answer. True when that was decided now.
bool settleTail(ReceiveStream* stream, uint32_t since, uint32_t now, uint32_t quietPeriod);

// The download ended before its answer did (a failed write): whatever of the answer still comes
// is counted off and dropped, never written anywhere.
void answerAbandoned(ReceiveStream* stream);

// True when nothing of any answer is due, so a held request may leave once the line is quiet.
bool streamBetweenAnswers(const ReceiveStream* stream);

// A rejected answer (another version, or a failed write) that still owes more than OVERLAP_SIZE:
// reading the rest would hold the line for as long as the peer takes to send it, so the
// connection is ended instead.
bool rejectedAnswerTooLong(const ReceiveStream* stream);

// Milliseconds from `then` to `now` on a 32-bit millisecond counter that wraps. A `then` later
// than `now` (a stamp taken after the clock was read) counts as 0.
uint32_t ticksBetween(uint32_t then, uint32_t now);

// A held request leaves only once nothing is due and nothing has arrived for `quietPeriod` ms
// (and nothing is queued, which the caller knows from its socket): the listing has no end marker,
// and an answer has no length on the wire, so a request sent while either still arrives would
// have those bytes taken for its answer.
bool requestMayLeave(const ReceiveStream* stream, uint32_t lastArrival, uint32_t now, uint32_t quietPeriod);

// An answer whose bytes have not moved for `timeout` ms is given up.
bool answerOverdue(uint32_t lastProgress, uint32_t now, uint32_t timeout);
