// Sharing side. One peer at a time: a new peer replaces the previous one, whose connection is
// ended at once and closed once nothing uses it any more. On each connection the listing goes
// first, then one upload per request, strictly one after the other; the listing offers only
// entries that a request gets back exactly, and an upload sends no byte beyond what the listing
// offered of that file.

#include "share/share_side.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

#include "services/app_state.h"
#include "services/ids.h"
#include "services/progress.h"
#include "services/socket_send.h"
#include "services/status_title.h"

// What one connection's listing offered: for each entry its listed size (4 bytes) and its name,
// zero-terminated, one after the other in `pool`. `byName` holds the entries' places in `pool`: in
// the folder's order while the listing is sent, then sorted by name to look requests up.
struct ListedEntries {
    char* pool;
    size_t poolUsed;
    size_t poolCapacity;
    uint32_t* byName;
    unsigned count;
    unsigned capacity;
};

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

namespace {

const char* const SHARE_FOLDER = "\\Share\\";

// Records of one listing, "." and ".." included: as many as the fetching side keeps. The table
// takes 9 bytes plus the name per entry, in blocks that double as they fill: about 2.3 MiB for a
// full listing of 20-character names, at most 16.25 MiB for names of the longest a record holds.
const unsigned LISTED_CAPACITY = 65536;

// What a worker is handed; its own copy, freed by the worker.
struct ShareWorkerStart {
    ShareConnection* connection;  // held for the worker until its done message is handled
    HANDLE file;                  // upload: the file, positioned at `offset`; the worker closes it
    DWORD size;                   // upload: the file's size when the request was taken
    DWORD offset;                 // upload: where the stream starts
};

enum ShareWorkerOutcome { LISTING_DONE = 1, UPLOAD_DONE = 2, UPLOAD_CUT_SHORT = 3 };

void workerDone(ShareWorkerOutcome outcome, ShareConnection* connection)
{
    // The worker's hold on the connection is given back by this message alone, and the socket is
    // closed only after that: a full queue must not lose it.
    while (!PostMessageA(app.mainWindow, WM_SHARE_WORKER_DONE, outcome, reinterpret_cast<LPARAM>(connection)) &&
           IsWindow(app.mainWindow))
        Sleep(50);
}

static_assert(sizeof(WCHAR) == sizeof(char16_t), "Windows text is UTF-16");
const char16_t* asUtf16(const WCHAR* text) { return reinterpret_cast<const char16_t*>(text); }

bool sameWide(const WCHAR* a, const WCHAR* b)
{
    while (*a != 0 && *a == *b) ++a, ++b;
    return *a == *b;
}

// The entry's name in the ANSI code page, as records carry it and requests name it. False when the
// name has no exact form there: a best-fit or default character stands for another name or none.
bool ansiName(const WCHAR* wide, char ansi[PATH_CAPACITY])
{
    // UTF-8 as the code page takes neither the flag nor the default-character report; the round
    // trip below still refuses whatever does not come back the same.
    bool utf8 = GetACP() == CP_UTF8;
    BOOL usedDefault = FALSE;
    int length = WideCharToMultiByte(CP_ACP, utf8 ? 0 : WC_NO_BEST_FIT_CHARS, wide, -1, ansi,
                                     static_cast<int>(PATH_CAPACITY), nullptr, utf8 ? nullptr : &usedDefault);
    if (length <= 0 || usedDefault) return false;
    WCHAR back[PATH_CAPACITY];
    int backLength =
        MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, ansi, -1, back, static_cast<int>(PATH_CAPACITY));
    return backLength > 0 && sameWide(back, wide);
}

// The name and size `entry` is listed with, when a request can get exactly that entry back. "."
// and ".." are listed as ever; sub-folders, with the number 0, under the same checks as files.
bool listedEntryFor(const WIN32_FIND_DATAW& entry, char name[PATH_CAPACITY], uint32_t* size)
{
    if (!ansiName(entry.cFileName, name) || isDeviceNameUtf16(asUtf16(entry.cFileName), lstrlenW(entry.cFileName)))
        return false;
    bool dots = strcmp(name, ".") == 0 || strcmp(name, "..") == 0;
    if (!dots && !isOfferedName(app.workingDirectory, SHARE_FOLDER, name, strlen(name))) return false;
    bool folder = (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    // A size of 4 GiB or more cannot be told in a record, so such a file is not offered.
    if (!folder && entry.nFileSizeHigh != 0) return false;
    *size = folder ? 0 : entry.nFileSizeLow;
    // Nor is a name longer than a record holds.
    char record[RECORD_SIZE];
    return formatRecord(RecordKind::Listing, name, *size, record);
}

template <typename T>
bool growTo(T** block, size_t* capacity, size_t needed)
{
    if (needed <= *capacity) return true;
    size_t larger = *capacity == 0 ? 256 : *capacity * 2;
    while (larger < needed) larger *= 2;
    void* moved = realloc(*block, larger * sizeof(T));
    if (moved == nullptr) return false;
    *block = static_cast<T*>(moved);
    *capacity = larger;
    return true;
}

// False when the table is full or memory is short: the listing ends with the entries before.
bool listedAdd(ListedEntries* listed, const char* name, uint32_t size)
{
    size_t nameBytes = strlen(name) + 1;
    size_t capacity = listed->capacity;
    if (listed->count == LISTED_CAPACITY || !growTo(&listed->byName, &capacity, listed->count + 1) ||
        !growTo(&listed->pool, &listed->poolCapacity, listed->poolUsed + sizeof size + nameBytes))
        return false;
    listed->capacity = static_cast<unsigned>(capacity);
    listed->byName[listed->count++] = static_cast<uint32_t>(listed->poolUsed);
    memcpy(listed->pool + listed->poolUsed, &size, sizeof size);
    memcpy(listed->pool + listed->poolUsed + sizeof size, name, nameBytes);
    listed->poolUsed += sizeof size + nameBytes;
    return true;
}

const char* listedName(const ListedEntries* listed, uint32_t at) { return listed->pool + at + sizeof(uint32_t); }

uint32_t listedSizeAt(const ListedEntries* listed, uint32_t at)
{
    uint32_t size;
    memcpy(&size, listed->pool + at, sizeof size);
    return size;
}

void listedSortByName(ListedEntries* listed)
{
    std::sort(listed->byName, listed->byName + listed->count, [listed](uint32_t a, uint32_t b) {
        return strcmp(listedName(listed, a), listedName(listed, b)) < 0;
    });
}

// Names are compared byte for byte: a request names an entry exactly as its record did.
bool listedSizeOf(const ListedEntries* listed, const char* name, uint32_t* size)
{
    const uint32_t* begin = listed->byName;
    const uint32_t* end = begin + listed->count;
    const uint32_t* found = std::lower_bound(begin, end, name, [listed](uint32_t at, const char* key) {
        return strcmp(listedName(listed, at), key) < 0;
    });
    if (found == end || strcmp(listedName(listed, *found), name) != 0) return false;
    *size = listedSizeAt(listed, *found);
    return true;
}

void listedFree(ListedEntries* listed)
{
    free(listed->pool);
    free(listed->byName);
}

bool connectionEnded(const ShareConnection* connection)
{
    return WaitForSingleObject(connection->ended, 0) == WAIT_OBJECT_0;
}

// The whole folder is read into the connection's table before the first record leaves: the
// listing goes out back to back however slowly the folder reads, and the requests that follow it
// are served as it offered them. Ends early when the connection fails or is ended. The folder is
// read in wide characters, so that names are checked as they are, not as a best-fit form.
DWORD WINAPI ListingWorker(LPVOID parameter)
{
    ShareWorkerStart start = *static_cast<ShareWorkerStart*>(parameter);
    delete static_cast<ShareWorkerStart*>(parameter);
    ShareConnection* connection = start.connection;
    ListedEntries* listed = &connection->listed;

    WCHAR pattern[PATH_CAPACITY];
    WIN32_FIND_DATAW entry;
    HANDLE search = INVALID_HANDLE_VALUE;
    if (MultiByteToWideChar(CP_ACP, 0, app.sharePattern, -1, pattern, static_cast<int>(PATH_CAPACITY)) > 0)
        search = FindFirstFileW(pattern, &entry);
    if (search != INVALID_HANDLE_VALUE) {
        char name[PATH_CAPACITY];
        uint32_t size;
        unsigned seen = 0;
        do {
            // Each look at the event is a trip to the wineserver, so a replaced peer's worker
            // stops within a few dozen entries rather than at once.
            if (++seen % 64 == 0 && connectionEnded(connection)) break;
            if (listedEntryFor(entry, name, &size) && !listedAdd(listed, name, size)) break;
        } while (FindNextFileW(search, &entry));
        FindClose(search);
    }
    WSAEVENT event = WSACreateEvent();
    char record[RECORD_SIZE];
    for (unsigned i = 0; i < listed->count; ++i) {
        uint32_t at = listed->byName[i];
        formatRecord(RecordKind::Listing, listedName(listed, at), listedSizeAt(listed, at), record);
        if (!sendWholeUnless(connection->socket, record, RECORD_SIZE, event, connection->ended)) break;
        Sleep(0);
    }
    WSACloseEvent(event);
    listedSortByName(listed);
    workerDone(LISTING_DONE, connection);
    return 1;
}

// Sends exactly the bytes the file had past the offset when the request was taken: a file that
// grows meanwhile is not followed, and one that shrinks, or cannot be read, cuts the upload short.
DWORD WINAPI UploadWorker(LPVOID parameter)
{
    ShareWorkerStart start = *static_cast<ShareWorkerStart*>(parameter);
    delete static_cast<ShareWorkerStart*>(parameter);
    ShareConnection* connection = start.connection;

    DWORD left = start.offset < start.size ? start.size - start.offset : 0;
    DWORD sent = start.offset;
    bool whole = true;
    char chunk[CHUNK_SIZE];
    WSAEVENT event = WSACreateEvent();
    while (left > 0) {
        DWORD wanted = left < CHUNK_SIZE ? left : CHUNK_SIZE;
        DWORD got = 0;
        if (!ReadFile(start.file, chunk, wanted, &got, nullptr) || got == 0 || got > wanted ||
            !sendWholeUnless(connection->socket, chunk, got, event, connection->ended)) {
            whole = false;
            break;
        }
        left -= got;
        sent += got;
        setProgress(app.uploadBar, sent, start.size);
    }
    // A stream with nothing to send shows on the bar too, once.
    if (whole) setProgress(app.uploadBar, sent, start.size);
    WSACloseEvent(event);
    CloseHandle(start.file);
    resetProgress(app.uploadBar);
    workerDone(whole ? UPLOAD_DONE : UPLOAD_CUT_SHORT, connection);
    return 1;
}

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

// The socket is closed from a posted message, behind every notification the platform posted for
// it before they were cancelled: those are turned away by handle while it is still open, so no
// other socket can have taken its value yet.
void releaseConnection(ShareConnection* connection)
{
    if (--connection->holders > 0) return;
    if (!PostMessageA(app.mainWindow, WM_SHARE_CONNECTION_GONE, 0, reinterpret_cast<LPARAM>(connection)))
        onShareConnectionGone(reinterpret_cast<LPARAM>(connection));
}

// The peer sees the end at once, and the connection's workers stop: a send that is under way is
// cancelled by its own worker, which then lets go of the socket.
void endConnection(ShareConnection* connection)
{
    SetEvent(connection->ended);
    shutdown(connection->socket, SD_BOTH);
}

// The notification concerns the peer's connection. Sockets of replaced peers stay open until
// their last notification has been handled, so a handle value names one connection here.
ShareConnection* peerFor(SOCKET socket)
{
    ShareConnection* peer = app.sharePeer;
    return peer != nullptr && peer->socket == socket ? peer : nullptr;
}

// Reading of the peer's socket resumes through the queue, so a burst of requests never recurses.
void resumeIntake(ShareConnection* connection)
{
    PostMessageA(app.mainWindow, WM_SHARE_SOCKET, connection->socket, FD_READ);
}

// Takes the request collected on the connection: checks the name, opens the file for reading
// only and starts its upload up to the size the listing gave the file, or, for a name the listing
// did not offer, the file's size as it is now. A request that cannot be served gets nothing, on
// the wire or on disk.
void takeRequest(ShareConnection* connection)
{
    char record[RECORD_SIZE];
    CopyMemory(record, connection->requestIntake.record, RECORD_SIZE);
    resetAssembler(&connection->requestIntake);
    connection->requestWaiting = 0;
    resumeIntake(connection);

    RecordFields fields;
    if (!readRecord(record, &fields)) return;
    // Checked before anything is opened: a device name (COM1, LPT²...) would open the device. The
    // system opens the name in UTF-16, where a code page's two-byte superscript digit shows too.
    if (!isPlainEntryName(fields.name, fields.nameLength)) return;
    WCHAR wide[PATH_CAPACITY];
    int wideLength = MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, fields.name, static_cast<int>(fields.nameLength),
                                         wide, static_cast<int>(PATH_CAPACITY));
    if (wideLength <= 0 || isDeviceNameUtf16(asUtf16(wide), static_cast<size_t>(wideLength))) return;
    if (!joinPath(app.workingDirectory, SHARE_FOLDER, fields.name, fields.nameLength, app.shareFilePath)) return;

    HANDLE file = CreateFileA(app.shareFilePath, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    DWORD sizeHigh = 0;
    DWORD size = GetFileSize(file, &sizeHigh);
    if (GetFileType(file) != FILE_TYPE_DISK || (size == INVALID_FILE_SIZE && GetLastError() != NO_ERROR)) {
        CloseHandle(file);
        return;
    }
    char name[PATH_CAPACITY];
    CopyMemory(name, fields.name, fields.nameLength);  // joinPath has checked that it fits
    name[fields.nameLength] = 0;
    uint32_t listedSize;
    if (listedSizeOf(&connection->listed, name, &listedSize)) {
        // The peer waits for the listed size: a file that has lost bytes since cannot give it, and
        // ending the connection tells the peer at once; its next connection lists the file anew.
        if (sizeHigh == 0 && size < listedSize) {
            CloseHandle(file);
            endConnection(connection);
            titleShareClosed();
            return;
        }
        // What the file gained since it was listed is not part of what the peer chose.
        size = listedSize;
    } else if (sizeHigh != 0) {
        CloseHandle(file);
        return;
    }
    // The high part makes offsets of 2 GiB and more land where they should.
    LONG offsetHigh = 0;
    SetFilePointer(file, static_cast<LONG>(fields.number), &offsetHigh, FILE_BEGIN);

    // Each chunk leaves whole at once. Otherwise a chunk's last, partial segment may wait for the
    // peer to acknowledge the one before, which a peer that has just sent a request does only as
    // it reads: the chunk then reaches it in two pieces. The listing keeps the default, which
    // packs its small records together.
    BOOL noDelay = TRUE;
    setsockopt(connection->socket, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&noDelay), sizeof noDelay);
    if (startShareWorker(UploadWorker, ShareWorkerStart{connection, file, size, fields.number})) {
        connection->uploadRunning = 1;
    } else {
        CloseHandle(file);
    }
}

// A whole request is taken only when nothing else is being sent on the connection.
void takeRequestWhenFree(ShareConnection* connection)
{
    if (connection->requestWaiting == 1 && connection->listingRunning == 0 && connection->uploadRunning == 0 &&
        !connectionEnded(connection))
        takeRequest(connection);
}

}  // namespace

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
    app.peerSocket = accepted;
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
