// One accepted peer's connection and its life: accepting it, collecting its requests, ending it
// and closing it once nothing uses it any more. Its listing (share/listing.cpp) and its uploads
// (share/upload.cpp) are the two kinds of worker that serve it.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include "core/records.h"
#include "share/listing.h"

// One accepted connection. Only the UI thread changes it and closes it; its workers read `socket`
// and `ended`, which never change, for as long as they hold it. Its ListingWorker fills `listed`,
// which the UI thread reads only after that worker's done message.
struct ShareConnection {
    SOCKET socket;
    HANDLE ended;                   // manual-reset event, set when the connection is ended: workers stop sending
    LONG holders;                   // the peer slot while this is the peer, and each worker serving it
    LONG listingRunning;            // its ListingWorker is still sending
    LONG uploadRunning;             // an UploadWorker is serving it
    RecordAssembler requestIntake;  // the request being collected from it
    LONG requestWaiting;            // requestIntake holds a whole request not yet taken
    ListedEntries listed;           // what its listing offered
};

// UI thread, from the main window's routing. The socket is the one the notification names.
void onShareAccept();
void onShareReadable(SOCKET socket);
void onShareWritable(SOCKET socket);
void onShareClosed(SOCKET socket);
// WM_SHARE_WORKER_DONE: a worker has ended (its outcome, its connection).
void onShareWorkerDone(WPARAM outcome, LPARAM connection);
// WM_SHARE_CONNECTION_GONE: nothing uses the connection any more; its socket is closed.
void onShareConnectionGone(LPARAM connection);

// What a worker is handed; its own copy, freed by the worker.
struct ShareWorkerStart {
    ShareConnection* connection;  // held for the worker until its done message is handled
    HANDLE file;                  // upload: the file, positioned at `offset`; the worker closes it
    DWORD size;                   // upload: the file's size when the request was taken
    DWORD offset;                 // upload: where the stream starts
};

enum ShareWorkerOutcome { LISTING_DONE = 1, UPLOAD_DONE = 2, UPLOAD_CUT_SHORT = 3 };

// UI thread: starts `worker` with its own copy of `what`; the worker holds the connection until its
// done message has been handled. False when no thread could be started.
bool startShareWorker(LPTHREAD_START_ROUTINE worker, const ShareWorkerStart& what);
// Worker threads, as their last act: the worker is done with the connection.
void workerDone(ShareWorkerOutcome outcome, ShareConnection* connection);
// Any thread: true once the connection has been ended here.
bool connectionEnded(const ShareConnection* connection);
// UI thread: the peer sees the end at once, and the connection's workers stop sending.
void endConnection(ShareConnection* connection);
// UI thread: reading of the peer's socket resumes, through the queue.
void resumeIntake(ShareConnection* connection);
