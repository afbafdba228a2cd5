// The sharing side: accepting a peer on port 21120, sending it the Share listing, taking its
// requests and streaming the requested files.
#pragma once

#include <winsock2.h>
#include <windows.h>

// UI thread, from the main window's routing.
void onShareAccept();
void onShareReadable();
void onShareWritable();
void onShareClosed(SOCKET socket);
void onShareWorkerDone(WPARAM kind, LPARAM generation);
