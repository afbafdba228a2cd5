// The receiver's byte accounting: listing, an answer's head, file, or dropped.

#include "core/receive_stream.h"

#include <cstring>

namespace {
unsigned atMostChunk(uint32_t bytes) { return bytes < CHUNK_SIZE ? static_cast<unsigned>(bytes) : CHUNK_SIZE; }

uint32_t lessOf(uint32_t a, uint32_t b) { return a < b ? a : b; }
}  // namespace

void resetStream(ReceiveStream* stream)
{
    resetAssembler(&stream->listing);
    stream->listingOpen = true;
    stream->listed = 0;
    stream->owed = 0;
    stream->headLeft = 0;
    stream->dropLeft = 0;
    startHeadCheck(&stream->head, nullptr, 0);
    stream->tailOpen = false;
    stream->tailBefore = 0;
    stream->rereadAt = 0;
    stream->rereadEnd = 0;
    batchTaken(stream);
}

namespace {

ReadPlan planTarget(const ReceiveStream* stream)
{
    if (stream->tailOpen) return {ReadTarget::Tail, CHUNK_SIZE, false};
    if (stream->headLeft > 0) return {ReadTarget::Head, atMostChunk(stream->headLeft), false};
    if (stream->owed > 0) return {ReadTarget::FileData, atMostChunk(stream->owed), false};
    if (stream->dropLeft > 0) return {ReadTarget::Discard, atMostChunk(stream->dropLeft), false};
    if (stream->listingOpen) return {ReadTarget::Record, CHUNK_SIZE, false};
    return {ReadTarget::Stray, CHUNK_SIZE, false};
}

}  // namespace

ReadPlan planRead(const ReceiveStream* stream)
{
    ReadPlan plan = planTarget(stream);
    unsigned waiting = stream->rereadEnd - stream->rereadAt;
    if (waiting > 0) {
        plan.reread = true;
        plan.maxBytes = lessOf(plan.maxBytes, waiting);
    }
    return plan;
}

unsigned takeReread(ReceiveStream* stream, char* into, unsigned count)
{
    count = lessOf(count, stream->rereadEnd - stream->rereadAt);
    memcpy(into, stream->reread + stream->rereadAt, count);
    stream->rereadAt += count;
    return count;
}

namespace {

// The whole record in the assembler goes to the batch, unless the list is full; the assembler
// starts the next one.
void recordTaken(ReceiveStream* stream, ReadResult* result)
{
    ListingBatch* batch = &stream->batch;
    RecordFields fields;
    if (stream->listed >= LISTING_CAP) {
        result->listingCapped = stream->listed == LISTING_CAP;
        result->dropped += RECORD_SIZE;
    } else if (batch->count < BATCH_ENTRIES && readRecord(stream->listing.record, &fields)) {
        memcpy(batch->texts + batch->used, fields.text, fields.textLength);
        batch->used += static_cast<unsigned>(fields.textLength);
        batch->texts[batch->used++] = 0;
        ++batch->count;
    }
    if (stream->listed != UINT32_MAX) ++stream->listed;
    resetAssembler(&stream->listing);
    stream->tailBefore = 0;
}

// Moves the next bytes of `data` into the assembler, as many as it has room for; returns how many.
unsigned fillAssembler(ReceiveStream* stream, const char* data, unsigned count)
{
    unsigned take = lessOf(count, assemblerRoom(&stream->listing));
    memcpy(stream->listing.record + stream->listing.fill, data, take);
    return take;
}

void accountRecords(ReceiveStream* stream, const char* data, unsigned count, ReadResult* result)
{
    while (count > 0) {
        unsigned take = fillAssembler(stream, data, count);
        data += take;
        count -= take;
        unsigned dropped = 0;
        if (assemblerAdd(&stream->listing, take, LISTING_TAG, &dropped) == AssemblyResult::Complete)
            recordTaken(stream, result);
        result->dropped += dropped;
    }
}

// The block in the assembler is the answer's start: what of it came before the request is
// dropped, the rest of it and the `count` bytes of `rest` that followed it are read again as the
// answer. Returns the bytes dropped.
unsigned tailIsAnswer(ReceiveStream* stream, const char* rest, unsigned count)
{
    unsigned before = stream->tailBefore;
    unsigned after = stream->listing.fill - before;
    memcpy(stream->reread, stream->listing.record + before, after);
    if (count > 0) memcpy(stream->reread + after, rest, count);
    stream->rereadAt = 0;
    stream->rereadEnd = after + count;
    stream->tailOpen = false;
    stream->tailBefore = 0;
    resetAssembler(&stream->listing);
    return before;
}

enum class TailBlock { Undecided, Record, Answer };

TailBlock judgeTailBlock(const ReceiveStream* stream)
{
    const char* block = stream->listing.record;
    unsigned fill = stream->listing.fill;
    RecordShape shape = listingRecordShape(block, fill);
    if (shape == RecordShape::NotRecord) return TailBlock::Answer;
    // A block that begins as the answer must, with the bytes of the local copy, is taken for the
    // answer even where it has a record's shape: only a copy that holds that very record could tell.
    const HeadCheck& head = stream->head;
    bool mayBeAnswer = stream->tailBefore == 0 && head.length > 0 &&
                       memcmp(block, head.expected, lessOf(fill, head.length)) == 0;
    if (shape == RecordShape::Whole) return mayBeAnswer ? TailBlock::Answer : TailBlock::Record;
    return TailBlock::Undecided;
}

// Block by block, while the blocks are records; the first that is not starts the answer, and the
// rest of the read after it is the answer's too.
void accountTail(ReceiveStream* stream, const char* data, unsigned count, ReadResult* result)
{
    while (count > 0) {
        unsigned take = fillAssembler(stream, data, count);
        stream->listing.fill += take;
        data += take;
        count -= take;
        switch (judgeTailBlock(stream)) {
        case TailBlock::Undecided: break;  // the block waits for bytes still to come
        case TailBlock::Record: recordTaken(stream, result); break;
        case TailBlock::Answer: result->dropped += tailIsAnswer(stream, data, count); return;
        }
    }
}

void accountHead(ReceiveStream* stream, const char* data, unsigned count, ReadResult* result)
{
    count = lessOf(count, stream->headLeft);
    HeadVerdict verdict = compareHead(&stream->head, data, count);
    stream->headLeft -= count;
    stream->owed -= count;
    if (verdict == HeadVerdict::Differ) {
        // Another version, or a shifted stream: nothing of this answer may reach the file.
        result->dropped = count;
        stream->dropLeft = stream->owed;
        stream->owed = 0;
        stream->headLeft = 0;
    }
    if (verdict != HeadVerdict::Pending) result->head = verdict;
}

}  // namespace

ReadResult accountRead(ReceiveStream* stream, const ReadPlan& plan, const char* data, unsigned count)
{
    ReadResult result = {false, 0, 0, false, HeadVerdict::Pending};
    if (count > plan.maxBytes) count = plan.maxBytes;  // a caller's bug must not corrupt the counts
    switch (plan.target) {
    case ReadTarget::Record: accountRecords(stream, data, count, &result); break;
    case ReadTarget::Tail: accountTail(stream, data, count, &result); break;
    case ReadTarget::Head: accountHead(stream, data, count, &result); break;
    case ReadTarget::FileData:
        count = lessOf(count, stream->owed - stream->headLeft);
        stream->owed -= count;
        result.fileBytes = count;
        result.fileComplete = count > 0 && stream->owed == 0;
        break;
    case ReadTarget::Discard:
        count = lessOf(count, stream->dropLeft);
        stream->dropLeft -= count;
        result.dropped = count;
        break;
    case ReadTarget::Stray: result.dropped = count; break;
    }
    return result;
}

bool batchDue(const ReceiveStream* stream) { return stream->batch.count >= BATCH_DUE; }

void batchTaken(ReceiveStream* stream)
{
    stream->batch.used = 0;
    stream->batch.count = 0;
}

void requestLeft(ReceiveStream* stream, const OverlapRequest& request, const char* expected)
{
    // The first request: the record being collected may be finished by bytes still to come.
    stream->tailOpen = stream->listingOpen;
    stream->tailBefore = stream->tailOpen ? stream->listing.fill : 0;
    if (!stream->tailOpen) resetAssembler(&stream->listing);
    stream->listingOpen = false;
    uint32_t head = lessOf(request.head, request.owed);
    startHeadCheck(&stream->head, expected, head);
    stream->headLeft = head;
    stream->owed = request.owed;
}

void answerAbandoned(ReceiveStream* stream)
{
    if (stream->tailOpen) tailIsAnswer(stream, nullptr, 0);
    uint32_t total = stream->dropLeft + stream->owed;
    stream->dropLeft = total < stream->dropLeft ? UINT32_MAX : total;
    stream->owed = 0;
    stream->headLeft = 0;
}

bool settleTail(ReceiveStream* stream, uint32_t since, uint32_t now, uint32_t quietPeriod)
{
    if (!stream->tailOpen || stream->listing.fill <= stream->tailBefore || ticksBetween(since, now) < quietPeriod)
        return false;
    tailIsAnswer(stream, nullptr, 0);
    return true;
}

bool streamBetweenAnswers(const ReceiveStream* stream)
{
    return stream->owed == 0 && stream->dropLeft == 0 && !stream->tailOpen && stream->rereadAt == stream->rereadEnd;
}

bool rejectedAnswerTooLong(const ReceiveStream* stream) { return stream->dropLeft > OVERLAP_SIZE; }

uint32_t ticksBetween(uint32_t then, uint32_t now)
{
    uint32_t elapsed = now - then;
    return elapsed > 0x80000000u ? 0 : elapsed;
}

bool requestMayLeave(const ReceiveStream* stream, uint32_t lastArrival, uint32_t now, uint32_t quietPeriod)
{
    return streamBetweenAnswers(stream) && ticksBetween(lastArrival, now) >= quietPeriod;
}

bool answerOverdue(uint32_t lastProgress, uint32_t now, uint32_t timeout)
{
    return ticksBetween(lastProgress, now) >= timeout;
}
