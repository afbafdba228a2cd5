// The sharing side's connections. One peer at a time: a new peer replaces the previous one, whose
// connection is ended at once and closed once nothing uses it any more. On each connection the
// listing goes first, then one upload per request, strictly one after the other.

#include "share/connection.h"

#include <new>

#include "services/app_state.h"
#include "services/ids.h"
#include "services/status_title.h"
#include "share/upload.h"

namespace {

// The socket is closed from a posted message, behind every notification the platform posted for
// it before they were cancelled: those are turned away by handle while it is still open, so no
// other socket can have taken its value yet.
void releaseConnection(ShareConnection* connection)
{
    if (--connection->holders > 0) return;
    if (!PostMessageA(app.mainWindow, WM_SHARE_CONNECTION_GONE, 0, reinterpret_cast<LPARAM>(connection)))
        onShareConnectionGone(reinterpret_cast<LPARAM>(connection));
}

// The notification concerns the peer's connection. Sockets of replaced peers stay open until
// their last notification has been handled, so a handle value names one connection here.
ShareConnection* peerFor(SOCKET socket)
{
    ShareConnection* peer = app.sharePeer;
    return peer != nullptr && peer->socket == socket ? peer : nullptr;
}

// A whole request is taken only when nothing else is being sent on the connection.
void takeRequestWhenFree(ShareConnection* connection)
{
    if (connection->requestWaiting == 1 && connection->listingRunning == 0 && connection->uploadRunning == 0 &&
        !connectionEnded(connection))
        takeRequest(connection);
}

}  // namespace

bool startShareWorker(LPTHREAD_START_ROUTINE worker, const ShareWorkerStart& what)
{
    ShareWorkerStart* start = new (std::nothrow) ShareWorkerStart(what);
    if (start == nullptr) return false;
    HANDLE thread = CreateThread(nullptr, 0, worker, start, 0, nullptr);
    if (thread == nullptr) {
        delete start;
        return false;
    }
    CloseHandle(thread);
    ++what.connection->holders;
    return true;
}

void workerDone(ShareWorkerOutcome outcome, ShareConnection* connection)
{
    // The worker's hold on the connection is given back by this message alone, and the socket is
    // closed only after that: a full queue must not lose it.
    while (!PostMessageA(app.mainWindow, WM_SHARE_WORKER_DONE, outcome, reinterpret_cast<LPARAM>(connection)) &&
           IsWindow(app.mainWindow))
        Sleep(50);
}

bool connectionEnded(const ShareConnection* connection)
{
    return WaitForSingleObject(connection->ended, 0) == WAIT_OBJECT_0;
}

// The peer sees the end at once, and the connection's workers stop: a send that is under way is
// cancelled by its own worker, which then lets go of the socket.
void endConnection(ShareConnection* connection)
{
    SetEvent(connection->ended);
    shutdown(connection->socket, SD_BOTH);
}

// Reading of the peer's socket resumes through the queue, so a burst of requests never recurses.
void resumeIntake(ShareConnection* connection)
{
    PostMessageA(app.mainWindow, WM_SHARE_SOCKET, connection->socket, FD_READ);
}

void onShareAccept()
{
    sockaddr_in address;
    int length = sizeof address;
    SOCKET accepted = accept(app.listenSocket, reinterpret_cast<sockaddr*>(&address), &length);
    if (accepted == INVALID_SOCKET) return;
    ShareConnection* connection = new (std::nothrow) ShareConnection();
    HANDLE ended = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (connection == nullptr || ended == nullptr) {
        // Not yet the peer: nothing else knows this socket.
        WSAAsyncSelect(accepted, app.mainWindow, 0, 0);
        closesocket(accepted);
        delete connection;
        if (ended != nullptr) CloseHandle(ended);
        return;
    }
    connection->socket = accepted;
    connection->ended = ended;
    connection->holders = 1;
    resetAssembler(&connection->requestIntake);

    ShareConnection* previous = app.sharePeer;
    app.sharePeer = connection;
    if (previous != nullptr) {
        endConnection(previous);
        // Nothing more is posted for it; what is already queued is turned away by peerFor.
        WSAAsyncSelect(previous->socket, app.mainWindow, 0, 0);
        releaseConnection(previous);
    }

    titleShareConnected();
    if (startShareWorker(ListingWorker, ShareWorkerStart{connection, INVALID_HANDLE_VALUE, 0, 0}))
        connection->listingRunning = 1;
}

void onShareReadable(SOCKET socket)
{
    ShareConnection* peer = peerFor(socket);
    if (peer == nullptr || peer->requestWaiting == 1 || connectionEnded(peer)) return;
    RecordAssembler* intake = &peer->requestIntake;
    int got = recv(peer->socket, intake->record + intake->fill, static_cast<int>(assemblerRoom(intake)), 0);
    if (got <= 0) return;
    if (assemblerAdd(intake, static_cast<unsigned>(got), REQUEST_TAG, nullptr) == AssemblyResult::Complete) {
        peer->requestWaiting = 1;
        takeRequestWhenFree(peer);
    }
}

// Uploads start as their requests are taken; the writable events the platform reports (once the
// connection is ready, and after a full send buffer drains) have nothing to start.
void onShareWritable(SOCKET) {}

// The peer has closed its side: the title says so. An upload to it stops by itself at its next
// send, which fails now that the peer has gone (see share/upload.cpp); a peer that has only
// stopped sending and still reads gets the rest of its file.
void onShareClosed(SOCKET socket)
{
    if (peerFor(socket) != nullptr) titleShareClosed();
}

void onShareWorkerDone(WPARAM outcome, LPARAM connectionValue)
{
    ShareConnection* connection = reinterpret_cast<ShareConnection*>(connectionValue);
    if (outcome == LISTING_DONE) connection->listingRunning = 0;
    if (outcome == UPLOAD_DONE || outcome == UPLOAD_CUT_SHORT) connection->uploadRunning = 0;
    // A stream cut short leaves the peer waiting for bytes that will never come, and whatever
    // followed would be read as the rest of that file: ending the connection tells it.
    bool peer = connection == app.sharePeer;
    if (outcome == UPLOAD_CUT_SHORT) {
        endConnection(connection);
        if (peer) titleShareClosed();
    }
    releaseConnection(connection);
    if (peer) takeRequestWhenFree(connection);
}

void onShareConnectionGone(LPARAM connectionValue)
{
    ShareConnection* connection = reinterpret_cast<ShareConnection*>(connectionValue);
    closesocket(connection->socket);
    CloseHandle(connection->ended);
    listedFree(&connection->listed);
    delete connection;
}
