// The overlap request and the head comparison on their own: any sizes, any answer cut into any
// pieces. The request never asks past what is held or listed, its head is what is held of the
// last OVERLAP_SIZE bytes, and the verdict is the plain comparison of the whole head, whatever
// the pieces.

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "core/overlap.h"
#include "fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzedDataProvider in(data, size);
    uint32_t listed = in.ConsumeIntegral<uint32_t>();
    uint32_t have = in.ConsumeIntegral<uint32_t>();
    OverlapRequest request = overlapRequest(have, listed);
    uint32_t held = have < listed ? have : listed;
    CHECK(request.offset <= held && request.offset + request.head == held);
    CHECK(request.head == (held < OVERLAP_SIZE ? held : OVERLAP_SIZE));
    CHECK(request.owed == listed - request.offset && request.owed >= request.head);

    std::string expected = in.ConsumeBytesAsString(in.ConsumeIntegralInRange<size_t>(0, 600));
    std::string answer = expected;
    if (!answer.empty() && in.ConsumeBool())
        answer[in.ConsumeIntegralInRange<size_t>(0, answer.size() - 1)] ^= static_cast<char>(in.ConsumeIntegralInRange<int>(1, 255));
    answer += in.ConsumeBytesAsString(in.ConsumeIntegralInRange<size_t>(0, 50));  // what follows the head
    HeadCheck check;
    startHeadCheck(&check, expected.data(), static_cast<uint32_t>(expected.size()));
    HeadVerdict verdict = expected.empty() ? HeadVerdict::Match : HeadVerdict::Pending;
    size_t at = 0;
    while (at < expected.size()) {
        size_t piece = in.ConsumeIntegralInRange<size_t>(0, answer.size() - at);
        HeadVerdict next = compareHead(&check, answer.data() + at, static_cast<uint32_t>(piece));
        CHECK(verdict != HeadVerdict::Differ || next == HeadVerdict::Differ);  // a difference stays
        verdict = next;
        if (verdict != HeadVerdict::Pending || in.remaining_bytes() == 0) break;
        at += piece;
    }
    bool equal = memcmp(expected.data(), answer.data(), expected.size()) == 0;
    if (verdict == HeadVerdict::Match) CHECK(equal);
    if (verdict == HeadVerdict::Differ) CHECK(!equal);
    return 0;
}
