// Routing of the main window's messages, socket notifications and commands, with the handlers
// that belong to the application itself: creation, the exit question and the About box.

#include "app/main_window.h"

#include <shellapi.h>

#include "app/app_state.h"
#include "app/ids.h"
#include "app/title.h"
#include "fetch/choose.h"
#include "fetch/connect.h"
#include "share/share_side.h"
#include "ui/controls.h"

namespace {

void onCreate(HWND window)
{
    app.progressLock = CreateMutexA(nullptr, FALSE, "Caldervine");
    app.mainMenu = LoadMenuA(app.instanceHandle, MAKEINTRESOURCEA(IDR_MAIN_MENU));
    SetMenu(window, app.mainMenu);
    createMainControls(window);
    joinPath(app.workingDirectory, "\\Share\\*.*", "", 0, app.sharePattern);
    joinPath(app.workingDirectory, "\\Incoming\\", "", 0, app.incomingPath);
    app.downloadBusy = 0;
}

void onCloseRequest(HWND window)
{
    // Only Yes exits: a box dismissed another way (Escape, on some systems) keeps the program running.
    if (MessageBoxA(window, "Do you want to exit ?", "Caldervine...", MB_YESNO | MB_ICONQUESTION) != IDYES) return;
    if (app.progressLock != nullptr) {
        CloseHandle(app.progressLock);
        app.progressLock = nullptr;
    }
    PostQuitMessage(0);
}

void onConnectCommand() { ShowWindow(app.connectDialog, SW_SHOWNORMAL); }

void onExitCommand(HWND window) { SendMessageA(window, WM_CLOSE, 0, 0); }

void onAboutCommand(HWND window)
{
    ShellAboutA(window, "Caldervine",
                "Two copies, one on each side, exchange files over TCP port 21120.\r\n"
                "Written by the Caldervine developers.",
                nullptr);
}

LRESULT onCommand(HWND window, WPARAM command)
{
    switch (command) {
    case IDM_CONNECT: onConnectCommand(); return 0;
    case IDM_EXIT: onExitCommand(window); return 0;
    case IDM_ABOUT: onAboutCommand(window); return 0;
    case IDM_START_DOWNLOAD: return onStartDownload();
    case IDM_DOWNLOAD: return onDownloadCommand();
    default: return 0;  // list notifications (identifier 0) and anything else
    }
}

void onShareSocket(WPARAM socketHandle, LPARAM lParam)
{
    switch (WSAGETSELECTEVENT(lParam)) {
    case FD_ACCEPT: onShareAccept(); return;
    case FD_READ: onShareReadable(); return;
    case FD_WRITE: onShareWritable(); return;
    case FD_CLOSE: onShareClosed(static_cast<SOCKET>(socketHandle)); return;
    default: return;
    }
}

}  // namespace

LRESULT CALLBACK mainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_CREATE: onCreate(window); return 0;
    case WM_CLOSE: onCloseRequest(window); return 0;
    case WM_DESTROY: PostQuitMessage(0); return 0;
    case WM_COMMAND: return onCommand(window, wParam);
    case WM_SHARE_SOCKET: onShareSocket(wParam, lParam); return 0;
    case WM_APPLY_TITLE_RULE: applyStatusRule(static_cast<TitleRule>(wParam)); return 0;
    case WM_SHARE_WORKER_DONE: onShareWorkerDone(wParam, lParam); return 0;
    default: return DefWindowProcA(window, message, wParam, lParam);
    }
}
