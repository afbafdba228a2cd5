// The main window: its class and centred frame, and its procedure, which routes every message,
// socket notification and command to one handler. The handlers that belong to the application
// itself are here: creation, the exit question and the About box.

#include "app/main_window.h"

#include <shellapi.h>

#include "fetch/choose.h"
#include "fetch/connect.h"
#include "fetch/receiver.h"
#include "services/app_state.h"
#include "services/controls.h"
#include "services/ids.h"
#include "services/message_box.h"
#include "services/status_title.h"
#include "share/connection.h"

namespace {

const char* const MAIN_CLASS = "MyClassWindow";
const int WINDOW_WIDTH = 700;
const int WINDOW_HEIGHT = 500;
constexpr DWORD MAIN_STYLE = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
constexpr UINT MAIN_CLASS_STYLE = CS_HREDRAW | CS_VREDRAW | CS_BYTEALIGNWINDOW;
static_assert(MAIN_STYLE == 0x00CA0000, "main window style");
static_assert(MAIN_CLASS_STYLE == 0x2003, "main window class style");

void onCreate(HWND window)
{
    app.progressLock = CreateMutexA(nullptr, FALSE, "Caldervine");
    app.mainMenu = LoadMenuA(app.instanceHandle, MAKEINTRESOURCEA(IDR_MAIN_MENU));
    SetMenu(window, app.mainMenu);
    createMainControls(window);
    installRemoteListProc(app.remoteList);
    joinPath(app.workingDirectory, "\\Share\\*.*", "", 0, app.sharePattern);
}

void onCloseRequest(HWND window)
{
    // Only Yes exits: a box dismissed another way (Escape, on some systems) keeps the program running.
    if (!askYesNo(window, "Do you want to exit ?", CAPTION_WITH_DOTS)) return;
    if (app.progressLock != nullptr) {
        CloseHandle(app.progressLock);
        app.progressLock = nullptr;
    }
    PostQuitMessage(EXIT_CONFIRMED);
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
    case IDM_DOWNLOAD: return onViewDownload();
    default: return 0;  // list notifications (identifier 0) and anything else
    }
}

void onShareSocket(WPARAM socketHandle, LPARAM lParam)
{
    switch (WSAGETSELECTEVENT(lParam)) {
    case FD_ACCEPT: onShareAccept(); return;
    case FD_READ: onShareReadable(static_cast<SOCKET>(socketHandle)); return;
    case FD_WRITE: onShareWritable(static_cast<SOCKET>(socketHandle)); return;
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
    case WM_SHARE_CONNECTION_GONE: onShareConnectionGone(lParam); return 0;
    case WM_LISTING_ENTRIES: onListingEntries(wParam, lParam); return 0;
    default: return DefWindowProcA(window, message, wParam, lParam);
    }
}

void registerMainWindowClass()
{
    WNDCLASSEXA windowClass;
    ZeroMemory(&windowClass, sizeof windowClass);
    windowClass.cbSize = sizeof windowClass;
    windowClass.style = MAIN_CLASS_STYLE;
    windowClass.lpfnWndProc = mainWindowProc;
    windowClass.hInstance = app.instanceHandle;
    windowClass.hIcon = LoadIconA(app.instanceHandle, MAKEINTRESOURCEA(IDI_CALDERVINE));
    windowClass.hIconSm = LoadIconA(app.instanceHandle, MAKEINTRESOURCEA(IDI_CALDERVINE));
    windowClass.hCursor = LoadCursorA(nullptr, IDC_ARROW);
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    windowClass.lpszClassName = MAIN_CLASS;
    RegisterClassExA(&windowClass);
}

HWND createMainWindow()
{
    // Centred by unsigned halving: a screen smaller than the window gives a negative position,
    // used as it is.
    unsigned screenWidth = static_cast<unsigned>(GetSystemMetrics(SM_CXSCREEN));
    unsigned screenHeight = static_cast<unsigned>(GetSystemMetrics(SM_CYSCREEN));
    int x = static_cast<int>(screenWidth >> 1) - (WINDOW_WIDTH >> 1);
    int y = static_cast<int>(screenHeight >> 1) - (WINDOW_HEIGHT >> 1);
    return CreateWindowExA(0, MAIN_CLASS, "Caldervine", MAIN_STYLE, x, y, WINDOW_WIDTH, WINDOW_HEIGHT, nullptr,
                           nullptr, app.instanceHandle, nullptr);
}
