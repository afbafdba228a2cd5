// The receiver's read decision.

#include "core/receiver_plan.h"

namespace {
unsigned atMostChunk(uint32_t bytes) { return bytes < CHUNK_SIZE ? static_cast<unsigned>(bytes) : CHUNK_SIZE; }
}  // namespace

ReadPlan planReceiverRead(RecordAssembler* listing, uint32_t discardLeft, bool downloadActive,
                          uint32_t expectedSize, uint32_t receivedBytes)
{
    if (discardLeft > 0) return {ReadTarget::Discard, atMostChunk(discardLeft)};
    if (downloadActive && receivedBytes < expectedSize) {
        resetAssembler(listing);
        return {ReadTarget::FileData, atMostChunk(expectedSize - receivedBytes)};
    }
    return {ReadTarget::Record, assemblerRoom(listing)};
}
