// The receiver's byte accounting and the overlap checks (core/overlap: the requests, and the
// comparison of each answer's head, in pieces of any size) against a sharer's whole conversation,
// served strictly in order: a listing (with junk in front) cut into pieces, a choice at any
// moment over a local copy of this version, of another one or none, the answer from the overlap
// offset, surplus from a file that grew, the request that confirms the end and its answer. Pauses
// are mostly shorter than the quiet period, but the listing or the surplus may pause longer. The
// receiver's pure logic runs on a simulated clock (which may wrap) with random read sizes.
// Whatever happens: the remote list holds only the listing's records, in order (and the first
// record of a file that begins exactly like one, asked for first: the price of taking the rest of
// a paused listing off the first answer); "downloaded" means the local file is the peer's file; a
// rejected download leaves the copy as it was; and a copy of this version always ends downloaded,
// however the listing paused, unless its surplus paused or its first bytes look like a record.

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "core/receive_stream.h"
#include "fuzz_check.h"

namespace {

const uint32_t QUIET = 1500;
const uint32_t TIMEOUT = 30000;

// Bytes that can never begin a record, all below 0x80.
std::string junk(FuzzedDataProvider& in, size_t most)
{
    std::string out = in.ConsumeBytesAsString(in.ConsumeIntegralInRange<size_t>(0, most));
    for (char& c : out) {
        c = static_cast<char>(c & 0x7F);
        if (c == 'F') c = 'f';
    }
    return out;
}

std::string bytesOf(size_t size, uint32_t seed)
{
    std::string out;
    uint32_t x = 2463534242u ^ seed;
    while (out.size() < size) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        out.push_back(static_cast<char>(x));
    }
    return out;
}

// What travels on the wire, by the millisecond of its arrival. The sharer sends in order: each
// piece leaves after everything sent before it.
struct Wire {
    std::multimap<uint64_t, std::string> arrivals;
    uint64_t end = 0;
    size_t pausedAt = 0;  // where in the last bytes sent the long pause fell

    // Sends `bytes` from `start` on (or after what is already sent), cut into pieces with pauses
    // below QUIET, one of them `longPause` long when that is not 0.
    void send(FuzzedDataProvider& in, const std::string& bytes, uint64_t start, uint32_t longPause)
    {
        uint64_t at = std::max(start, end);
        size_t done = 0;
        size_t pauseAt = bytes.empty() ? 0 : in.ConsumeIntegralInRange<size_t>(1, bytes.size());
        pausedAt = pauseAt;
        while (done < bytes.size()) {
            // Once the input is spent, pieces are large rather than single bytes.
            size_t piece = in.remaining_bytes() > 0 ? in.ConsumeIntegralInRange<size_t>(1, 9000) : 9000;
            if (piece > bytes.size() - done) piece = bytes.size() - done;
            if (longPause > 0 && done < pauseAt && done + piece > pauseAt) piece = pauseAt - done;
            arrivals.emplace(at, bytes.substr(done, piece));
            done += piece;
            if (done < bytes.size())
                at += longPause > 0 && done == pauseAt ? longPause : in.ConsumeIntegralInRange<uint32_t>(0, QUIET - 1);
        }
        end = at;
    }
};

enum class Outcome { None, Downloaded, OtherVersion, NotConfirmed, GivenUp };

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzedDataProvider in(data, size);
    const uint32_t clockBase = in.ConsumeIntegral<uint32_t>();

    // The sharer's side of the conversation.
    std::vector<std::string> listed;  // the texts the list shows
    std::string listing = junk(in, 40);
    const size_t junkLength = listing.size();
    unsigned entries = in.ConsumeIntegralInRange<unsigned>(1, 12);
    for (unsigned i = 0; i < entries; ++i) {
        char name[16], record[RECORD_SIZE];
        snprintf(name, sizeof name, "e%u.bin", i);
        formatRecord(RecordKind::Listing, name, in.ConsumeIntegral<uint32_t>(), record);
        listed.emplace_back(record + TAG_LENGTH);
        listing += std::string(record, RECORD_SIZE);
    }
    const uint32_t peerSize = in.ConsumeIntegralInRange<uint32_t>(1, 150000);
    std::string peerFile = bytesOf(peerSize, in.ConsumeIntegral<uint32_t>());
    char ghost[RECORD_SIZE];
    formatRecord(RecordKind::Listing, "ghost.txt", 77, ghost);
    const bool ghostFile = in.ConsumeBool();  // a file that begins exactly like a listing record
    const size_t ghostBytes = std::min<size_t>(RECORD_SIZE, peerSize);
    if (ghostFile) peerFile.replace(0, ghostBytes, ghost, ghostBytes);
    // A file that grew after it was listed: its answers run on past the listed size. The surplus
    // shares no byte value with the listing: were the listing and the surplus both to pause, each
    // leaving the same bytes to come, the first answer and the confirming one would be shifted
    // alike, which no comparison of the two can see. (Records among surplus: the unit rows.)
    std::string surplus = in.ConsumeBool() ? junk(in, 3000) + "s" : std::string();
    for (char& c : surplus) c = static_cast<char>(c | 0x80);
    const std::string served = peerFile + surplus;
    const uint32_t listingPause = in.ConsumeBool() ? in.ConsumeIntegralInRange<uint32_t>(QUIET, 3 * QUIET) : 0;
    const uint32_t surplusPause = in.ConsumeBool() ? in.ConsumeIntegralInRange<uint32_t>(QUIET, 3 * QUIET) : 0;

    // The local copy: none, a prefix of this version, or of another (a byte changed where the
    // overlap reads it).
    const uint32_t have = in.ConsumeIntegralInRange<uint32_t>(0, peerSize - 1);
    std::string copy = peerFile.substr(0, have);
    bool otherVersion = have > 0 && in.ConsumeBool();
    if (otherVersion) {
        uint32_t overlap = std::min(have, OVERLAP_SIZE);
        copy[have - 1 - in.ConsumeIntegralInRange<uint32_t>(0, overlap - 1)] ^= static_cast<char>(
            in.ConsumeIntegralInRange<int>(1, 255));
    }
    const std::string original = copy;

    Wire wire;
    wire.send(in, listing, 0, listingPause);
    const uint64_t listingEnd = wire.end;
    const bool pauseInJunk = listingPause > 0 && wire.pausedAt < junkLength;
    const uint64_t choice = in.ConsumeIntegralInRange<uint64_t>(0, listingEnd + 3000);
    uint32_t readSeed = in.ConsumeIntegral<uint32_t>();

    // The receiver and the download's owner.
    ReceiveStream stream;
    resetStream(&stream);
    std::vector<std::string> records;
    std::string file = copy;  // the local file
    char tail[OVERLAP_SIZE];
    enum { WAITING, HELD, RUNNING, CONFIRM_HELD, CONFIRMING, ENDED } state = WAITING;
    OverlapRequest request = {0, 0, 0};
    Outcome outcome = Outcome::None;
    int answers = 0;
    uint64_t lastArrival = 0, lastProgress = 0, now = 0;
    auto ticks = [&](uint64_t t) { return static_cast<uint32_t>(clockBase + t); };

    // Hands the entries collected to the list, as the receiver does when due and when the socket
    // runs dry.
    auto handOver = [&]() {
        CHECK(stream.batch.count <= BATCH_ENTRIES);
        const char* text = stream.batch.texts;
        for (unsigned i = 0; i < stream.batch.count; ++i) {
            records.emplace_back(text);
            text += records.back().size() + 1;
        }
        CHECK(static_cast<unsigned>(text - stream.batch.texts) == stream.batch.used);
        batchTaken(&stream);
    };

    // Reads what has arrived, and what the stream reads again, as the receiver does.
    auto drain = [&](const std::string& queued) {
        size_t at = 0;
        while ((at < queued.size() || stream.rereadAt < stream.rereadEnd) && state != ENDED) {
            if (batchDue(&stream)) handOver();
            ReadPlan plan = planRead(&stream);
            CHECK(plan.maxBytes > 0 && plan.maxBytes <= CHUNK_SIZE);
            readSeed = readSeed * 1103515245u + 12345u;
            unsigned count = 1 + (readSeed >> 8) % plan.maxBytes;
            char chunk[CHUNK_SIZE];
            if (plan.reread) {
                count = takeReread(&stream, chunk, count);
                CHECK(count > 0);
            } else {
                if (count > queued.size() - at) count = static_cast<unsigned>(queued.size() - at);
                memcpy(chunk, queued.data() + at, count);
                at += count;
                lastArrival = now;
            }
            if (plan.target != ReadTarget::Record && plan.target != ReadTarget::Stray) lastProgress = now;
            unsigned listedBefore = stream.batch.count;
            ReadResult result = accountRead(&stream, plan, chunk, count);
            CHECK(result.fileBytes <= count);
            // Entries come only from the listing, or from ahead of the first answer.
            if (stream.batch.count > listedBefore) CHECK(state == WAITING || state == HELD || (state == RUNNING && answers == 1));
            if (result.head == HeadVerdict::Differ) {
                CHECK(state == RUNNING || state == CONFIRMING);
                if (state == RUNNING) {
                    outcome = Outcome::OtherVersion;
                } else {
                    file = original;  // back to its size before the request
                    outcome = Outcome::NotConfirmed;
                }
                state = ENDED;
            } else if (result.head == HeadVerdict::Match && state == CONFIRMING) {
                outcome = Outcome::Downloaded;
                state = ENDED;
            }
            if (result.fileBytes > 0) {
                CHECK(state == RUNNING && stream.head.compared == stream.head.length);
                file.append(chunk, result.fileBytes);
                CHECK(file.size() <= peerSize);
                CHECK(result.fileComplete == (file.size() == peerSize));
                if (result.fileComplete) {
                    request = overlapRequest(peerSize, peerSize);
                    memcpy(tail, file.data() + request.offset, request.head);
                    state = CONFIRM_HELD;
                }
            }
        }
    };

    for (int steps = 0; steps < 200000 && state != ENDED; ++steps) {
        std::string queued;
        while (!wire.arrivals.empty() && wire.arrivals.begin()->first <= now) {
            queued += wire.arrivals.begin()->second;
            wire.arrivals.erase(wire.arrivals.begin());
        }
        drain(queued);
        handOver();
        // The socket is empty: an undecided head of the first answer may be settled.
        if (state != ENDED && settleTail(&stream, ticks(lastProgress), ticks(now), QUIET)) drain(std::string());
        handOver();

        if (state == WAITING && now >= choice) {
            request = overlapRequest(have, peerSize);
            memcpy(tail, copy.data() + request.offset, request.head);
            state = HELD;
        }
        // The socket is empty: a held request may leave.
        if ((state == HELD || state == CONFIRM_HELD) &&
            requestMayLeave(&stream, ticks(lastArrival), ticks(now), QUIET)) {
            CHECK(listingPause > 0 || now >= listingEnd + QUIET);  // never while the listing still arrives
            requestLeft(&stream, request, tail);
            state = state == HELD ? RUNNING : CONFIRMING;
            lastProgress = now;
            // The sharer answers once it has sent all it sent before.
            std::string answer = served.substr(request.offset);
            if (answers++ == 0) {
                size_t surplusAt = peerSize - request.offset;
                wire.send(in, answer.substr(0, surplusAt), now, 0);
                wire.send(in, answer.substr(surplusAt), now, surplusPause);
            } else {
                wire.send(in, answer, now, 0);
            }
        }
        bool overdue = answerOverdue(ticks(lastProgress), ticks(now), TIMEOUT);
        if (state != ENDED && !streamBetweenAnswers(&stream) && overdue) {
            outcome = Outcome::GivenUp;
            state = ENDED;
        }

        uint64_t next = UINT64_MAX;
        if (!wire.arrivals.empty()) next = wire.arrivals.begin()->first;
        if (state == WAITING) next = std::min(next, choice);
        if (state == HELD || state == CONFIRM_HELD) next = std::min(next, lastArrival + QUIET);
        if (stream.tailOpen && stream.listing.fill > stream.tailBefore) next = std::min(next, lastProgress + QUIET);
        if (!streamBetweenAnswers(&stream)) next = std::min(next, lastProgress + TIMEOUT);
        if (next == UINT64_MAX) break;
        now = std::max(now + 1, next);
    }

    // Only the listing's records, in the listing's order, never a record out of file data but the
    // first one of a file that begins like a record, asked for first.
    size_t fromListing = records.size();
    if (fromListing > 0 && ghostFile && records.back() == ghost + TAG_LENGTH) --fromListing;
    CHECK(fromListing <= listed.size());
    CHECK(std::equal(records.begin(), records.begin() + fromListing, listed.begin()));
    CHECK(records.size() - fromListing <= 1);
    switch (outcome) {
    case Outcome::Downloaded: CHECK(file == peerFile); break;
    case Outcome::OtherVersion:
    case Outcome::NotConfirmed: CHECK(file == original); break;
    case Outcome::GivenUp: CHECK(ghostFile && (have == 0 || otherVersion)); break;
    case Outcome::None: CHECK(false); break;  // every download ends one way or another
    }
    if (otherVersion) CHECK(outcome != Outcome::Downloaded);
    if (!otherVersion && !ghostFile && !pauseInJunk && surplusPause == 0) {
        CHECK(records == listed);
        CHECK(outcome == Outcome::Downloaded);
    }
    return 0;
}
