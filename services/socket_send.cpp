// Whole sends: a record or a chunk is never left cut on the wire. Under Wine every call that
// reaches the system is a round trip to the wineserver, so a send that completes at once costs
// the send alone: the stop event is looked at only while a send is pending (a connection that is
// ended is also shut down, which makes its next send fail at once), and the event is not reset
// before each send.

#include "services/socket_send.h"

namespace {

// True once the send on `overlapped` is over.
bool sendOver(SOCKET socket, WSAOVERLAPPED* overlapped)
{
    DWORD sent = 0;
    DWORD flags = 0;
    return WSAGetOverlappedResult(socket, overlapped, &sent, FALSE, &flags) || WSAGetLastError() != WSA_IO_INCOMPLETE;
}

// Waits for the pending send on `overlapped`. False when `stop` was set first: the send has then
// been cancelled and is over too, since `overlapped` lives in the caller's frame.
bool awaitSend(SOCKET socket, WSAOVERLAPPED* overlapped, HANDLE stop)
{
    HANDLE waits[2] = {overlapped->hEvent, stop};
    for (;;) {
        DWORD woke = WaitForMultipleObjects(stop != nullptr ? 2 : 1, waits, FALSE, INFINITE);
        if (woke != WAIT_OBJECT_0) {
            // Only the thread that issued a send can cancel it (CancelIoEx is not on every
            // system this runs on).
            CancelIo(reinterpret_cast<HANDLE>(socket));
            DWORD sent = 0;
            DWORD flags = 0;
            WSAGetOverlappedResult(socket, overlapped, &sent, TRUE, &flags);
            return false;
        }
        if (sendOver(socket, overlapped)) return true;
        // Still signalled by the previous send: Windows NT's I/O manager and Wine's server both
        // clear the event as a send starts, but a provider that did not would land here. The
        // second look closes the race with a send that completes between the two calls.
        WSAResetEvent(overlapped->hEvent);
        if (sendOver(socket, overlapped)) return true;
    }
}

}  // namespace

bool sendWholeUnless(SOCKET socket, const char* data, unsigned length, WSAEVENT event, HANDLE stop)
{
    while (length > 0) {
        WSAOVERLAPPED overlapped;
        ZeroMemory(&overlapped, sizeof overlapped);
        overlapped.hEvent = event;
        WSABUF buffer;
        buffer.len = length;
        buffer.buf = const_cast<char*>(data);
        DWORD sent = 0;
        if (WSASend(socket, &buffer, 1, &sent, 0, &overlapped, nullptr) == SOCKET_ERROR) {
            if (WSAGetLastError() != WSA_IO_PENDING) return false;
            if (!awaitSend(socket, &overlapped, stop)) return false;
        }
        DWORD flags = 0;
        if (!WSAGetOverlappedResult(socket, &overlapped, &sent, TRUE, &flags)) return false;
        if (sent == 0 || sent > length) return false;
        data += sent;
        length -= sent;
    }
    return true;
}
