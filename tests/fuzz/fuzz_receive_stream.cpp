// The receiver's byte accounting against a sharer's whole conversation: a listing (with junk in
// front) cut into pieces and pauses shorter than the quiet period, a choice at any moment, the
// answer from a resume offset followed by surplus, or no answer at all, or one that comes after
// the download was given up, then a second choice and its file. The receiver's pure logic runs
// on a simulated clock (which may wrap) with random read sizes; the listed records and both
// files must come out exactly as the sharer meant them.

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "core/receive_stream.h"
#include "fuzz_check.h"


namespace {

const uint32_t QUIET = 1500;
const uint32_t TIMEOUT = 30000;

// Bytes that can never begin a record, so junk and surplus are dropped by the assembler.
std::string junk(FuzzedDataProvider& in, size_t most)
{
    std::string out = in.ConsumeBytesAsString(in.ConsumeIntegralInRange<size_t>(0, most));
    for (char& c : out)
        if (c == 'F') c = 'f';
    return out;
}

std::string fileContent(FuzzedDataProvider& in, const char* seed)
{
    size_t size = in.ConsumeIntegralInRange<size_t>(1, 3000);
    std::string out;
    // Sometimes the file begins exactly like a listing record, as this program writes one.
    if (in.ConsumeBool()) {
        char record[RECORD_SIZE];
        formatRecord(RecordKind::Listing, seed, 77, record);
        out.assign(record, RECORD_SIZE);
    }
    uint32_t x = 2463534242u ^ static_cast<uint32_t>(size);
    while (out.size() < size) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        out.push_back(static_cast<char>(x));
    }
    out.resize(size);
    return out;
}

// What travels on the wire, by the (relative) millisecond of its arrival.
struct Wire {
    std::multimap<uint64_t, std::string> arrivals;

    // Cuts `bytes` into pieces sent from `start` on, with pauses below `maxPause`; returns the
    // time of the last piece.
    uint64_t send(FuzzedDataProvider& in, const std::string& bytes, uint64_t start, uint32_t maxPause)
    {
        uint64_t at = start;
        size_t done = 0;
        while (done < bytes.size()) {
            size_t piece = in.ConsumeIntegralInRange<size_t>(1, 700);
            if (piece > bytes.size() - done) piece = bytes.size() - done;
            arrivals.emplace(at, bytes.substr(done, piece));
            done += piece;
            if (done < bytes.size()) at += in.ConsumeIntegralInRange<uint32_t>(0, maxPause - 1);
        }
        return at;
    }
};

enum class Answer { Normal, Never, Late };

struct Download {
    std::string file;  // what the receiver wrote
    uint32_t missing = 0;
    bool running = false;
    bool done = false;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzedDataProvider in(data, size);
    const uint32_t clockBase = in.ConsumeIntegral<uint32_t>();

    // The sharer's side of the conversation.
    std::vector<std::string> listed;
    std::string listing = junk(in, 40);
    unsigned entries = in.ConsumeIntegralInRange<unsigned>(0, 12);
    for (unsigned i = 0; i < entries; ++i) {
        char name[16], record[RECORD_SIZE];
        snprintf(name, sizeof name, "e%u.bin", i);
        formatRecord(RecordKind::Listing, name, in.ConsumeIntegral<uint32_t>(), record);
        listed.emplace_back(record, RECORD_SIZE);
        listing += listed.back();
    }
    const std::string file1 = fileContent(in, "ghost.txt");
    const uint32_t offset1 = in.ConsumeIntegralInRange<uint32_t>(0, static_cast<uint32_t>(file1.size() - 1));
    const std::string surplus = junk(in, 600);
    const Answer answer1 = static_cast<Answer>(in.ConsumeIntegralInRange<int>(0, 2));
    const std::string file2 = fileContent(in, "other.txt");

    Wire wire;
    uint64_t listingEnd = wire.send(in, listing, 0, QUIET);
    uint64_t choice1 = in.ConsumeIntegralInRange<uint64_t>(0, listingEnd + 3000);
    uint32_t readSeed = in.ConsumeIntegral<uint32_t>();

    // The receiver.
    ReceiveStream stream;
    resetStream(&stream);
    std::vector<std::string> records;
    Download downloads[2];
    int current = -1;        // the download chosen last
    bool held = false;
    uint64_t choice2 = UINT64_MAX;
    uint64_t lastArrival = 0, lastProgress = 0;
    uint64_t now = 0;
    size_t readCount = 0;

    auto ticks = [&](uint64_t t) { return static_cast<uint32_t>(clockBase + t); };

    for (int steps = 0; steps < 100000; ++steps) {
        // Everything that has arrived by now is read, in reads of random sizes.
        std::string queued;
        while (!wire.arrivals.empty() && wire.arrivals.begin()->first <= now) {
            queued += wire.arrivals.begin()->second;
            wire.arrivals.erase(wire.arrivals.begin());
        }
        size_t at = 0;
        while (at < queued.size()) {
            ReadPlan plan = planRead(&stream);
            CHECK(plan.maxBytes > 0 && plan.maxBytes <= CHUNK_SIZE);
            readSeed = readSeed * 1103515245u + 12345u;
            unsigned count = 1 + (readSeed >> 8) % plan.maxBytes;
            if (count > queued.size() - at) count = static_cast<unsigned>(queued.size() - at);
            char chunk[CHUNK_SIZE];
            char* into = plan.target == ReadTarget::Record ? stream.listing.record + stream.listing.fill : chunk;
            if (plan.target == ReadTarget::Record) CHECK(stream.listing.fill + count <= RECORD_SIZE);
            unsigned heldBefore = stream.listing.fill;
            memcpy(into, queued.data() + at, count);
            at += count;
            ++readCount;
            lastArrival = now;
            ReadResult result = accountRead(&stream, plan, count);
            CHECK(result.fileBytes + result.dropped <= count + heldBefore);
            if (result.recordComplete) {
                records.emplace_back(stream.listing.record, RECORD_SIZE);
                takeRecord(&stream);
            }
            if (result.fileBytes > 0) {
                CHECK(current >= 0 && downloads[current].running);
                downloads[current].file.append(chunk, result.fileBytes);
                lastProgress = now;
                if (result.fileComplete) {
                    downloads[current].running = false;
                    downloads[current].done = true;
                    if (current == 0) choice2 = now + in.ConsumeIntegralInRange<uint32_t>(0, 3000);
                }
            }
        }

        // The user chooses.
        if (current < 0 && now >= choice1) {
            current = 0;
            held = true;
            downloads[0].missing = static_cast<uint32_t>(file1.size() - offset1);
        }
        if (current == 0 && !downloads[0].running && now >= choice2) {
            current = 1;
            held = true;
            downloads[1].missing = static_cast<uint32_t>(file2.size());
        }
        // The socket is empty: a held request may leave, a silent answer be given up.
        if (held && requestMayLeave(&stream, ticks(lastArrival), ticks(now), QUIET)) {
            CHECK(now >= listingEnd + QUIET);  // never while the listing still arrives
            held = false;
            requestLeft(&stream, downloads[current].missing);
            downloads[current].running = true;
            lastProgress = now;
            // The sharer answers after its listing, which has ended by now.
            if (current == 1) {
                wire.send(in, file2, now + in.ConsumeIntegralInRange<uint32_t>(0, 5000), 5000);
            } else if (answer1 == Answer::Normal) {
                uint64_t last =
                    wire.send(in, file1.substr(offset1), now + in.ConsumeIntegralInRange<uint32_t>(0, 20000), 20000);
                wire.send(in, surplus, last, QUIET);
            }
        } else if (current >= 0 && downloads[current].running &&
                   answerOverdue(ticks(lastProgress), ticks(now), TIMEOUT)) {
            CHECK(current == 0 && answer1 != Answer::Normal);
            answerAbandoned(&stream);
            downloads[0].running = false;
            // The quiet is counted from the moment the download was given up, too.
            lastArrival = now;
            if (answer1 == Answer::Late)
                wire.send(in, file1.substr(offset1) + surplus, now + in.ConsumeIntegralInRange<uint32_t>(0, QUIET - 1),
                          QUIET);
            choice2 = now + in.ConsumeIntegralInRange<uint32_t>(0, 3000);
        }
        if (downloads[1].done && wire.arrivals.empty()) break;
        if (current == 0 && answer1 != Answer::Normal && downloads[1].done) break;

        // Next moment anything can happen.
        uint64_t next = UINT64_MAX;
        if (!wire.arrivals.empty()) next = wire.arrivals.begin()->first;
        if (current < 0) next = std::min(next, choice1);
        if (current == 0 && !downloads[0].running && choice2 != UINT64_MAX) next = std::min(next, choice2);
        if (held) next = std::min(next, lastArrival + QUIET);
        if (current >= 0 && downloads[current].running) next = std::min(next, lastProgress + TIMEOUT);
        if (next == UINT64_MAX) break;
        now = std::max(now + 1, next);
    }

    CHECK(records == listed);
    CHECK(downloads[1].done);
    CHECK(downloads[1].file == file2);
    if (answer1 == Answer::Normal) {
        CHECK(downloads[0].done);
        CHECK(downloads[0].file == file1.substr(offset1));
    } else {
        CHECK(!downloads[0].done);
        CHECK(downloads[0].file.empty());
    }
    (void)readCount;
    return 0;
}
