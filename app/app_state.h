// The one process-wide state record, shared by the user-interface thread and the workers.
// Each field says who writes it. Fields touched by two threads are single 32-bit words.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include "core/names.h"
#include "core/records.h"

struct AppState {
    HINSTANCE instanceHandle;            // UI, start-up
    HWND mainWindow;                     // UI, start-up (the creation handler gets it as a parameter)
    HWND connectDialog;                  // UI, start-up
    HMENU mainMenu;                      // UI, window creation
    HWND requestedList;                  // UI, window creation
    HWND remoteList;                     // UI, window creation
    WNDPROC remoteListBaseProc;          // UI, window creation
    HWND downloadBar;                    // UI, window creation
    HWND uploadBar;                      // UI, window creation
    SOCKET listenSocket;                 // UI, start-up
    SOCKET fetchSocket;                  // UI, start-up; replaced by UI after a failed attempt
    SOCKET peerSocket;                   // UI, each accept (the previous peer is closed)
    HANDLE progressLock;                 // UI, window creation; closed at exit
    char workingDirectory[PATH_CAPACITY];  // UI, start-up
    char sharePattern[PATH_CAPACITY];    // UI, window creation
    char incomingPath[PATH_CAPACITY];    // UI, window creation and each request
    char shareFilePath[PATH_CAPACITY];   // UI, each request taken
    char selectedName[PATH_CAPACITY];    // UI, each choice in remoteList
    char selectedEntry[PATH_CAPACITY];   // UI, each choice in remoteList

    // Fetching side.
    volatile LONG fetchAttempt;          // UI: bumped at each connect attempt; the receiver of an older one stops
    volatile LONG fetchConnected;        // UI: 1 once an attempt has connected (Connect stays grayed)
    volatile LONG fetchClosed;           // UI on the close notification, Receiver when its connection ends
    volatile LONG expectedSize;          // UI when a download is decided; Receiver: 0 when it ends
    volatile LONG receivedBytes;         // UI: local size at the request; Receiver: adds what it writes
    HANDLE downloadFile;                 // UI opens before the request; Receiver writes and closes
    volatile LONG downloadBusy;          // UI: 1 when a download is decided; Receiver: 0 when it ends
    volatile LONG downloadActive;        // UI: 1 as the request leaves; Receiver: 0 when it ends
    char downloadName[PATH_CAPACITY];    // UI, before the request: the name the download is saved under

    // Sharing side.
    // UI, each accept: the peer's connection, whose socket is also peerSocket. Only
    // share/share_side.cpp looks inside it.
    struct ShareConnection* sharePeer;
};

extern AppState app;

