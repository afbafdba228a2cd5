// ReceiverWorker. It reads by its own state (core/receive_stream): until the first request has
// left, every byte is listing; after it, each answer is counted exactly, its head compared with
// the local copy and the rest written; everything else is dropped. Only before the first answer
// do blocks of a listing record's exact shape still count as listing. It is also the thread that
// sends the requests, because it alone knows when the last byte arrived and whether anything is
// still owed. However its connection ends, File > Connect is offered again.

#include "fetch/receiver.h"

#include <cstdlib>

#include "core/receive_stream.h"
#include "fetch/download.h"
#include "services/app_state.h"
#include "services/ids.h"
#include "services/message_box.h"
#include "services/status_title.h"

namespace {

// A held request leaves once nothing has arrived for this long. The listing has no end marker,
// and a sharer sends its records back to back, so inside one listing a gap this long means a
// lost segment retransmitted more than once; yet a choice made after the listing has ended is
// not held at all, since the quiet is counted from the last byte, not from the choice.
const DWORD QUIET_PERIOD_MS = 1500;

// An answer is given up, and its connection ended, when nothing of it has come for this long:
// well beyond a sharer opening a large file or a link pausing for a few seconds, and short
// enough that a user who chose an entry the peer will never serve is told within half a minute.
// A request that could not leave for as long (the peer never stops sending) is given back too.
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

// Hands the entries collected so far to the list, all in one message to the user-interface
// thread, which waits for nothing meanwhile.
void handOverEntries(ReceiveStream* stream)
{
    if (stream->batch.count == 0) return;
    SendMessageA(app.mainWindow, WM_LISTING_ENTRIES, stream->batch.count, reinterpret_cast<LPARAM>(stream->batch.texts));
    batchTaken(stream);
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

// The held request leaves; from here on the stream counts its answer. False when the connection
// had to be ended because the request could not leave whole.
bool sendHeldRequest(SOCKET socket, ReceiveStream* stream)
{
    char record[RECORD_SIZE];
    OverlapRequest request;
    const char* expected = nullptr;
    if (!takeHeldRequest(record, &request, &expected)) return true;
    RequestSend outcome = sendRequestWhole(socket, record);
    if (outcome == RequestSend::Whole) requestLeft(stream, request, expected);
    requestSendEnded(outcome);
    return outcome == RequestSend::Whole;
}

// Under Wine a socket whose close is watched makes the wineserver peek at it each time data
// arrives, to tell data from the close: work on every chunk of a file. While an answer streams in
// this thread reads without pause and sees the close itself, so the connect dialog's watch is off
// then. It is on whenever this thread may show a message, since it reads nothing while one shows:
// a close that came meanwhile is reported as the watch resumes.
class CloseWatch {
public:
    explicit CloseWatch(SOCKET socket) : socket_(socket), on_(true) {}
    void set(bool on)
    {
        if (on == on_) return;
        on_ = on;
        WSAAsyncSelect(socket_, app.connectDialog, on ? WM_FETCH_SOCKET : 0, on ? FD_CLOSE : 0);
    }
    // Off only while an answer is due and no request waits: a held request may be given up with
    // a message.
    void follow(const ReceiveStream* stream) { set(streamBetweenAnswers(stream) || requestHeld()); }

private:
    SOCKET socket_;
    bool on_;
};

const char* const LISTING_CAPPED_MESSAGE =
    "The peer lists more than 65536 entries. Caldervine shows the first 65536 and leaves out the rest.";

// How the loop of one connection ended: the peer closed or reset it, an answer was silent too
// long, or this program ended it for another reason (a cut request, an answer not worth reading).
enum class Ending { ByPeer, GaveUp, EndedHere };

Ending receive(SOCKET socket, DWORD answerTimeout, ReceiveStream& stream)
{
    char chunk[CHUNK_SIZE];
    DWORD lastArrival = GetTickCount();   // of any byte: a held request waits for quiet after it
    DWORD lastProgress = lastArrival;     // of the request or a byte its answer owes
    CloseWatch watch(socket);
    for (;;) {
        watch.follow(&stream);
        giveUpHeldRequestAfter(answerTimeout);
        if (batchDue(&stream)) handOverEntries(&stream);
        ReadPlan plan = planRead(&stream);
        int got = plan.reread ? static_cast<int>(takeReread(&stream, chunk, plan.maxBytes))
                              : recv(socket, chunk, static_cast<int>(plan.maxBytes), 0);
        if (got == SOCKET_ERROR && WSAGetLastError() == WSAEWOULDBLOCK) {
            handOverEntries(&stream);
            // Nothing is queued: the only moment a held request may leave or a silent answer be given up.
            if (settleTail(&stream, lastProgress, GetTickCount(), QUIET_PERIOD_MS)) continue;
            if (requestHeld() && requestMayLeave(&stream, lastArrival, GetTickCount(), QUIET_PERIOD_MS)) {
                if (!sendHeldRequest(socket, &stream)) return Ending::EndedHere;
                lastProgress = GetTickCount();
                continue;
            }
            if (!streamBetweenAnswers(&stream) && answerOverdue(lastProgress, GetTickCount(), answerTimeout)) {
                // Whatever the peer sends later could no longer be placed: the connection ends here.
                shutdown(socket, SD_BOTH);
                return Ending::GaveUp;
            }
            waitReadable(socket, IDLE_WAIT_MS);
            continue;
        }
        if (got <= 0) return Ending::ByPeer;  // closed or reset
        if (!plan.reread) lastArrival = GetTickCount();
        ReadResult result = accountRead(&stream, plan, chunk, static_cast<unsigned>(got));
        if (plan.target != ReadTarget::Record && plan.target != ReadTarget::Stray) lastProgress = lastArrival;
        bool told = false;  // a message was read: the quiet a next request waits for starts after it
        if (result.listingCapped) {
            handOverEntries(&stream);
            showMessage(app.mainWindow, LISTING_CAPPED_MESSAGE, CAPTION_PLAIN);
            told = true;
        }
        bool rejected = result.head == HeadVerdict::Differ;
        if (result.head != HeadVerdict::Pending) {
            watch.set(true);
            headChecked(result.head);
            told = true;
        }
        if (result.fileBytes > 0) {
            // The last bytes may bring a message; a write that fails before them shows its own with
            // the watch off, and the close is reported once it has been read.
            if (result.fileComplete) watch.set(true);
            if (writeToDownload(chunk, result.fileBytes) == FileWrite::Failed) {
                answerAbandoned(&stream);
                rejected = told = true;
            }
        }
        if (rejected && rejectedAnswerTooLong(&stream)) {
            shutdown(socket, SD_BOTH);
            return Ending::EndedHere;
        }
        if (told) lastArrival = lastProgress = GetTickCount();
    }
}

DWORD WINAPI ReceiverWorker(LPVOID parameter)
{
    ReceiverStart start = *static_cast<ReceiverStart*>(parameter);
    delete static_cast<ReceiverStart*>(parameter);

    ReceiveStream stream;
    resetStream(&stream);
    Ending ending = receive(start.socket, start.answerTimeout, stream);
    handOverEntries(&stream);
    // Marked before the download is given back, so a choice racing this end sees one or the other.
    InterlockedExchange(&app.fetchClosed, 1);
    requestStatusRule(TitleRule::FetchClosed);
    endDownloadConnectionGone(ending == Ending::GaveUp);
    // Only now, with no download left to this thread, can a new connection (and its receiver) begin.
    SendMessageA(app.connectDialog, WM_FETCH_ENDED, 0, 0);
    return 1;
}

}  // namespace

void onListingEntries(WPARAM count, LPARAM texts)
{
    // One repaint for the whole batch: a visible list box redraws after every insert otherwise.
    SendMessageA(app.remoteList, WM_SETREDRAW, FALSE, 0);
    const char* text = reinterpret_cast<const char*>(texts);
    for (WPARAM i = 0; i < count; ++i) {
        SendMessageA(app.remoteList, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text));
        text += lstrlenA(text) + 1;
    }
    SendMessageA(app.remoteList, WM_SETREDRAW, TRUE, 0);
    InvalidateRect(app.remoteList, nullptr, TRUE);
}

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
