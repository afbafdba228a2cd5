// Choosing an entry of the peer's listing and requesting it into Incoming, resuming from the
// size of the local copy.
#pragma once

#include <windows.h>

LRESULT CALLBACK remoteListProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
// Main window commands.
LRESULT onDownloadCommand();
LRESULT onStartDownload();
