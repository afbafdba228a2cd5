// Whole sends: a record or a chunk is never left cut on the wire.

#include "app/socket_send.h"

bool sendWholeUnless(SOCKET socket, const char* data, unsigned length, WSAEVENT event, HANDLE stop)
{
    while (length > 0) {
        if (stop != nullptr && WaitForSingleObject(stop, 0) == WAIT_OBJECT_0) return false;
        WSAOVERLAPPED overlapped;
        ZeroMemory(&overlapped, sizeof overlapped);
        WSAResetEvent(event);
        overlapped.hEvent = event;
        WSABUF buffer;
        buffer.len = length;
        buffer.buf = const_cast<char*>(data);
        DWORD sent = 0;
        bool stopped = false;
        if (WSASend(socket, &buffer, 1, &sent, 0, &overlapped, nullptr) == SOCKET_ERROR) {
            if (WSAGetLastError() != WSA_IO_PENDING) return false;
            if (stop != nullptr) {
                HANDLE waits[2] = {event, stop};
                if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0) {
                    // Only the thread that issued a send can cancel it (CancelIoEx is not on
                    // every system this runs on); the wait below then sees it end.
                    CancelIo(reinterpret_cast<HANDLE>(socket));
                    stopped = true;
                }
            }
        }
        // Also after a cancel: `overlapped` lives in this frame, so the send must be over before
        // the frame goes.
        DWORD flags = 0;
        BOOL completed = WSAGetOverlappedResult(socket, &overlapped, &sent, TRUE, &flags);
        if (stopped || !completed) return false;
        if (sent == 0 || sent > length) return false;
        data += sent;
        length -= sent;
    }
    return true;
}
