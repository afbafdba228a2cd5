// The sharing side: accepting a peer on port 21120, sending it the Share listing, taking its
// requests and streaming the requested files.
#pragma once

#include <winsock2.h>
#include <windows.h>

// UI thread, from the main window's routing.
void onShareAccept();
// The socket is the one the notification names.
void onShareReadable(SOCKET socket);
void onShareWritable(SOCKET socket);
void onShareClosed(SOCKET socket);
// WM_SHARE_WORKER_DONE: a worker has ended (its outcome, its connection).
void onShareWorkerDone(WPARAM outcome, LPARAM connection);
// WM_SHARE_CONNECTION_GONE: nothing uses the connection any more; its socket is closed.
void onShareConnectionGone(LPARAM connection);
