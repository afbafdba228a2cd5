// ReceiverWorker. When nothing has arrived it waits on the socket with a short time-out, so an
// idle connection costs nothing. It reads by state: an active download takes exactly its missing
// bytes whatever they look like, and anything else is a listing record or is dropped.

#include "fetch/receiver.h"

#include <cstdio>

#include "app/app_state.h"
#include "app/progress.h"
#include "app/status_title.h"
#include "core/receiver_plan.h"
#include "ui/message_box.h"

namespace {

struct ReceiverStart {
    SOCKET socket;
    LONG attempt;
};

bool attemptEnded(LONG attempt) { return app.fetchAttempt != attempt; }

// Nothing to read: sleep on the socket, waking now and then to see whether the attempt has ended.
// A busy stream never comes here, so it costs one call per chunk.
void waitReadable(SOCKET socket)
{
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(socket, &readable);
    timeval wait = {0, 250000};
    if (select(0, &readable, nullptr, nullptr, &wait) == SOCKET_ERROR) Sleep(100);
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

// The download is over, complete or not: the local file keeps what has arrived.
void finishDownload()
{
    CloseHandle(app.downloadFile);
    app.downloadFile = INVALID_HANDLE_VALUE;
    resetProgress(app.downloadBar);
    app.expectedSize = 0;
    app.downloadActive = 0;
    app.downloadBusy = 0;  // last: the UI thread may start another download from here on
}

void writeDownloadData(const char* data, DWORD count, uint32_t* discardLeft)
{
    uint32_t expected = static_cast<uint32_t>(app.expectedSize);
    uint32_t arrived = static_cast<uint32_t>(app.receivedBytes) + count;
    DWORD written = 0;
    BOOL wrote = WriteFile(app.downloadFile, data, count, &written, nullptr);
    app.receivedBytes = static_cast<LONG>(static_cast<uint32_t>(app.receivedBytes) + written);
    if (!wrote || written != count) {
        *discardLeft = expected - arrived;  // the rest of this stream is still on its way
        char text[PATH_CAPACITY + 160];
        snprintf(text, sizeof text,
                 "Caldervine could not write \"%s\" into the Incoming folder (is the disk full?).\r\n"
                 "What has arrived is kept: choose the file again in a later run to resume.",
                 app.downloadName);
        finishDownload();
        showMessage(app.mainWindow, text, CAPTION_PLAIN);
        return;
    }
    uint32_t received = static_cast<uint32_t>(app.receivedBytes);
    setProgress(app.downloadBar, received, expected);
    if (received == expected) {
        showMessage(app.mainWindow, "Your file is downloaded!", CAPTION_WITH_DOTS);
        finishDownload();
    }
}

void connectionEnded(LONG attempt)
{
    if (attemptEnded(attempt)) return;
    app.fetchClosed = 1;
    if (app.downloadActive == 1) finishDownload();
    requestStatusRule(TitleRule::FetchClosed);
}

DWORD WINAPI ReceiverWorker(LPVOID parameter)
{
    ReceiverStart start = *static_cast<ReceiverStart*>(parameter);
    delete static_cast<ReceiverStart*>(parameter);

    RecordAssembler listing;
    resetAssembler(&listing);
    uint32_t discardLeft = 0;
    char chunk[CHUNK_SIZE];
    for (;;) {
        if (attemptEnded(start.attempt)) return 1;
        ReadPlan plan = planReceiverRead(&listing, discardLeft, app.downloadActive == 1,
                                         static_cast<uint32_t>(app.expectedSize),
                                         static_cast<uint32_t>(app.receivedBytes));
        char* into = plan.target == ReadTarget::Record ? listing.record + listing.fill : chunk;
        int got = recv(start.socket, into, static_cast<int>(plan.maxBytes), 0);
        if (got == SOCKET_ERROR) {
            if (WSAGetLastError() == WSAEWOULDBLOCK) {
                waitReadable(start.socket);
                continue;
            }
            // Before the connection is made, failures are the dialog's to report.
            if (app.fetchConnected == 0) {
                Sleep(100);
                continue;
            }
            break;
        }
        if (got == 0) break;
        switch (plan.target) {
        case ReadTarget::Record:
            if (assemblerAdd(&listing, static_cast<unsigned>(got), LISTING_TAG, nullptr) == AssemblyResult::Complete) {
                addListingEntry(listing.record);
                resetAssembler(&listing);
            }
            break;
        case ReadTarget::Discard:
            discardLeft -= static_cast<uint32_t>(got);
            break;
        case ReadTarget::FileData:
            writeDownloadData(chunk, static_cast<DWORD>(got), &discardLeft);
            break;
        }
    }
    connectionEnded(start.attempt);
    return 1;
}

}  // namespace

void startReceiver(SOCKET socket, LONG attempt)
{
    ReceiverStart* start = new ReceiverStart{socket, attempt};
    HANDLE thread = CreateThread(nullptr, 0, ReceiverWorker, start, 0, nullptr);
    if (thread == nullptr) {
        delete start;
        return;
    }
    CloseHandle(thread);
}
