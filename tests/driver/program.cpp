// The program under test as the driver finds it: its main window (attached to by class, again
// after a restart), the connect dialog and message boxes among its top-level windows, the lists
// and bars by their place, and what each of them shows.
#include "driver.h"

#include <commctrl.h>

namespace driver {

const wchar_t MAIN_CLASS[] = L"MyClassWindow";

const DWORD ANSWER_TIMEOUT_MS = 3000;  // for each message sent to the program
const DWORD POLL_MS = 20;
const wchar_t DIALOG_CLASS[] = L"#32770";
const wchar_t CONNECT_CAPTION[] = L"Authentication required";

// ---------------------------------------------------------------------------------------------
// Finding the program's windows

Program program;

void attach(HWND window)
{
    DWORD pid = 0;
    DWORD thread = GetWindowThreadProcessId(window, &pid);
    if (pid != program.pid) {
        if (program.process != nullptr) CloseHandle(program.process);
        program.process = OpenProcess(PROCESS_QUERY_INFORMATION | SYNCHRONIZE, FALSE, pid);
        program.pid = pid;
    }
    program.main = window;
    program.uiThread = thread;
}

// The program may be restarted: the main window is looked for again when the one known has gone.
HWND mainWindow()
{
    if (program.main != nullptr && IsWindow(program.main)) return program.main;
    HWND window = FindWindowW(MAIN_CLASS, nullptr);
    if (window == nullptr) fail("no main window");
    attach(window);
    return window;
}

std::wstring className(HWND window)
{
    wchar_t name[256] = {0};
    GetClassNameW(window, name, 256);
    return name;
}

std::wstring caption(HWND window)  // the caption the system keeps: never blocks on the program
{
    int length = GetWindowTextLengthW(window);
    std::wstring text(static_cast<size_t>(length) + 1, L'\0');
    int got = GetWindowTextW(window, &text[0], length + 1);
    text.resize(static_cast<size_t>(got > 0 ? got : 0));
    return text;
}

LRESULT sendTo(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    DWORD_PTR result = 0;
    if (!SendMessageTimeoutW(window, message, wParam, lParam, SMTO_NORMAL, ANSWER_TIMEOUT_MS, &result))
        fail("window " + narrow(className(window)) + " gave no answer");
    return static_cast<LRESULT>(result);
}

void postTo(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (!PostMessageW(window, message, wParam, lParam)) fail("cannot post to the window");
}

std::wstring windowText(HWND window)  // WM_GETTEXT: a control's own text, even in another process
{
    LRESULT length = sendTo(window, WM_GETTEXTLENGTH, 0, 0);
    std::vector<wchar_t> text(static_cast<size_t>(length > 0 ? length : 0) + 64, L'\0');
    LRESULT got = sendTo(window, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()));
    return std::wstring(text.data(), static_cast<size_t>(got > 0 ? got : 0));
}

static BOOL CALLBACK collectProgramWindow(HWND window, LPARAM list)
{
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    if (pid == program.pid) reinterpret_cast<std::vector<HWND>*>(list)->push_back(window);
    return TRUE;
}

static std::vector<HWND> topLevelWindows()  // the program's, top of the Z order first
{
    mainWindow();
    std::vector<HWND> found;
    EnumWindows(collectProgramWindow, reinterpret_cast<LPARAM>(&found));
    return found;
}

HWND findConnectDialog()
{
    for (HWND window : topLevelWindows())
        if (className(window) == DIALOG_CLASS && caption(window) == CONNECT_CAPTION) return window;
    return nullptr;
}

std::vector<HWND> messageBoxes()
{
    std::vector<HWND> boxes;
    for (HWND window : topLevelWindows())
        if (IsWindowVisible(window) && className(window) == DIALOG_CLASS && caption(window) != CONNECT_CAPTION)
            boxes.push_back(window);
    return boxes;
}

static HWND connectDialog()
{
    HWND dialog = findConnectDialog();
    if (dialog == nullptr) fail("no connect dialog");
    return dialog;
}

HWND messageBox()
{
    std::vector<HWND> boxes = messageBoxes();
    if (boxes.empty()) fail("no message box");
    return boxes.front();
}

HWND namedWindow(const std::string& name)
{
    if (name == "main") return mainWindow();
    if (name == "dialog") return connectDialog();
    if (name == "msgbox") return messageBox();
    fail("unknown window: " + name + " (main, dialog or msgbox)");
}

std::vector<HWND> children(HWND parent)
{
    std::vector<HWND> found;
    for (HWND child = GetWindow(parent, GW_CHILD); child != nullptr; child = GetWindow(child, GW_HWNDNEXT))
        found.push_back(child);
    return found;
}

HWND childById(HWND parent, long long id)
{
    for (HWND child : children(parent))
        if (GetWindowLongPtrW(child, GWLP_ID) == static_cast<LONG_PTR>(id)) return child;
    fail("no control with id " + std::to_string(id));
}

RECT rectInParent(HWND child)
{
    RECT r;
    GetWindowRect(child, &r);
    MapWindowPoints(nullptr, GetParent(child), reinterpret_cast<POINT*>(&r), 2);
    return r;
}

// The main window's children of one class, from top to bottom.
static std::vector<HWND> childrenByClass(const wchar_t* wanted)
{
    std::vector<HWND> found;
    for (HWND child : children(mainWindow()))
        if (lstrcmpiW(className(child).c_str(), wanted) == 0) found.push_back(child);
    for (size_t i = 1; i < found.size(); ++i)
        for (size_t j = i; j > 0 && rectInParent(found[j]).top < rectInParent(found[j - 1]).top; --j)
            std::swap(found[j], found[j - 1]);
    return found;
}

HWND namedList(const std::string& name)
{
    std::vector<HWND> lists = childrenByClass(L"ListBox");
    if (lists.size() < 2) fail("the main window has " + std::to_string(lists.size()) + " list boxes");
    if (name == "requested") return lists[0];
    if (name == "remote") return lists[1];
    fail("unknown list: " + name + " (requested or remote)");
}

HWND namedBar(const std::string& name)
{
    std::vector<HWND> bars = childrenByClass(PROGRESS_CLASSW);
    if (bars.size() < 2) fail("the main window has " + std::to_string(bars.size()) + " progress bars");
    if (name == "download") return bars[0];
    if (name == "upload") return bars[1];
    fail("unknown bar: " + name + " (download or upload)");
}

// Polls until ready() holds or the time is up; true when it held.
bool waitFor(long long timeout, const std::function<bool()>& ready)
{
    DWORD start = GetTickCount();
    for (;;) {
        if (ready()) return true;
        if (static_cast<long long>(GetTickCount() - start) >= timeout) return false;
        Sleep(POLL_MS);
    }
}

// ---------------------------------------------------------------------------------------------
// Reports

std::string describeWindow(HWND window)
{
    RECT outer, client;
    GetWindowRect(window, &outer);
    GetClientRect(window, &client);
    MapWindowPoints(window, nullptr, reinterpret_cast<POINT*>(&client), 2);
    LONG_PTR exStyle = GetWindowLongPtrW(window, GWL_EXSTYLE);
    return object({{"hwnd", handleString(window)},
                   {"window", rectArray(outer)},
                   {"client", rectArray(client)},
                   {"style", styleString(GetWindowLongPtrW(window, GWL_STYLE))},
                   {"exstyle", styleString(exStyle)},
                   {"visible", boolean(IsWindowVisible(window))},
                   {"enabled", boolean(IsWindowEnabled(window))},
                   {"topmost", boolean((exStyle & WS_EX_TOPMOST) != 0)}});
}

std::string describeList(HWND list)
{
    LRESULT count = sendTo(list, LB_GETCOUNT, 0, 0);
    std::vector<std::string> items;
    for (LRESULT i = 0; i < count; ++i) {
        LRESULT length = sendTo(list, LB_GETTEXTLEN, static_cast<WPARAM>(i), 0);
        if (length < 0) fail("entry " + std::to_string(i) + " is unreadable");
        std::vector<wchar_t> text(static_cast<size_t>(length) + 1, L'\0');
        LRESULT got = sendTo(list, LB_GETTEXT, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(text.data()));
        items.push_back(quote(std::wstring(text.data(), static_cast<size_t>(got > 0 ? got : 0))));
    }
    return object({{"count", number(count)},
                   {"selected", number(sendTo(list, LB_GETCURSEL, 0, 0))},
                   {"top", number(sendTo(list, LB_GETTOPINDEX, 0, 0))},
                   {"items", array(items)}});
}

std::string describeMessageBox(HWND box, size_t count)
{
    std::wstring text;
    bool textByIdentity = false;
    std::vector<std::string> buttons;
    for (HWND child : children(box)) {
        std::wstring kind = className(child);
        LONG_PTR id = GetWindowLongPtrW(child, GWLP_ID);
        if (lstrcmpiW(kind.c_str(), L"Button") == 0 && IsWindowVisible(child)) {
            buttons.push_back(object({{"id", number(id)}, {"text", quote(windowText(child))}}));
        } else if (lstrcmpiW(kind.c_str(), L"Static") == 0 &&
                   (GetWindowLongPtrW(child, GWL_STYLE) & SS_TYPEMASK) != SS_ICON && !textByIdentity) {
            // Windows numbers the text 0xFFFF, Wine 100; otherwise the longest static text.
            std::wstring candidate = windowText(child);
            if (id == 0xFFFF || id == 100) {
                text = candidate;
                textByIdentity = true;
            } else if (candidate.size() > text.size()) {
                text = candidate;
            }
        }
    }
    HWND owner = GetWindow(box, GW_OWNER);
    std::string ownerName = owner == nullptr              ? quote("none")
                            : owner == mainWindow()       ? quote("main")
                            : owner == findConnectDialog() ? quote("dialog")
                                                           : handleString(owner);
    DWORD thread = GetWindowThreadProcessId(box, nullptr);
    return object({{"hwnd", handleString(box)},
                   {"caption", quote(caption(box))},
                   {"text", quote(text)},
                   {"icon", quote(iconKind(box).c_str())},
                   {"buttons", array(buttons)},
                   {"owner", ownerName},
                   {"thread", quote(thread == program.uiThread ? "ui" : "worker")},
                   {"count", number(static_cast<long long>(count))}});
}

}  // namespace driver
