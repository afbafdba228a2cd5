// The overlap request and the comparison of its answer's head.

#include "core/overlap.h"

#include <cstring>

OverlapRequest overlapRequest(uint32_t have, uint32_t listed)
{
    if (have > listed) have = listed;
    uint32_t head = have < OVERLAP_SIZE ? have : OVERLAP_SIZE;
    uint32_t offset = have - head;
    return {offset, head, listed - offset};
}

void startHeadCheck(HeadCheck* check, const char* expected, uint32_t length)
{
    check->expected = expected;
    check->length = length;
    check->compared = 0;
    check->differs = false;
}

HeadVerdict compareHead(HeadCheck* check, const char* answer, uint32_t count)
{
    if (check->differs) return HeadVerdict::Differ;
    uint32_t left = check->length - check->compared;
    if (count > left) count = left;
    if (count > 0 && memcmp(check->expected + check->compared, answer, count) != 0) {
        check->differs = true;
        return HeadVerdict::Differ;
    }
    check->compared += count;
    return check->compared == check->length ? HeadVerdict::Match : HeadVerdict::Pending;
}
