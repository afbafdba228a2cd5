// The receiver's byte accounting: listing, file, or dropped.

#include "core/receive_stream.h"

namespace {
unsigned atMostChunk(uint32_t bytes) { return bytes < CHUNK_SIZE ? static_cast<unsigned>(bytes) : CHUNK_SIZE; }
}  // namespace

void resetStream(ReceiveStream* stream)
{
    resetAssembler(&stream->listing);
    stream->owed = 0;
    stream->dropLeft = 0;
}

ReadPlan planRead(const ReceiveStream* stream)
{
    if (stream->owed > 0) return {ReadTarget::FileData, atMostChunk(stream->owed)};
    if (stream->dropLeft > 0) return {ReadTarget::Discard, atMostChunk(stream->dropLeft)};
    return {ReadTarget::Record, assemblerRoom(&stream->listing)};
}

ReadResult accountRead(ReceiveStream* stream, const ReadPlan& plan, unsigned count)
{
    ReadResult result = {false, 0, 0, false};
    if (count > plan.maxBytes) count = plan.maxBytes;  // a caller's bug must not corrupt the counts
    switch (plan.target) {
    case ReadTarget::FileData:
        if (count > stream->owed) count = stream->owed;
        stream->owed -= count;
        result.fileBytes = count;
        result.fileComplete = count > 0 && stream->owed == 0;
        break;
    case ReadTarget::Discard:
        if (count > stream->dropLeft) count = stream->dropLeft;
        stream->dropLeft -= count;
        result.dropped = count;
        break;
    case ReadTarget::Record:
        if (count > assemblerRoom(&stream->listing)) count = assemblerRoom(&stream->listing);
        result.recordComplete =
            assemblerAdd(&stream->listing, count, LISTING_TAG, &result.dropped) == AssemblyResult::Complete;
        break;
    }
    return result;
}

void takeRecord(ReceiveStream* stream) { resetAssembler(&stream->listing); }

void requestLeft(ReceiveStream* stream, uint32_t missing)
{
    resetAssembler(&stream->listing);
    stream->dropLeft = 0;
    stream->owed = missing;
}

void answerAbandoned(ReceiveStream* stream)
{
    // What an earlier ended answer still owed comes before this one's rest.
    uint32_t total = stream->dropLeft + stream->owed;
    stream->dropLeft = total < stream->dropLeft ? 0xFFFFFFFFu : total;
    stream->owed = 0;
}

bool streamBetweenAnswers(const ReceiveStream* stream) { return stream->owed == 0; }

uint32_t ticksBetween(uint32_t then, uint32_t now) { return now - then; }

bool requestMayLeave(const ReceiveStream* stream, uint32_t lastArrival, uint32_t now, uint32_t quietPeriod)
{
    return streamBetweenAnswers(stream) && ticksBetween(lastArrival, now) >= quietPeriod;
}

bool answerOverdue(uint32_t lastProgress, uint32_t now, uint32_t timeout)
{
    return ticksBetween(lastProgress, now) >= timeout;
}
