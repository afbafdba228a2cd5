// The one process-wide state record, shared by the user-interface thread and the workers.
// Each field says who writes it. Fields touched by two threads are single 32-bit words.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include "core/names.h"
#include "core/overlap.h"
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
    SOCKET fetchSocket;                  // UI, start-up; replaced after a failed attempt and after each connection
    // UI, window creation; closed at exit. Workers open the named lock "Caldervine" by name for
    // each bar update; this handle keeps it in existence for the whole run.
    HANDLE progressLock;
    char workingDirectory[PATH_CAPACITY];  // UI, start-up
    char sharePattern[PATH_CAPACITY];    // UI, window creation

    // Fetching side.
    volatile LONG fetchConnected;        // UI: 1 once an attempt has connected (Receiver runs); 0 when Connect is offered again
    volatile LONG fetchClosed;           // UI on the close notification and each connection, Receiver when its connection ends
    // The download: fetch/download.cpp alone touches these, from the thread that holds downloadState.
    volatile LONG downloadState;         // who holds the download; changed only by compare-and-swap
    HANDLE downloadFile;                 // UI opens it; its last holder closes it
    uint32_t expectedSize;               // UI while opening: the listed size
    uint32_t receivedBytes;              // UI while opening: the local size; Receiver adds what it writes
    uint32_t downloadStartSize;          // UI while opening: the local size before this download's request
    uint32_t downloadOffset;             // UI while opening, Receiver for the confirming request: the offset asked for
    char downloadName[PATH_CAPACITY];    // UI while opening: the name the file is saved under
    char downloadEntry[PATH_CAPACITY];   // UI while opening: the entry as requestedList holds it
    char downloadRequest[RECORD_SIZE];   // UI while opening: the request the receiver sends
    char downloadLastByte;               // Receiver: the file's last byte, written once its end is confirmed
    DWORD downloadHeldAt;                // UI while opening, Receiver for the confirming request: when it began to wait
    char downloadTail[OVERLAP_SIZE];     // UI while opening, Receiver for the confirming request: the local
                                         // bytes the answer's head must repeat

    // Sharing side.
    struct ShareConnection* sharePeer;   // UI, each accept: the peer's connection; only share/ looks inside it
};

extern AppState app;

