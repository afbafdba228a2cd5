// Uploads: a request is checked and its file opened on the user-interface thread; an UploadWorker
// then streams the file from the requested offset.
//
// How an upload stops: at the end of what it may send (the file as the listing offered it); when
// the file cannot give that (it shrank, or a read fails), which ends the connection (connection.cpp,
// onShareWorkerDone) so the peer knows at once; and when a send fails. A send fails once the
// peer has gone (its close or reset reaches this socket), or once this program has ended the
// connection (a new peer replaced it, or a file shrank before its request): endConnection sets
// the connection's `ended` event, which cancels a send in flight, and shuts the socket down, which
// fails the next one.

#include "share/upload.h"

#include <cstring>

#include "core/names.h"
#include "core/records.h"
#include "services/app_state.h"
#include "services/progress.h"
#include "services/socket_send.h"
#include "services/status_title.h"
#include "share/connection.h"
#include "share/listing.h"

namespace {

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

// The name a request asks for and the offset it asks from, when that name may be opened in Share:
// a plain file name, checked before anything is opened, since a device name (COM1, LPT²...) would
// open the device. The system opens the name in UTF-16, where a code page's two-byte superscript
// digit shows too.
bool requestedName(const char record[RECORD_SIZE], char name[PATH_CAPACITY], uint32_t* offset)
{
    RecordFields fields;
    if (!readRecord(record, &fields) || !isPlainEntryName(fields.name, fields.nameLength)) return false;
    WCHAR wide[PATH_CAPACITY];
    int wideLength = MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, fields.name, static_cast<int>(fields.nameLength),
                                         wide, static_cast<int>(PATH_CAPACITY));
    if (wideLength <= 0 || isDeviceNameUtf16(asUtf16(wide), static_cast<size_t>(wideLength))) return false;
    if (fields.nameLength >= PATH_CAPACITY) return false;
    CopyMemory(name, fields.name, fields.nameLength);
    name[fields.nameLength] = 0;
    *offset = fields.number;
    return true;
}

// Opens Share\name for reading only; a disk file, with its size. INVALID_HANDLE_VALUE otherwise.
HANDLE openShared(const char* name, DWORD* size, DWORD* sizeHigh)
{
    char path[PATH_CAPACITY];
    if (!joinPath(app.workingDirectory, SHARE_FOLDER, name, strlen(name), path)) return INVALID_HANDLE_VALUE;
    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return file;
    *sizeHigh = 0;
    *size = GetFileSize(file, sizeHigh);
    if (GetFileType(file) != FILE_TYPE_DISK || (*size == INVALID_FILE_SIZE && GetLastError() != NO_ERROR)) {
        CloseHandle(file);
        return INVALID_HANDLE_VALUE;
    }
    return file;
}

enum class Serving { Send, Refuse, EndConnection };

// How much of the file the upload sends: the size the connection's listing gave it, or, for a name
// the listing did not offer, the file's size as it is now.
Serving uploadSize(const ShareConnection* connection, const char* name, DWORD sizeHigh, DWORD* size)
{
    uint32_t listedSize;
    if (!listedSizeOf(&connection->listed, name, &listedSize)) return sizeHigh != 0 ? Serving::Refuse : Serving::Send;
    // The peer waits for the listed size: a file that has lost bytes since cannot give it, and
    // ending the connection tells the peer at once; its next connection lists the file anew.
    if (sizeHigh == 0 && *size < listedSize) return Serving::EndConnection;
    // What the file gained since it was listed is not part of what the peer chose.
    *size = listedSize;
    return Serving::Send;
}

void startUpload(ShareConnection* connection, HANDLE file, DWORD size, uint32_t offset)
{
    // The high part makes offsets of 2 GiB and more land where they should.
    LONG offsetHigh = 0;
    SetFilePointer(file, static_cast<LONG>(offset), &offsetHigh, FILE_BEGIN);
    // Each chunk leaves whole at once. Otherwise a chunk's last, partial segment may wait for the
    // peer to acknowledge the one before, which a peer that has just sent a request does only as
    // it reads: the chunk then reaches it in two pieces. The listing keeps the default, which
    // packs its small records together.
    BOOL noDelay = TRUE;
    setsockopt(connection->socket, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&noDelay), sizeof noDelay);
    if (startShareWorker(UploadWorker, ShareWorkerStart{connection, file, size, offset})) {
        connection->uploadRunning = 1;
    } else {
        CloseHandle(file);
    }
}

}  // namespace

void takeRequest(ShareConnection* connection)
{
    char record[RECORD_SIZE];
    CopyMemory(record, connection->requestIntake.record, RECORD_SIZE);
    resetAssembler(&connection->requestIntake);
    connection->requestWaiting = 0;
    resumeIntake(connection);

    char name[PATH_CAPACITY];
    uint32_t offset;
    DWORD size, sizeHigh;
    if (!requestedName(record, name, &offset)) return;
    HANDLE file = openShared(name, &size, &sizeHigh);
    if (file == INVALID_HANDLE_VALUE) return;
    switch (uploadSize(connection, name, sizeHigh, &size)) {
    case Serving::Send: startUpload(connection, file, size, offset); return;
    case Serving::Refuse: CloseHandle(file); return;
    case Serving::EndConnection:
        CloseHandle(file);
        endConnection(connection);
        titleShareClosed();
        return;
    }
}
