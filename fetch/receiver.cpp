// ReceiverWorker. It reads by its own state (core/receive_stream): until a request has left,
// every byte is listing; after it, exactly the file's missing bytes go to the file, whatever
// they look like; what an ended download still owed is dropped. It is also the thread that
// sends the request, because it alone knows when the last byte arrived.

#include "fetch/receiver.h"

#include <cstdlib>

#include "app/app_state.h"
#include "app/ids.h"
#include "app/status_title.h"
#include "core/receive_stream.h"
#include "fetch/download.h"

namespace {

// A held request leaves once nothing has arrived for this long. The listing has no end marker,
// and a sharer sends its records back to back, so inside one listing a gap this long means a
// lost segment retransmitted more than once; yet a choice made after the listing has ended is
// not held at all, since the quiet is counted from the last byte, not from the choice.
const DWORD QUIET_PERIOD_MS = 1500;

// A download gives up when nothing of its file has come for this long: well beyond a
// sharer opening a large file or a link pausing for a few seconds, and short enough that a
// user who chose an entry the peer will never serve is told within half a minute. A request
// that could not leave for as long (the peer never stops sending) is given back too.
const DWORD ANSWER_TIMEOUT_MS = 30000;

// How long the request may take to leave whole before the connection is given up.
const DWORD REQUEST_SEND_LIMIT_MS = 10000;

// How often an idle receiver looks at its clocks.
const long IDLE_WAIT_MS = 100;

struct ReceiverStart {
    SOCKET socket;
    DWORD answerTimeout;
};

// The tests set CALDERVINE_ANSWER_TIMEOUT_MS (milliseconds) to wait less for a peer that never
// answers; any other value, or none, leaves the real period.
DWORD answerTimeoutFromEnvironment()
{
    char text[32];
    DWORD length = GetEnvironmentVariableA("CALDERVINE_ANSWER_TIMEOUT_MS", text, sizeof text);
    if (length == 0 || length >= sizeof text) return ANSWER_TIMEOUT_MS;
    char* end = nullptr;
    unsigned long value = strtoul(text, &end, 10);
    if (end == text || *end != 0 || value == 0 || value > 3600000ul) return ANSWER_TIMEOUT_MS;
    return static_cast<DWORD>(value);
}

void waitReadable(SOCKET socket, long milliseconds)
{
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(socket, &readable);
    timeval wait = {0, milliseconds * 1000};
    if (select(0, &readable, nullptr, nullptr, &wait) == SOCKET_ERROR) Sleep(static_cast<DWORD>(milliseconds));
}

// Waits for room to send, at most `milliseconds`.
void waitWritable(SOCKET socket, DWORD milliseconds)
{
    fd_set writable;
    FD_ZERO(&writable);
    FD_SET(socket, &writable);
    timeval wait = {static_cast<long>(milliseconds / 1000), static_cast<long>(milliseconds % 1000) * 1000};
    if (select(0, nullptr, &writable, nullptr, &wait) == SOCKET_ERROR) Sleep(10);
}

void addListingEntry(const char record[RECORD_SIZE])
{
    RecordFields fields;
    if (!readRecord(record, &fields)) return;
    char entry[RECORD_SIZE];
    CopyMemory(entry, fields.text, fields.textLength);
    entry[fields.textLength] = 0;
    SendMessageA(app.remoteList, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(entry));
}

// Sends the whole record on the non-blocking socket within REQUEST_SEND_LIMIT_MS. A request that
// cannot leave whole ends the connection: the sharer would otherwise read every later request
// shifted, or wait for the rest of this one for ever.
RequestSend sendRequestWhole(SOCKET socket, const char record[RECORD_SIZE])
{
    unsigned sent = 0;
    DWORD started = GetTickCount();
    while (sent < RECORD_SIZE) {
        int result = send(socket, record + sent, static_cast<int>(RECORD_SIZE - sent), 0);
        if (result > 0) {
            sent += static_cast<unsigned>(result);
            continue;
        }
        DWORD waited = GetTickCount() - started;
        if (result == SOCKET_ERROR && WSAGetLastError() == WSAEWOULDBLOCK && waited < REQUEST_SEND_LIMIT_MS) {
            waitWritable(socket, REQUEST_SEND_LIMIT_MS - waited);
            continue;
        }
        break;
    }
    if (sent == RECORD_SIZE) return RequestSend::Whole;
    shutdown(socket, SD_BOTH);
    return sent == 0 ? RequestSend::NotSent : RequestSend::Partly;
}

// Under Wine a socket whose close is watched makes the wineserver peek at it whenever data
// arrives, to tell data from the close: work on every chunk. While a file streams in, this thread
// reads without pause and sees the close itself, so the watch is off from the request's leaving
// until the download ends; it is back on before any message this thread shows, since the thread
// reads nothing while one shows. A close that came meanwhile is reported when the watch resumes.
void watchClose(SOCKET socket, bool on)
{
    WSAAsyncSelect(socket, app.connectDialog, on ? WM_FETCH_SOCKET : 0, on ? FD_CLOSE : 0);
}

// The held request leaves; from here on the stream counts the file's bytes.
void sendHeldRequest(SOCKET socket, ReceiveStream* stream)
{
    char record[RECORD_SIZE];
    uint32_t missing = 0;
    if (!takeHeldRequest(record, &missing)) return;
    RequestSend outcome = sendRequestWhole(socket, record);
    if (outcome == RequestSend::Whole) {
        // With nothing owed no last byte will turn the watch back on.
        if (missing > 0) watchClose(socket, false);
        requestLeft(stream, missing);
    }
    requestSendEnded(outcome);
}

DWORD WINAPI ReceiverWorker(LPVOID parameter)
{
    ReceiverStart start = *static_cast<ReceiverStart*>(parameter);
    delete static_cast<ReceiverStart*>(parameter);

    ReceiveStream stream;
    resetStream(&stream);
    char chunk[CHUNK_SIZE];
    DWORD lastArrival = GetTickCount();   // of any byte: a held request waits for quiet after it
    DWORD lastProgress = lastArrival;     // of the request or a byte of its answer
    for (;;) {
        giveUpHeldRequestAfter(GetTickCount(), start.answerTimeout);
        ReadPlan plan = planRead(&stream);
        char* into = plan.target == ReadTarget::Record ? stream.listing.record + stream.listing.fill : chunk;
        int got = recv(start.socket, into, static_cast<int>(plan.maxBytes), 0);
        if (got == SOCKET_ERROR && WSAGetLastError() == WSAEWOULDBLOCK) {
            // Nothing is queued: the only moment a held request may leave or a silent answer be given up.
            DWORD now = GetTickCount();
            if (downloadHeld() && requestMayLeave(&stream, lastArrival, now, QUIET_PERIOD_MS)) {
                sendHeldRequest(start.socket, &stream);
                lastProgress = GetTickCount();
                continue;
            }
            if (downloadRunning() && answerOverdue(lastProgress, now, start.answerTimeout)) {
                watchClose(start.socket, true);
                abandonDownload();
                answerAbandoned(&stream);
                // A late answer that starts while the user reads the message is still dropped.
                lastArrival = GetTickCount();
                continue;
            }
            waitReadable(start.socket, IDLE_WAIT_MS);
            continue;
        }
        if (got <= 0) break;  // closed or reset
        lastArrival = GetTickCount();
        ReadResult result = accountRead(&stream, plan, static_cast<unsigned>(got));
        if (result.recordComplete) {
            addListingEntry(stream.listing.record);
            takeRecord(&stream);
        }
        if (result.fileBytes > 0) {
            lastProgress = lastArrival;
            if (result.fileComplete) watchClose(start.socket, true);
            FileWrite write = writeToDownload(chunk, result.fileBytes);
            if (write == FileWrite::Failed) {
                watchClose(start.socket, true);
                answerAbandoned(&stream);
            }
            // The quiet that a next request waits for starts when the user has read the message.
            if (write != FileWrite::Continue) lastArrival = GetTickCount();
        }
    }
    // Marked before the download is given back, so a choice racing this end sees one or the other.
    InterlockedExchange(&app.fetchClosed, 1);
    endDownloadPeerGone();
    requestStatusRule(TitleRule::FetchClosed);
    return 1;
}

}  // namespace

void startReceiver(SOCKET socket)
{
    ReceiverStart* start = new ReceiverStart{socket, answerTimeoutFromEnvironment()};
    HANDLE thread = CreateThread(nullptr, 0, ReceiverWorker, start, 0, nullptr);
    if (thread == nullptr) {
        delete start;
        return;
    }
    CloseHandle(thread);
}
