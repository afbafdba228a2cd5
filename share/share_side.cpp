// Sharing side. One peer at a time: a new peer replaces the previous one, whose connection is
// closed so that nothing meant for one peer reaches another. On each connection the listing goes
// first, then one upload per request, strictly one after the other.

#include "share/share_side.h"

#include "app/app_state.h"
#include "app/ids.h"
#include "app/progress.h"
#include "app/socket_send.h"
#include "app/status_title.h"

namespace {

enum ShareWorkerKind { LISTING_WORKER = 1, UPLOAD_WORKER = 2 };

void workerDone(ShareWorkerKind kind, LONG generation)
{
    PostMessageA(app.mainWindow, WM_SHARE_WORKER_DONE, kind, generation);
}

bool connectionReplaced(LONG generation) { return app.peerGeneration != generation; }

// Ends with the enumeration, or as soon as the connection fails or is replaced.
DWORD WINAPI ListingWorker(LPVOID parameter)
{
    ShareWorkerStart start = *static_cast<ShareWorkerStart*>(parameter);
    delete static_cast<ShareWorkerStart*>(parameter);

    WIN32_FIND_DATAA entry;
    HANDLE search = FindFirstFileA(app.sharePattern, &entry);
    if (search != INVALID_HANDLE_VALUE) {
        WSAEVENT event = WSACreateEvent();
        char record[RECORD_SIZE];
        do {
            if (connectionReplaced(start.generation)) break;
            bool folder = (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
            // A size of 4 GiB or more cannot be told in a record, so such a file is not offered.
            if (!folder && entry.nFileSizeHigh != 0) continue;
            if (!formatRecord(RecordKind::Listing, entry.cFileName, folder ? 0 : entry.nFileSizeLow, record)) continue;
            if (!sendWhole(start.socket, record, RECORD_SIZE, event)) break;
            Sleep(0);
        } while (FindNextFileA(search, &entry));
        WSACloseEvent(event);
        FindClose(search);
    }
    workerDone(LISTING_WORKER, start.generation);
    return 1;
}

DWORD WINAPI UploadWorker(LPVOID parameter)
{
    ShareWorkerStart start = *static_cast<ShareWorkerStart*>(parameter);
    delete static_cast<ShareWorkerStart*>(parameter);

    HANDLE file = app.uploadFile;
    DWORD total = app.uploadSize;
    DWORD sent = app.uploadOffset;
    char chunk[CHUNK_SIZE];
    WSAEVENT event = WSACreateEvent();
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(file, chunk, CHUNK_SIZE, &got, nullptr)) got = 0;
        if (got == 0) {
            setProgress(app.uploadBar, sent, total);
            break;
        }
        if (connectionReplaced(start.generation) || !sendWhole(start.socket, chunk, got, event)) break;
        sent += got;
        setProgress(app.uploadBar, sent, total);
    }
    WSACloseEvent(event);
    CloseHandle(file);
    resetProgress(app.uploadBar);
    workerDone(UPLOAD_WORKER, start.generation);
    return 1;
}

bool startShareWorker(LPTHREAD_START_ROUTINE worker)
{
    ShareWorkerStart* start = new ShareWorkerStart{app.peerSocket, app.peerGeneration};
    HANDLE thread = CreateThread(nullptr, 0, worker, start, 0, nullptr);
    if (thread == nullptr) {
        delete start;
        return false;
    }
    CloseHandle(thread);
    return true;
}

// Reading of peerSocket resumes through the queue, so a burst of requests never recurses.
void resumeIntake() { PostMessageA(app.mainWindow, WM_SHARE_SOCKET, 0, FD_READ); }

// Takes the request collected in requestIntake: checks the name, opens the file for reading
// only, fills the upload slots and starts the upload. A request that cannot be served gets
// nothing, on the wire or on disk.
void takeRequest()
{
    char record[RECORD_SIZE];
    CopyMemory(record, app.requestIntake.record, RECORD_SIZE);
    resetAssembler(&app.requestIntake);
    app.requestWaiting = 0;
    resumeIntake();

    RecordFields fields;
    if (!readRecord(record, &fields)) return;
    if (!isPlainEntryName(fields.name, fields.nameLength)) return;
    if (!joinPath(app.workingDirectory, "\\Share\\", fields.name, fields.nameLength, app.shareFilePath)) return;

    HANDLE file = CreateFileA(app.shareFilePath, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    DWORD sizeHigh = 0;
    DWORD size = GetFileSize(file, &sizeHigh);
    if (GetFileType(file) != FILE_TYPE_DISK || (size == INVALID_FILE_SIZE && GetLastError() != NO_ERROR) ||
        sizeHigh != 0) {
        CloseHandle(file);
        return;
    }
    // The high part makes offsets of 2 GiB and more land where they should.
    LONG offsetHigh = 0;
    SetFilePointer(file, static_cast<LONG>(fields.number), &offsetHigh, FILE_BEGIN);

    app.uploadFile = file;
    app.uploadSize = size;
    app.uploadOffset = fields.number;
    app.uploadPending = 1;
    SendMessageA(app.mainWindow, WM_SHARE_SOCKET, 0, FD_WRITE);
}

// A whole request is taken only when nothing else is being sent on the connection.
void takeRequestWhenFree()
{
    if (app.requestWaiting == 1 && app.listingRunning == 0 && app.uploadRunning == 0) takeRequest();
}

}  // namespace

void onShareAccept()
{
    sockaddr_in peer;
    int length = sizeof peer;
    SOCKET accepted = accept(app.listenSocket, reinterpret_cast<sockaddr*>(&peer), &length);
    if (accepted == INVALID_SOCKET) return;

    SOCKET previous = app.peerSocket;
    app.peerSocket = accepted;
    InterlockedIncrement(&app.peerGeneration);
    // Closing the previous connection also cancels a send a worker is waiting on.
    if (previous != INVALID_SOCKET) closesocket(previous);
    resetAssembler(&app.requestIntake);
    app.requestWaiting = 0;
    app.uploadPending = 0;

    titleShareConnected();
    app.listingRunning = startShareWorker(ListingWorker) ? 1 : 0;
}

void onShareReadable()
{
    if (app.peerSocket == INVALID_SOCKET || app.requestWaiting == 1) return;
    RecordAssembler* intake = &app.requestIntake;
    int got = recv(app.peerSocket, intake->record + intake->fill, static_cast<int>(assemblerRoom(intake)), 0);
    if (got <= 0) return;
    if (assemblerAdd(intake, static_cast<unsigned>(got), REQUEST_TAG, nullptr) == AssemblyResult::Complete) {
        app.requestWaiting = 1;
        takeRequestWhenFree();
    }
}

void onShareWritable()
{
    if (app.uploadPending != 1) return;
    app.uploadPending = 0;
    if (startShareWorker(UploadWorker)) {
        app.uploadRunning = 1;
    } else {
        CloseHandle(app.uploadFile);
    }
}

void onShareClosed(SOCKET socket)
{
    if (socket == app.peerSocket) titleShareClosed();
}

void onShareWorkerDone(WPARAM kind, LPARAM generation)
{
    if (kind == UPLOAD_WORKER) app.uploadRunning = 0;
    if (kind == LISTING_WORKER && generation == app.peerGeneration) app.listingRunning = 0;
    takeRequestWhenFree();
}
