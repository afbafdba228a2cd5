// Whole sends: a record or a chunk is never left cut on the wire.

#include "app/socket_send.h"

bool sendWhole(SOCKET socket, const char* data, unsigned length, WSAEVENT event)
{
    while (length > 0) {
        WSAOVERLAPPED overlapped;
        ZeroMemory(&overlapped, sizeof overlapped);
        WSAResetEvent(event);
        overlapped.hEvent = event;
        WSABUF buffer;
        buffer.len = length;
        buffer.buf = const_cast<char*>(data);
        DWORD sent = 0;
        if (WSASend(socket, &buffer, 1, &sent, 0, &overlapped, nullptr) == SOCKET_ERROR) {
            if (WSAGetLastError() != WSA_IO_PENDING) return false;
        }
        DWORD flags = 0;
        if (!WSAGetOverlappedResult(socket, &overlapped, &sent, TRUE, &flags)) return false;
        if (sent == 0 || sent > length) return false;
        data += sent;
        length -= sent;
    }
    return true;
}
