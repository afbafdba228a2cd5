// What the receiver reads next from the head of the stream. The stream has no framing, so the
// decision comes from the receiver's state only, never from what the bytes look like. Pure code.
#pragma once

#include <cstdint>

#include "core/records.h"

enum class ReadTarget {
    Record,    // a listing record: into the assembler, which drops bytes that cannot start one
    FileData,  // the active download: into the local file
    Discard,   // the rest of a download that was abandoned: read off and dropped
};

struct ReadPlan {
    ReadTarget target;
    unsigned maxBytes;
};

// `discardLeft`: bytes of an abandoned download still due from the peer. A download never takes
// more than its missing bytes. A record still incomplete when a download is active is dropped
// from `listing`: its bytes came before the request, and what follows now is the file.
ReadPlan planReceiverRead(RecordAssembler* listing, uint32_t discardLeft, bool downloadActive,
                          uint32_t expectedSize, uint32_t receivedBytes);
