// The two checks through which the fetching side vouches for a file. A resumed download asks
// again for the last bytes its copy already holds and compares them before it appends anything
// (the copy is of the peer's version); a finished one asks again for the file's last bytes and
// compares them with what it wrote (nothing was shifted on the way). Both are the same request
// and the same comparison. Pure code, unit-tested and fuzzed natively.
#pragma once

#include <cstdint>

// How many bytes each check compares at most: 64 KiB, 256 listing records' worth. A stream
// shifted by listing records or surplus matches only where the file's tail repeats with the
// shift's period for this whole length, and a tail that repetitive (a long run of zeros) could
// hide a shift from any length of overlap. Asking for it again costs far less than the quiet
// period that a request waits for anyway, and one buffer of it is all the checks keep.
constexpr uint32_t OVERLAP_SIZE = 65536;

// A request whose answer begins with bytes the local file already holds.
struct OverlapRequest {
    uint32_t offset;  // the offset the request asks from
    uint32_t head;    // the answer's first bytes, compared with the local file's from `offset` on
    uint32_t owed;    // the whole answer: head and the bytes still missing
};

// The request for a file listed with `listed` bytes of which the local file holds the first
// `have` (at most `listed`). To resume, have is the copy's size; to confirm a finished download,
// have equals listed and the answer is the head alone.
OverlapRequest overlapRequest(uint32_t have, uint32_t listed);

enum class HeadVerdict { Pending, Match, Differ };

// Compares an answer's head, as it arrives in pieces, with the local bytes it must repeat.
struct HeadCheck {
    const char* expected;  // the local bytes, `length` of them; kept by the caller
    uint32_t length;
    uint32_t compared;
    bool differs;
};

void startHeadCheck(HeadCheck* check, const char* expected, uint32_t length);

// Takes the next `count` bytes of the answer (at most the rest of the head). Match once every
// byte has come and was equal, Differ from the first byte that was not.
HeadVerdict compareHead(HeadCheck* check, const char* answer, uint32_t count);
