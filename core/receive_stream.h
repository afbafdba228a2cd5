// The receiver's byte accounting for the fetching side's one connection. The stream has no
// framing, so where each byte goes comes from the receiver's own state only, never from what the
// bytes look like: until a request has left, everything is listing; once it has left, exactly the
// missing bytes of the requested file go to the file; what an ended download still owed is read
// off and dropped. Pure code, so it is unit-tested and fuzzed natively.
#pragma once

#include <cstdint>

#include "core/records.h"

enum class ReadTarget {
    Record,    // listing: into the assembler, which drops bytes that cannot start a record
    FileData,  // the requested file: into the local file
    Discard,   // the rest of an answer whose download has ended: read off and dropped
};

struct ReadPlan {
    ReadTarget target;
    unsigned maxBytes;  // never 0, never more than CHUNK_SIZE, never past a record or the file's end
};

// The receiver's own state, kept by its thread alone.
struct ReceiveStream {
    RecordAssembler listing;  // the listing record being collected
    uint32_t owed;            // bytes of the requested file still to come (0: no answer due)
    uint32_t dropLeft;        // bytes of an ended download's answer that may still come
};

// What one read brought, once accounted for.
struct ReadResult {
    bool recordComplete;  // listing.record holds a whole record: take it, then call takeRecord
    unsigned fileBytes;   // bytes of the read that belong to the file
    unsigned dropped;     // bytes of the read that were dropped (junk, or an ended answer)
    bool fileComplete;    // the last byte owed to the file was in this read
};

void resetStream(ReceiveStream* stream);

// Where the next read goes and how many bytes it may take at most. For Record the bytes go to
// stream->listing.record + stream->listing.fill; otherwise into a chunk buffer of CHUNK_SIZE.
ReadPlan planRead(const ReceiveStream* stream);

// Accounts for `count` bytes (at most plan.maxBytes) just read as `plan` said.
ReadResult accountRead(ReceiveStream* stream, const ReadPlan& plan, unsigned count);

// After a completed record has been taken: the assembler starts the next one.
void takeRecord(ReceiveStream* stream);

// The request has left, whole: from now on the next `missing` bytes are the file's. A listing
// record still incomplete is dropped, and an ended answer's rest is no longer looked for: after
// the quiet that let the request leave, what comes is this request's answer.
void requestLeft(ReceiveStream* stream, uint32_t missing);

// The download ended before its answer did (a failed write, no answer in time): whatever of the
// answer still comes is read off and dropped, never written anywhere.
void answerAbandoned(ReceiveStream* stream);

// True when nothing of an answer is due, so a held request may leave once the line is quiet.
bool streamBetweenAnswers(const ReceiveStream* stream);

// Milliseconds from `then` to `now` on a 32-bit millisecond counter that wraps.
uint32_t ticksBetween(uint32_t then, uint32_t now);

// A held request leaves only once nothing has arrived for `quietPeriod` ms (and nothing is
// queued, which the caller knows from its socket): the listing has no end marker, and a request
// sent while it still arrives would have the rest of the listing taken for the file.
bool requestMayLeave(const ReceiveStream* stream, uint32_t lastArrival, uint32_t now, uint32_t quietPeriod);

// A download whose answer has not moved for `timeout` ms is given up.
bool answerOverdue(uint32_t lastProgress, uint32_t now, uint32_t timeout);
