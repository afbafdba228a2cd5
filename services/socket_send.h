// Sending a whole buffer on a socket from a worker thread.
#pragma once

#include <winsock2.h>

// Worker threads: overlapped sends, one in flight, until all `length` bytes are taken or the
// connection fails. `event` is the caller's own WSAEVENT, reused for every send without a reset.
// Gives up when the event `stop` (which may be null) is set while a send is pending: that send is
// cancelled and waited for before this returns false. Whoever sets `stop` also shuts the socket
// down, so that a send that would complete at once fails instead.
bool sendWholeUnless(SOCKET socket, const char* data, unsigned length, WSAEVENT event, HANDLE stop);

