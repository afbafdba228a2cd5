// The window layer: the main window's class and centred frame, its controls in their fixed
// layout, and the modeless connect dialog, created hidden and kept above other windows.

#include "ui/controls.h"

#include <commctrl.h>

#include "app/app_state.h"
#include "app/ids.h"
#include "app/main_window.h"
#include "fetch/choose.h"
#include "fetch/connect.h"

namespace {

const char* const MAIN_CLASS = "MyClassWindow";
const int WINDOW_WIDTH = 700;
const int WINDOW_HEIGHT = 500;
const DWORD MAIN_STYLE = 0x00CA0000;  // overlapped, caption, system menu, minimise box
const DWORD LIST_STYLE = 0x50A01143;
const DWORD BAR_STYLE = 0x50000001;
const DWORD LABEL_STYLE = 0x50000001;
const DWORD BUTTON_STYLE = 0x50000000;

HWND makeControl(HWND parent, DWORD exStyle, const char* className, const char* text, DWORD style, int x, int y,
                 int width, int height, int id)
{
    return CreateWindowExA(exStyle, className, text, style, x, y, width, height, parent,
                           reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), app.instanceHandle, nullptr);
}

HWND makeList(HWND parent, int y, int height)
{
    HWND list = makeControl(parent, WS_EX_CLIENTEDGE, "LISTBOX", nullptr, LIST_STYLE, 20, y, 660, height, 0);
    SendMessageA(list, WM_SETFONT, reinterpret_cast<WPARAM>(GetStockObject(SYSTEM_FIXED_FONT)), TRUE);
    return list;
}

HWND makeBar(HWND parent, int y)
{
    HWND bar = makeControl(parent, 0, PROGRESS_CLASSA, nullptr, BAR_STYLE, 20, y, 460, 20, 0);
    SendMessageA(bar, PBM_SETPOS, 0, 0);
    return bar;
}

}  // namespace

void registerMainWindowClass()
{
    WNDCLASSEXA windowClass;
    ZeroMemory(&windowClass, sizeof windowClass);
    windowClass.cbSize = sizeof windowClass;
    windowClass.style = CS_HREDRAW | CS_VREDRAW | CS_BYTEALIGNWINDOW;
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
    // Unsigned halving, as the frame has always been placed; a screen smaller than the
    // window gives a negative position, used as it is.
    unsigned screenWidth = static_cast<unsigned>(GetSystemMetrics(SM_CXSCREEN));
    unsigned screenHeight = static_cast<unsigned>(GetSystemMetrics(SM_CYSCREEN));
    int x = static_cast<int>(screenWidth >> 1) - (WINDOW_WIDTH >> 1);
    int y = static_cast<int>(screenHeight >> 1) - (WINDOW_HEIGHT >> 1);
    return CreateWindowExA(0, MAIN_CLASS, "Caldervine", MAIN_STYLE, x, y, WINDOW_WIDTH, WINDOW_HEIGHT, nullptr,
                           nullptr, app.instanceHandle, nullptr);
}

void createMainControls(HWND window)
{
    app.requestedList = makeList(window, 80, 110);
    app.remoteList = makeList(window, 230, 150);
    app.remoteListBaseProc = reinterpret_cast<WNDPROC>(
        SetWindowLongPtrA(app.remoteList, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(remoteListProc)));
    makeControl(window, 0, "BUTTON", "O.K", BUTTON_STYLE, 300, 400, 100, 25, IDM_DOWNLOAD);
    app.downloadBar = makeBar(window, 20);
    app.uploadBar = makeBar(window, 50);
    makeControl(window, WS_EX_STATICEDGE, "STATIC", "Download", LABEL_STYLE, 500, 20, 180, 20, 0);
    makeControl(window, WS_EX_STATICEDGE, "STATIC", "Upload", LABEL_STYLE, 500, 50, 180, 20, 0);
}

HWND createConnectDialog()
{
    HWND dialog = CreateDialogParamA(app.instanceHandle, "MYDIALOG", nullptr, connectDialogProc, 0);
    SetDlgItemTextA(dialog, IDC_PORT, "21120");
    ShowWindow(dialog, SW_HIDE);
    WINDOWPLACEMENT placement;
    ZeroMemory(&placement, sizeof placement);
    placement.length = sizeof placement;
    GetWindowPlacement(dialog, &placement);
    const RECT& place = placement.rcNormalPosition;
    SetWindowPos(dialog, HWND_TOPMOST, place.left, place.top, place.right - place.left, place.bottom - place.top,
                 SWP_HIDEWINDOW);
    return dialog;
}
