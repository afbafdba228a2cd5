// The receiver's byte accounting: listing, an answer's head, file, or dropped.

#include "core/receive_stream.h"

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
}

ReadPlan planRead(const ReceiveStream* stream)
{
    if (stream->headLeft > 0) return {ReadTarget::Head, atMostChunk(stream->headLeft)};
    if (stream->owed > 0) return {ReadTarget::FileData, atMostChunk(stream->owed)};
    if (stream->dropLeft > 0) return {ReadTarget::Discard, atMostChunk(stream->dropLeft)};
    if (stream->listingOpen) return {ReadTarget::Record, assemblerRoom(&stream->listing)};
    return {ReadTarget::Stray, CHUNK_SIZE};
}

namespace {

void accountRecord(ReceiveStream* stream, unsigned count, ReadResult* result)
{
    count = lessOf(count, assemblerRoom(&stream->listing));
    if (assemblerAdd(&stream->listing, count, LISTING_TAG, &result->dropped) != AssemblyResult::Complete) return;
    if (stream->listed < LISTING_CAP) {
        result->recordComplete = true;
    } else {
        result->listingCapped = stream->listed == LISTING_CAP;
        result->dropped += RECORD_SIZE;
        resetAssembler(&stream->listing);
    }
    if (stream->listed != UINT32_MAX) ++stream->listed;
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
    ReadResult result = {false, false, 0, 0, false, HeadVerdict::Pending};
    if (count > plan.maxBytes) count = plan.maxBytes;  // a caller's bug must not corrupt the counts
    switch (plan.target) {
    case ReadTarget::Record: accountRecord(stream, count, &result); break;
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

void takeRecord(ReceiveStream* stream) { resetAssembler(&stream->listing); }

void requestLeft(ReceiveStream* stream, const OverlapRequest& request, const char* expected)
{
    resetAssembler(&stream->listing);
    stream->listingOpen = false;
    uint32_t head = lessOf(request.head, request.owed);
    startHeadCheck(&stream->head, expected, head);
    stream->headLeft = head;
    stream->owed = request.owed;
}

void answerAbandoned(ReceiveStream* stream)
{
    uint32_t total = stream->dropLeft + stream->owed;
    stream->dropLeft = total < stream->dropLeft ? UINT32_MAX : total;
    stream->owed = 0;
    stream->headLeft = 0;
}

bool streamBetweenAnswers(const ReceiveStream* stream) { return stream->owed == 0 && stream->dropLeft == 0; }

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
