// Sending a whole buffer on a socket from a worker thread.
#pragma once

#include <winsock2.h>

// Worker threads: overlapped sends, one in flight, until all `length` bytes are taken or the
// connection fails. `event` is the caller's own WSAEVENT, reused for every send.
bool sendWhole(SOCKET socket, const char* data, unsigned length, WSAEVENT event);
