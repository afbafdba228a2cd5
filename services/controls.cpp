// The main window's controls: two sorted lists, the O.K button, the two progress bars and their
// labels, each at its fixed place.

#include "services/controls.h"

#include <commctrl.h>

#include "services/app_state.h"
#include "services/ids.h"

namespace {

constexpr DWORD LIST_STYLE = WS_CHILD | WS_VISIBLE | WS_BORDER | WS_VSCROLL | LBS_NOTIFY | LBS_SORT |
                             LBS_HASSTRINGS | LBS_NOINTEGRALHEIGHT | LBS_DISABLENOSCROLL;
constexpr DWORD BAR_STYLE = WS_CHILD | WS_VISIBLE | PBS_SMOOTH;
constexpr DWORD LABEL_STYLE = WS_CHILD | WS_VISIBLE | SS_CENTER;
constexpr DWORD BUTTON_STYLE = WS_CHILD | WS_VISIBLE | BS_PUSHBUTTON;
static_assert(LIST_STYLE == 0x50A01143, "list style");
static_assert(BAR_STYLE == 0x50000001, "progress bar style");
static_assert(LABEL_STYLE == 0x50000001, "label style");
static_assert(BUTTON_STYLE == 0x50000000, "button style");

HWND makeControl(HWND parent, DWORD exStyle, const char* className, const char* text, DWORD style, int x, int y,
                 int width, int height, int id)
{
    return CreateWindowExA(exStyle, className, text, style, x, y, width, height, parent,
                           reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), app.instanceHandle, nullptr);
}

// Entries are column-aligned text: only a fixed-pitch font keeps the columns straight.
HWND makeList(HWND parent, int y, int height)
{
    HWND list = makeControl(parent, WS_EX_CLIENTEDGE, "LISTBOX", nullptr, LIST_STYLE, 20, y, 660, height, 0);
    SendMessageA(list, WM_SETFONT, reinterpret_cast<WPARAM>(GetStockObject(SYSTEM_FIXED_FONT)), TRUE);
    return list;
}

typedef HRESULT(WINAPI* SetWindowThemeProc)(HWND, LPCWSTR, LPCWSTR);

// A bar repaints inside every position change, while the transfer's worker waits for it. Drawn
// by a visual style (Wine's default theme among them) that repaint is a gradient costing the
// user-interface thread milliseconds; drawn plain it is a few rectangles. The theme library
// exists only from Windows XP on, so it is looked up at run time: without it the bars are plain.
void drawPlain(HWND bar)
{
    static SetWindowThemeProc setWindowTheme = [] {
        HMODULE theme = LoadLibraryA("uxtheme.dll");
        return theme != nullptr ? reinterpret_cast<SetWindowThemeProc>(GetProcAddress(theme, "SetWindowTheme"))
                                : nullptr;
    }();
    // A name that matches no part of any style leaves the window unstyled.
    if (setWindowTheme != nullptr) setWindowTheme(bar, L" ", L" ");
    // Unstyled, a bar's empty part has the window's own colour, so only its thin static edge shows
    // its place before the first transfer. The bar takes that edge into its style when it loses
    // its theme, but its frame is drawn anew only once told that the frame changed.
    SetWindowLongA(bar, GWL_EXSTYLE, GetWindowLongA(bar, GWL_EXSTYLE) | WS_EX_STATICEDGE);
    SetWindowPos(bar, nullptr, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOZORDER | SWP_FRAMECHANGED);
}

HWND makeBar(HWND parent, int y)
{
    HWND bar = makeControl(parent, 0, PROGRESS_CLASSA, nullptr, BAR_STYLE, 20, y, 460, 20, 0);
    drawPlain(bar);
    SendMessageA(bar, PBM_SETPOS, 0, 0);
    return bar;
}

}  // namespace

void createMainControls(HWND window)
{
    app.requestedList = makeList(window, 80, 110);
    app.remoteList = makeList(window, 230, 150);
    makeControl(window, 0, "BUTTON", "O.K", BUTTON_STYLE, 300, 400, 100, 25, IDM_DOWNLOAD);
    app.downloadBar = makeBar(window, 20);
    app.uploadBar = makeBar(window, 50);
    makeControl(window, WS_EX_STATICEDGE, "STATIC", "Download", LABEL_STYLE, 500, 20, 180, 20, 0);
    makeControl(window, WS_EX_STATICEDGE, "STATIC", "Upload", LABEL_STYLE, 500, 50, 180, 20, 0);
}
