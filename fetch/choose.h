// Choosing an entry of the peer's listing and requesting it into Incoming, resuming from the
// size of the local copy.
#pragma once

#include <windows.h>

// Window creation: puts remoteListProc in front of the list box's own procedure.
void installRemoteListProc(HWND list);
// Main window command: View > Download and the O.K button (55) choose the selected entry.
LRESULT onViewDownload();
