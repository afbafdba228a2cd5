// The test driver: a console program that works Caldervine's windows from outside, the way a
// user's mouse and keyboard would, and reads back what they show. End-to-end tests keep one
// driver running next to the program and talk to it through stdin and stdout
// (tests/e2e/driver.py wraps it for Python).
//
// Protocol
//   One command per line on stdin (UTF-8, \n or \r\n); exactly one reply line per command on
//   stdout, flushed at once:
//     OK <json>       the command was done; <json> is one JSON value (object, array or string)
//     ERR <reason>    it could not be done; <reason> is plain text on the same line
//   Replies are pure ASCII: texts are JSON strings with every character outside printable ASCII
//   written as \uXXXX (UTF-16), so json.loads gives back the text the window shows. Window
//   handles are strings "0x..." (hex), styles strings "0x........".
//
//   Arguments are separated by spaces. A <text> argument is the whole rest of the line after
//   one separating space, kept as it is (leading and trailing spaces too) except for escapes:
//     \\  \n  \r  \t  \s (a space)  \uXXXX (one UTF-16 unit)
//
//   <window>  main | dialog (the connect dialog) | msgbox (the current message box)
//   <list>    requested | remote: the upper and the lower list box of the main window
//   <target>  a <list>, or a <window> (meaning the control in it that has the keyboard focus,
//             or the window itself)
//   <bar>     download | upload: the upper and the lower progress bar
//   Times are in milliseconds. A message sent to the program's windows that gets no answer
//   within 3000 ms fails the command ("ERR window ... gave no answer").
//   Actions are posted, as input is, so the reply comes at once even when the action opens a
//   modal message box; follow them with a wait-... or msgbox command.
//
// Commands
//   find-main [timeout]           wait (default 10000) for the main window (class MyClassWindow),
//                                 attach to it, and wait on until the program first waits for
//                                 input (WaitForInputIdle) -> {"hwnd","pid","thread","idle","count"}
//                                 Other commands attach by themselves, and again to a new main
//                                 window once the old one has gone.
//   pid                           -> {"pid"}
//   exited [timeout]              wait (default 0) for the program's process to end
//                                 -> {"alive":true} | {"alive":false,"code":N}
//   title                         -> "title of the main window"
//   wait-title <timeout> <text>   wait until the title contains <text> -> "title"
//   rect <window>                 -> {"hwnd","window":[l,t,r,b],"client":[l,t,r,b],"style",
//                                     "exstyle","visible","enabled","topmost"} (screen pixels)
//   dialog-state                  -> {"exists","visible","topmost","hwnd","window":[l,t,r,b]}
//   wait-dialog <shown|hidden> <timeout>   wait for the connect dialog -> as dialog-state
//   controls <window>             each direct child, in Z order (the order of creation) ->
//                                 [{"hwnd","class","id","text","style","exstyle","visible",
//                                   "enabled","rect":[x,y,w,h]}]  (pixels in the parent's
//                                 client area; "text" by WM_GETTEXT)
//   list <list>                   -> {"count","selected","top","items":["..."]}
//   wait-list <list> <n> <timeout>   wait until the list has at least <n> entries -> as list
//   item <list> <index>           one entry, cheaply while a long list fills
//                                 -> {"count","selected","text"} ("text" null past the end)
//   select <list> <index>         LB_SETCURSEL, then LBN_SELCHANGE to the parent as a click
//                                 would send it (-1 clears) -> {"selected"}
//   click-item <list> <index>     button down and up at the entry's centre, scrolled into view
//                                 first as a user would -> {"x","y"} (list client pixels)
//   dblclick <list> <index>       down, up, double-click, up at the entry's centre -> {"x","y"}
//   key <target> <key>...         each key pressed and released: WM_KEYDOWN and WM_KEYUP
//                                 posted; the program's own TranslateMessage makes the WM_CHAR,
//                                 as for a real key. <key>: a letter or digit, enter escape
//                                 space tab back delete up down left right home end prior next
//                                 alt f1..f12, a virtual-key code (decimal or 0x..), or
//                                 alt+<key> (held Alt: WM_SYSKEYDOWN/UP with the Alt bit).
//                                 Alt and F10 go as system keys. The menu bar titles have no
//                                 mnemonics, so File > Connect from the keyboard is
//                                 "key main f10 down c" (or "alt down c"); a grayed item is not
//                                 carried out that way, as for a user -> {}
//   char <target> <code>          WM_CHAR <code> posted, without key down and up -> {}
//   menu <id>                     a menu choice: WM_COMMAND <id> posted to the main window.
//                                 Refused ("ERR disabled") when menu-state can tell it is grayed
//   menu-state <id>               -> {"enabled","grayed","checked"}. Under Wine another
//                                 process's menu cannot be read: "ERR unreadable ..."
//   click <window> <id>           BM_CLICK posted to that button; refused when the button is
//                                 disabled or hidden, as nobody could click it -> {}
//   settext <window> <id> <text>  WM_SETTEXT; refused when the control is disabled or hidden
//   type <window> <id> <text>     one WM_CHAR per character, inserted where the caret is (so
//                                 settext "" first to replace); refused likewise -> {}
//   gettext <window> <id>         -> "text" (WM_GETTEXT)
//   close-box <window>            WM_SYSCOMMAND SC_CLOSE posted: what the close box sends -> {}
//   alt-f4 <window>               "key <window> alt+f4": DefWindowProc turns it into SC_CLOSE
//   msgbox [timeout]              wait (default 5000) for a message box of the program ->
//                                 {"hwnd","caption","text","icon","buttons":[{"id","text"}],
//                                  "owner":"main"|"dialog"|"none"|"0x..","thread":"ui"|"worker",
//                                  "count"}  ("count": boxes open at once; the topmost is shown)
//   msgbox-answer <button> [timeout]   BM_CLICK on a button of the current box: ok yes no
//                                 cancel abort retry ignore, a button id, or the button's text
//                                 without '&' (any case). Then waits (default 5000) until the
//                                 box is destroyed -> {"button","ms","destroyed"}
//   no-msgbox <ms>                fails as soon as a message box shows up within <ms> -> {}
//   progress <bar>                -> {"pos","max"}
//   post <window|list> <message> <wParam> <lParam>   any message, posted (numbers) -> {}
//   focus                         the program's UI thread: focus, active, capture and menu
//                                 owner windows, and the foreground window
//   sleep <ms>                    -> {}
//   quit                          -> {}, and the driver ends (so it does at the end of input)
//
// Message boxes are the program's visible top-level windows of class #32770 other than the
// connect dialog (caption "Authentication required"); ShellAbout's box counts as one too.
// "text" is the static numbered 0xFFFF (Windows) or 100 (Wine), else the longest static text.
//
// Icons ("information", "warning", "question", "error", "none", "unknown"): a box's icon is its
// visible SS_ICON static. Where icon handles are shared between processes (Windows), the handle
// from STM_GETICON equals LoadIcon(NULL, IDI_...) here. Under Wine each process loads icons of
// its own and cannot read another's, so the icon is read from the screen: the static's pixels are
// compared with each system icon drawn here at the static's size, over the pixels the icon covers
// completely; the best match of at least 95 % wins, else "unknown" (a hidden or covered box).
//
// Wine without a window manager: hiding a top-level window with a caption (a message box being
// answered, the connect dialog on Cancel) leaves its thread waiting about 2 s for the window
// manager that never answers, and that thread handles nothing meanwhile. msgbox-answer waits
// until the box is destroyed, so a reply means the program goes on. With the prefix's
// HKCU\Software\Wine\X11 Driver "Managed"="N" Wine draws the frames itself and there is no wait.

#include <windows.h>
#include <commctrl.h>

#include <fcntl.h>
#include <io.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace {

const DWORD ANSWER_TIMEOUT_MS = 3000;  // for each message sent to the program
const DWORD POLL_MS = 20;
const wchar_t MAIN_CLASS[] = L"MyClassWindow";
const wchar_t DIALOG_CLASS[] = L"#32770";
const wchar_t CONNECT_CAPTION[] = L"Authentication required";

struct Failure : std::runtime_error {
    using std::runtime_error::runtime_error;
};

[[noreturn]] void fail(const std::string& reason) { throw Failure(reason); }

// ---------------------------------------------------------------------------------------------
// Text

std::wstring widen(const std::string& utf8)
{
    if (utf8.empty()) return std::wstring();
    int length = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring out(static_cast<size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), &out[0], length);
    return out;
}

std::string narrow(const std::wstring& text)  // for error messages: non-ASCII becomes '?'
{
    std::string out;
    for (wchar_t c : text) out += (c >= 0x20 && c < 0x7F) ? static_cast<char>(c) : '?';
    return out;
}

std::string quote(const std::wstring& text)
{
    std::string out = "\"";
    char escape[8];
    for (wchar_t c : text) {
        switch (c) {
        case L'"': out += "\\\""; break;
        case L'\\': out += "\\\\"; break;
        case L'\n': out += "\\n"; break;
        case L'\r': out += "\\r"; break;
        case L'\t': out += "\\t"; break;
        default:
            if (c >= 0x20 && c < 0x7F) {
                out += static_cast<char>(c);
            } else {
                snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned>(c) & 0xFFFFu);
                out += escape;
            }
        }
    }
    return out + "\"";
}

std::string quote(const char* ascii) { return quote(widen(ascii)); }

std::string hexString(uint64_t value, int digits = 1)
{
    char text[32];
    snprintf(text, sizeof text, "\"0x%0*llx\"", digits, static_cast<unsigned long long>(value));
    return text;
}

std::string handleString(HWND window) { return hexString(reinterpret_cast<uintptr_t>(window)); }
std::string styleString(LONG_PTR style) { return hexString(static_cast<uint32_t>(style), 8); }
std::string number(long long value) { return std::to_string(value); }
std::string boolean(bool value) { return value ? "true" : "false"; }

using Fields = std::vector<std::pair<const char*, std::string>>;

std::string object(const Fields& fields)
{
    std::string out = "{";
    for (const auto& field : fields) {
        if (out.size() > 1) out += ",";
        out += quote(field.first) + ":" + field.second;
    }
    return out + "}";
}

std::string array(const std::vector<std::string>& items)
{
    std::string out = "[";
    for (const auto& item : items) {
        if (out.size() > 1) out += ",";
        out += item;
    }
    return out + "]";
}

std::string rectArray(const RECT& r)
{
    return array({number(r.left), number(r.top), number(r.right), number(r.bottom)});
}

// The escapes a <text> argument may carry (see the protocol above).
std::wstring unescape(const std::wstring& text)
{
    std::wstring out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != L'\\' || i + 1 == text.size()) {
            out += text[i];
            continue;
        }
        wchar_t next = text[++i];
        switch (next) {
        case L'n': out += L'\n'; break;
        case L'r': out += L'\r'; break;
        case L't': out += L'\t'; break;
        case L's': out += L' '; break;
        case L'u':
            if (i + 4 >= text.size()) fail("bad \\u escape");
            out += static_cast<wchar_t>(wcstoul(text.substr(i + 1, 4).c_str(), nullptr, 16));
            i += 4;
            break;
        default: out += next; break;  // \\ and anything else stands for itself
        }
    }
    return out;
}

// ---------------------------------------------------------------------------------------------
// Arguments of one command line

class Args {
public:
    explicit Args(std::string line) : line_(std::move(line)) {}

    bool more() const { return line_.find_first_not_of(' ', at_) != std::string::npos; }

    std::string word(const char* what)
    {
        size_t start = line_.find_first_not_of(' ', at_);
        if (start == std::string::npos) fail(std::string("missing ") + what);
        size_t end = line_.find(' ', start);
        if (end == std::string::npos) end = line_.size();
        at_ = end < line_.size() ? end + 1 : end;  // one separating space is consumed
        return line_.substr(start, end - start);
    }

    long long integer(const char* what)
    {
        std::string text = word(what);
        char* end = nullptr;
        long long value = strtoll(text.c_str(), &end, 0);
        if (text.empty() || *end != 0) fail(std::string("bad ") + what + ": " + text);
        return value;
    }

    long long integerOr(const char* what, long long fallback) { return more() ? integer(what) : fallback; }

    std::wstring text()
    {
        std::wstring rest = widen(line_.substr(at_));
        at_ = line_.size();
        return unescape(rest);
    }

    void end() const
    {
        if (more()) fail("unexpected argument: " + line_.substr(line_.find_first_not_of(' ', at_)));
    }

private:
    std::string line_;
    size_t at_ = 0;
};

// ---------------------------------------------------------------------------------------------
// The program under test

struct Program {
    HWND main = nullptr;
    DWORD pid = 0;
    DWORD uiThread = 0;
    HANDLE process = nullptr;  // kept open, so the exit code stays readable after the end
} program;

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

// The main window, looked for again when the one known has gone (the program may be restarted).
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

BOOL CALLBACK collectProgramWindow(HWND window, LPARAM list)
{
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    if (pid == program.pid) reinterpret_cast<std::vector<HWND>*>(list)->push_back(window);
    return TRUE;
}

std::vector<HWND> topLevelWindows()  // the program's, top of the Z order first
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

HWND connectDialog()
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
std::vector<HWND> childrenByClass(const wchar_t* wanted)
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
// Message box icons

const struct {
    WORD id;
    const char* name;
} SYSTEM_ICONS[] = {{32516, "information"}, {32515, "warning"}, {32514, "question"}, {32513, "error"}};

// A 32-bit top-down bitmap to draw into and read from.
class Canvas {
public:
    Canvas(int width, int height) : width_(width), height_(height)
    {
        BITMAPINFO info;
        ZeroMemory(&info, sizeof info);
        info.bmiHeader.biSize = sizeof info.bmiHeader;
        info.bmiHeader.biWidth = width;
        info.bmiHeader.biHeight = -height;
        info.bmiHeader.biPlanes = 1;
        info.bmiHeader.biBitCount = 32;
        info.bmiHeader.biCompression = BI_RGB;
        dc_ = CreateCompatibleDC(nullptr);
        void* bits = nullptr;
        bitmap_ = CreateDIBSection(dc_, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
        bits_ = static_cast<DWORD*>(bits);
        old_ = SelectObject(dc_, bitmap_);
    }
    ~Canvas()
    {
        SelectObject(dc_, old_);
        DeleteObject(bitmap_);
        DeleteDC(dc_);
    }
    Canvas(const Canvas&) = delete;
    Canvas& operator=(const Canvas&) = delete;

    bool ok() const { return bits_ != nullptr; }
    HDC dc() const { return dc_; }
    DWORD pixel(int i) const { return bits_[i] & 0xFFFFFFu; }

    void fill(COLORREF color)
    {
        RECT all = {0, 0, width_, height_};
        HBRUSH brush = CreateSolidBrush(color);
        FillRect(dc_, &all, brush);
        DeleteObject(brush);
        GdiFlush();
    }

private:
    int width_, height_;
    HDC dc_ = nullptr;
    HBITMAP bitmap_ = nullptr;
    HGDIOBJ old_ = nullptr;
    DWORD* bits_ = nullptr;
};

bool nearColour(DWORD a, DWORD b)
{
    for (int shift = 0; shift < 24; shift += 8) {
        int d = static_cast<int>((a >> shift) & 0xFF) - static_cast<int>((b >> shift) & 0xFF);
        if (d > 8 || d < -8) return false;
    }
    return true;
}

// The share of the pixels that the icon covers completely where the screen shows the same.
double iconMatch(const Canvas& screen, HICON icon, int width, int height)
{
    Canvas onBlack(width, height), onWhite(width, height);
    if (!onBlack.ok() || !onWhite.ok()) return 0;
    onBlack.fill(RGB(0, 0, 0));
    onWhite.fill(RGB(255, 255, 255));
    DrawIconEx(onBlack.dc(), 0, 0, icon, width, height, 0, nullptr, DI_NORMAL);
    DrawIconEx(onWhite.dc(), 0, 0, icon, width, height, 0, nullptr, DI_NORMAL);
    GdiFlush();
    int covered = 0, same = 0;
    for (int i = 0; i < width * height; ++i) {
        if (onBlack.pixel(i) != onWhite.pixel(i)) continue;
        ++covered;
        if (nearColour(onBlack.pixel(i), screen.pixel(i))) ++same;
    }
    return covered * 5 < width * height ? 0 : static_cast<double>(same) / covered;
}

std::string iconKindOnScreen(HWND iconStatic)
{
    RECT client;
    GetClientRect(iconStatic, &client);
    int width = client.right, height = client.bottom;
    if (width <= 0 || height <= 0) return "unknown";
    POINT origin = {0, 0};
    ClientToScreen(iconStatic, &origin);
    Canvas screen(width, height);
    HDC screenDc = GetDC(nullptr);
    if (!screen.ok() || screenDc == nullptr) {
        if (screenDc != nullptr) ReleaseDC(nullptr, screenDc);
        return "unknown";
    }
    BitBlt(screen.dc(), 0, 0, width, height, screenDc, origin.x, origin.y, SRCCOPY);
    GdiFlush();
    ReleaseDC(nullptr, screenDc);
    const char* best = "unknown";
    double bestScore = 0.95;
    for (const auto& kind : SYSTEM_ICONS) {
        double score = iconMatch(screen, LoadIconW(nullptr, MAKEINTRESOURCEW(kind.id)), width, height);
        if (score >= bestScore) {
            bestScore = score;
            best = kind.name;
        }
    }
    return best;
}

std::string iconKind(HWND box)
{
    HWND iconStatic = nullptr;
    for (HWND child : children(box))
        if (lstrcmpiW(className(child).c_str(), L"Static") == 0 && IsWindowVisible(child) &&
            (GetWindowLongPtrW(child, GWL_STYLE) & SS_TYPEMASK) == SS_ICON)
            iconStatic = child;
    if (iconStatic == nullptr) return "none";
    HICON shown = reinterpret_cast<HICON>(sendTo(iconStatic, STM_GETICON, 0, 0));
    if (shown == nullptr) return "none";
    for (const auto& kind : SYSTEM_ICONS)
        if (LoadIconW(nullptr, MAKEINTRESOURCEW(kind.id)) == shown) return kind.name;
    // Not painted yet, maybe: look again for a moment before giving up.
    std::string kind = "unknown";
    waitFor(1000, [&] { return (kind = iconKindOnScreen(iconStatic)) != "unknown"; });
    return kind;
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

// ---------------------------------------------------------------------------------------------
// Input

LPARAM pointParam(int x, int y) { return MAKELPARAM(static_cast<WORD>(x), static_cast<WORD>(y)); }

void requireUsable(HWND control)
{
    if (!IsWindowVisible(control)) fail("the control is hidden");
    if (!IsWindowEnabled(control)) fail("the control is disabled");
}

// The centre of a list entry in the list's client area, scrolling it into view if needed.
POINT entryCentre(HWND list, long long index)
{
    LRESULT count = sendTo(list, LB_GETCOUNT, 0, 0);
    if (index < 0 || index >= count)
        fail("no entry " + std::to_string(index) + " (the list has " + std::to_string(count) + ")");
    RECT client, item;
    GetClientRect(list, &client);
    for (int attempt = 0; attempt < 2; ++attempt) {
        int top = static_cast<int>(sendTo(list, LB_GETTOPINDEX, 0, 0));
        int height = static_cast<int>(sendTo(list, LB_GETITEMHEIGHT, 0, 0));
        item.top = static_cast<LONG>((index - top) * height);
        item.bottom = item.top + height;
        if (item.top >= 0 && item.bottom <= client.bottom) {
            POINT centre = {client.right / 2, (item.top + item.bottom) / 2};
            return centre;
        }
        sendTo(list, LB_SETTOPINDEX, static_cast<WPARAM>(index), 0);  // the user scrolls to it
    }
    fail("entry " + std::to_string(index) + " cannot be scrolled into view");
}

void postClick(HWND window, POINT at, bool twice)
{
    LPARAM where = pointParam(at.x, at.y);
    postTo(window, WM_LBUTTONDOWN, MK_LBUTTON, where);
    postTo(window, WM_LBUTTONUP, 0, where);
    if (!twice) return;
    postTo(window, WM_LBUTTONDBLCLK, MK_LBUTTON, where);
    postTo(window, WM_LBUTTONUP, 0, where);
}

// A key name: a letter or digit, enter escape space tab back delete up down left right home end
// prior next alt, f1 to f12, or a virtual-key code (decimal or 0x..).
UINT virtualKey(const std::string& name)
{
    static const std::map<std::string, UINT> keys = {
        {"enter", VK_RETURN}, {"escape", VK_ESCAPE}, {"space", VK_SPACE}, {"tab", VK_TAB},
        {"back", VK_BACK},    {"delete", VK_DELETE}, {"up", VK_UP},       {"down", VK_DOWN},
        {"left", VK_LEFT},    {"right", VK_RIGHT},   {"home", VK_HOME},   {"end", VK_END},
        {"prior", VK_PRIOR},  {"next", VK_NEXT},     {"alt", VK_MENU}};
    auto found = keys.find(name);
    if (found != keys.end()) return found->second;
    if (name.size() == 1 && isalnum(static_cast<unsigned char>(name[0])))
        return static_cast<UINT>(toupper(static_cast<unsigned char>(name[0])));
    if (name.size() >= 2 && name[0] == 'f' && isdigit(static_cast<unsigned char>(name[1]))) {
        int n = atoi(name.c_str() + 1);
        if (n >= 1 && n <= 12 && name == "f" + std::to_string(n)) return static_cast<UINT>(VK_F1 + n - 1);
    }
    char* end = nullptr;
    unsigned long code = strtoul(name.c_str(), &end, 0);
    if (name.empty() || *end != 0 || code == 0 || code > 0xFE) fail("unknown key: " + name);
    return static_cast<UINT>(code);
}

// lParam of a key message: repeat count 1, the key's scan code, and the transition bits.
LPARAM keyParam(UINT key, bool up, bool alt)
{
    UINT scan = MapVirtualKeyW(key, 0 /* MAPVK_VK_TO_VSC */);
    LPARAM param = 1 | (static_cast<LPARAM>(scan & 0xFF) << 16);
    if (alt) param |= static_cast<LPARAM>(1) << 29;
    if (up) param |= static_cast<LPARAM>(3) << 30;
    return param;
}

// The control inside window that has the keyboard focus, or the window itself.
HWND focusWithin(HWND window)
{
    GUITHREADINFO info;
    ZeroMemory(&info, sizeof info);
    info.cbSize = sizeof info;
    if (GetGUIThreadInfo(GetWindowThreadProcessId(window, nullptr), &info) && info.hwndFocus != nullptr &&
        (info.hwndFocus == window || IsChild(window, info.hwndFocus)))
        return info.hwndFocus;
    return window;
}

// The state of a menu item of the main window: MF_ flags, or -1 when it cannot be read.
UINT menuState(UINT id)
{
    HMENU menu = GetMenu(mainWindow());
    if (menu == nullptr) return static_cast<UINT>(-1);
    return GetMenuState(menu, id, MF_BYCOMMAND);
}

// ---------------------------------------------------------------------------------------------
// Commands

using Command = std::function<std::string(Args&)>;

std::string findMainCommand(Args& args)
{
    long long timeout = args.integerOr("timeout", 10000);
    args.end();
    DWORD start = GetTickCount();
    HWND found = nullptr;
    if (!waitFor(timeout, [&] { return (found = FindWindowW(MAIN_CLASS, nullptr)) != nullptr; }))
        fail("no main window after " + std::to_string(timeout) + " ms");
    attach(found);
    // The window comes before the rest of the start-up (the connect dialog, the listening
    // socket): wait on until the program first waits for input.
    long long left = timeout - static_cast<long long>(GetTickCount() - start);
    bool idle = program.process != nullptr &&
                WaitForInputIdle(program.process, static_cast<DWORD>(left > 0 ? left : 0)) == 0;
    int count = 0;
    for (HWND w = nullptr; (w = FindWindowExW(nullptr, w, MAIN_CLASS, nullptr)) != nullptr;) ++count;
    return object({{"hwnd", handleString(found)},
                   {"pid", number(program.pid)},
                   {"thread", number(program.uiThread)},
                   {"idle", boolean(idle)},
                   {"count", number(count)}});
}

std::string exitedCommand(Args& args)
{
    long long timeout = args.integerOr("timeout", 0);
    args.end();
    if (program.process == nullptr) mainWindow();
    if (program.process == nullptr) fail("the program's process cannot be opened");
    WaitForSingleObject(program.process, static_cast<DWORD>(timeout));
    DWORD code = 0;
    if (!GetExitCodeProcess(program.process, &code)) fail("no exit code");
    if (code == STILL_ACTIVE) return object({{"alive", "true"}});
    return object({{"alive", "false"}, {"code", number(code)}});
}

std::string waitTitleCommand(Args& args)
{
    long long timeout = args.integer("timeout");
    std::wstring wanted = args.text();
    std::wstring title;
    if (!waitFor(timeout, [&] { return (title = caption(mainWindow())).find(wanted) != std::wstring::npos; }))
        fail("title is " + narrow(title) + " after " + std::to_string(timeout) + " ms");
    return quote(title);
}

std::string dialogStateCommand(Args& args)
{
    args.end();
    HWND dialog = findConnectDialog();
    if (dialog == nullptr) return object({{"exists", "false"}, {"visible", "false"}, {"topmost", "false"}});
    RECT outer;
    GetWindowRect(dialog, &outer);
    return object({{"exists", "true"},
                   {"visible", boolean(IsWindowVisible(dialog))},
                   {"topmost", boolean((GetWindowLongPtrW(dialog, GWL_EXSTYLE) & WS_EX_TOPMOST) != 0)},
                   {"hwnd", handleString(dialog)},
                   {"window", rectArray(outer)}});
}

std::string waitDialogCommand(Args& args)
{
    std::string wanted = args.word("state");
    long long timeout = args.integer("timeout");
    args.end();
    if (wanted != "shown" && wanted != "hidden") fail("unknown state: " + wanted + " (shown or hidden)");
    bool shown = wanted == "shown";
    if (!waitFor(timeout, [&] {
            HWND dialog = findConnectDialog();
            return (dialog != nullptr && IsWindowVisible(dialog)) == shown;
        }))
        fail("the connect dialog is not " + wanted + " after " + std::to_string(timeout) + " ms");
    return dialogStateCommand(args);
}

std::string controlsCommand(Args& args)
{
    HWND parent = namedWindow(args.word("window"));
    args.end();
    std::vector<std::string> found;
    for (HWND child : children(parent)) {
        RECT r = rectInParent(child);
        found.push_back(object({{"hwnd", handleString(child)},
                                {"class", quote(className(child))},
                                {"id", number(GetWindowLongPtrW(child, GWLP_ID))},
                                {"text", quote(windowText(child))},
                                {"style", styleString(GetWindowLongPtrW(child, GWL_STYLE))},
                                {"exstyle", styleString(GetWindowLongPtrW(child, GWL_EXSTYLE))},
                                {"visible", boolean(IsWindowVisible(child))},
                                {"enabled", boolean(IsWindowEnabled(child))},
                                {"rect", array({number(r.left), number(r.top), number(r.right - r.left),
                                                number(r.bottom - r.top)})}}));
    }
    return array(found);
}

std::string waitListCommand(Args& args)
{
    HWND list = namedList(args.word("list"));
    long long wanted = args.integer("count");
    long long timeout = args.integer("timeout");
    args.end();
    LRESULT count = 0;
    if (!waitFor(timeout, [&] { return (count = sendTo(list, LB_GETCOUNT, 0, 0)) >= wanted; }))
        fail("the list has " + std::to_string(count) + " entries after " + std::to_string(timeout) + " ms");
    return describeList(list);
}

std::string itemCommand(Args& args)
{
    HWND list = namedList(args.word("list"));
    long long index = args.integer("index");
    args.end();
    LRESULT count = sendTo(list, LB_GETCOUNT, 0, 0);
    std::string text = "null";
    if (index >= 0 && index < count) {
        LRESULT length = sendTo(list, LB_GETTEXTLEN, static_cast<WPARAM>(index), 0);
        if (length >= 0) {
            std::vector<wchar_t> buffer(static_cast<size_t>(length) + 1, L'\0');
            LRESULT got = sendTo(list, LB_GETTEXT, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(buffer.data()));
            text = quote(std::wstring(buffer.data(), static_cast<size_t>(got > 0 ? got : 0)));
        }
    }
    return object({{"count", number(count)}, {"selected", number(sendTo(list, LB_GETCURSEL, 0, 0))}, {"text", text}});
}

std::string selectCommand(Args& args)
{
    HWND list = namedList(args.word("list"));
    long long index = args.integer("index");
    args.end();
    if (sendTo(list, LB_SETCURSEL, static_cast<WPARAM>(index), 0) == LB_ERR && index != -1)
        fail("no entry " + std::to_string(index));
    WORD id = static_cast<WORD>(GetWindowLongPtrW(list, GWLP_ID));
    postTo(GetParent(list), WM_COMMAND, MAKEWPARAM(id, LBN_SELCHANGE), reinterpret_cast<LPARAM>(list));
    return object({{"selected", number(sendTo(list, LB_GETCURSEL, 0, 0))}});
}

std::string clickItemCommand(Args& args, bool twice)
{
    HWND list = namedList(args.word("list"));
    long long index = args.integer("index");
    args.end();
    requireUsable(list);
    POINT at = entryCentre(list, index);
    postClick(list, at, twice);
    return object({{"x", number(at.x)}, {"y", number(at.y)}});
}

// A list by name, or the control of a window that has the keyboard focus.
HWND keyTarget(const std::string& name)
{
    if (name == "requested" || name == "remote") return namedList(name);
    return focusWithin(namedWindow(name));
}

// Presses and releases each key in turn. With "alt+" the key goes as a system key with the Alt
// bit, as the keyboard sends it while Alt is held; Alt itself and F10 are system keys too.
void pressKeys(HWND target, Args& args)
{
    do {
        std::string name = args.word("key");
        bool held = name.compare(0, 4, "alt+") == 0;
        UINT key = virtualKey(held ? name.substr(4) : name);
        bool system = held || key == VK_MENU || key == VK_F10;
        postTo(target, system ? WM_SYSKEYDOWN : WM_KEYDOWN, key, keyParam(key, false, held || key == VK_MENU));
        postTo(target, system ? WM_SYSKEYUP : WM_KEYUP, key, keyParam(key, true, held));
    } while (args.more());
}

std::string keyCommand(Args& args)
{
    HWND target = keyTarget(args.word("target"));
    pressKeys(target, args);
    return "{}";
}

std::string charCommand(Args& args)
{
    HWND target = keyTarget(args.word("target"));
    long long code = args.integer("code");
    args.end();
    postTo(target, WM_CHAR, static_cast<WPARAM>(code), 1);
    return "{}";
}

std::string postCommand(Args& args)
{
    std::string name = args.word("target");
    HWND target = name == "requested" || name == "remote" ? namedList(name) : namedWindow(name);
    UINT message = static_cast<UINT>(args.integer("message"));
    WPARAM wParam = static_cast<WPARAM>(args.integer("wParam"));
    LPARAM lParam = static_cast<LPARAM>(args.integer("lParam"));
    args.end();
    postTo(target, message, wParam, lParam);
    return "{}";
}

std::string focusCommand(Args& args)
{
    args.end();
    GUITHREADINFO info;
    ZeroMemory(&info, sizeof info);
    info.cbSize = sizeof info;
    if (!GetGUIThreadInfo(GetWindowThreadProcessId(mainWindow(), nullptr), &info)) fail("no thread information");
    auto described = [](HWND w) {
        if (w == nullptr) return std::string("null");
        return object({{"hwnd", handleString(w)}, {"class", quote(className(w))}, {"caption", quote(caption(w))}});
    };
    return object({{"focus", described(info.hwndFocus)}, {"active", described(info.hwndActive)},
                   {"capture", described(info.hwndCapture)}, {"menu", described(info.hwndMenuOwner)},
                   {"foreground", described(GetForegroundWindow())}});
}

std::string menuCommand(Args& args)
{
    long long id = args.integer("id");
    args.end();
    UINT state = menuState(static_cast<UINT>(id));
    if (state != static_cast<UINT>(-1) && (state & (MF_GRAYED | MF_DISABLED)) != 0) fail("disabled");
    postTo(mainWindow(), WM_COMMAND, MAKEWPARAM(static_cast<WORD>(id), 0), 0);
    return "{}";
}

std::string menuStateCommand(Args& args)
{
    long long id = args.integer("id");
    args.end();
    UINT state = menuState(static_cast<UINT>(id));
    if (state == static_cast<UINT>(-1)) fail("unreadable: the menu or its item cannot be read from here");
    return object({{"enabled", boolean((state & (MF_GRAYED | MF_DISABLED)) == 0)},
                   {"grayed", boolean((state & MF_GRAYED) != 0)},
                   {"checked", boolean((state & MF_CHECKED) != 0)}});
}

std::string clickCommand(Args& args)
{
    HWND parent = namedWindow(args.word("window"));
    HWND button = childById(parent, args.integer("id"));
    args.end();
    requireUsable(button);
    postTo(button, BM_CLICK, 0, 0);
    return "{}";
}

std::string setTextCommand(Args& args, bool typed)
{
    HWND parent = namedWindow(args.word("window"));
    HWND control = childById(parent, args.integer("id"));
    std::wstring text = args.text();
    requireUsable(control);
    if (typed) {
        for (wchar_t c : text) postTo(control, WM_CHAR, c, 1);
    } else {
        sendTo(control, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()));
    }
    return "{}";
}

std::string getTextCommand(Args& args)
{
    HWND parent = namedWindow(args.word("window"));
    HWND control = childById(parent, args.integer("id"));
    args.end();
    return quote(windowText(control));
}

std::string closeBoxCommand(Args& args)
{
    HWND window = namedWindow(args.word("window"));
    args.end();
    postTo(window, WM_SYSCOMMAND, SC_CLOSE, 0);
    return "{}";
}

std::string altF4Command(Args& args)
{
    HWND target = keyTarget(args.word("window"));
    args.end();
    Args keys("alt+f4");
    pressKeys(target, keys);
    return "{}";
}

std::string msgboxCommand(Args& args)
{
    long long timeout = args.integerOr("timeout", 5000);
    args.end();
    std::vector<HWND> boxes;
    if (!waitFor(timeout, [&] { return !(boxes = messageBoxes()).empty(); }))
        fail("no message box after " + std::to_string(timeout) + " ms");
    return describeMessageBox(boxes.front(), boxes.size());
}

HWND messageBoxButton(HWND box, const std::string& wanted)
{
    static const std::map<std::string, int> standard = {{"ok", IDOK},         {"cancel", IDCANCEL},
                                                        {"abort", IDABORT},   {"retry", IDRETRY},
                                                        {"ignore", IDIGNORE}, {"yes", IDYES},
                                                        {"no", IDNO}};
    std::string lower;
    for (char c : wanted) lower += static_cast<char>(tolower(static_cast<unsigned char>(c)));
    for (HWND child : children(box)) {
        if (lstrcmpiW(className(child).c_str(), L"Button") != 0 || !IsWindowVisible(child)) continue;
        LONG_PTR id = GetWindowLongPtrW(child, GWLP_ID);
        auto named = standard.find(lower);
        if (named != standard.end() && named->second == id) return child;
        if (std::to_string(id) == lower) return child;
        std::wstring label;
        for (wchar_t c : windowText(child))
            if (c != L'&') label += c;
        if (lstrcmpiW(label.c_str(), widen(wanted).c_str()) == 0) return child;
    }
    fail("the message box has no button " + wanted);
}

std::string msgboxAnswerCommand(Args& args)
{
    std::string wanted = args.word("button");
    long long timeout = args.integerOr("timeout", 5000);
    args.end();
    HWND box = messageBox();
    HWND button = messageBoxButton(box, wanted);
    LONG_PTR id = GetWindowLongPtrW(button, GWLP_ID);
    DWORD start = GetTickCount();
    postTo(button, BM_CLICK, 0, 0);
    // The box is hidden at once but destroyed only when its thread runs again, which under Wine
    // without a window manager is about 2 s later; until then that thread answers nothing.
    bool destroyed = waitFor(timeout, [&] { return !IsWindow(box); });
    if (!destroyed && IsWindowVisible(box))
        fail("the message box is still open after " + std::to_string(timeout) + " ms");
    return object({{"button", number(id)}, {"ms", number(GetTickCount() - start)}, {"destroyed", boolean(destroyed)}});
}

std::string noMsgboxCommand(Args& args)
{
    long long timeout = args.integer("ms");
    args.end();
    std::vector<HWND> boxes;
    if (waitFor(timeout, [&] { return !(boxes = messageBoxes()).empty(); }))
        fail("message box \"" + narrow(caption(boxes.front())) + "\"");
    return "{}";
}

std::string progressCommand(Args& args)
{
    HWND bar = namedBar(args.word("bar"));
    args.end();
    return object({{"pos", number(sendTo(bar, PBM_GETPOS, 0, 0))},
                   {"max", number(sendTo(bar, PBM_GETRANGE, FALSE, 0))}});
}

std::string sleepCommand(Args& args)
{
    long long ms = args.integer("ms");
    args.end();
    Sleep(static_cast<DWORD>(ms));
    return "{}";
}

const std::map<std::string, Command>& commands()
{
    static const std::map<std::string, Command> table = {
        {"find-main", findMainCommand},
        {"pid", [](Args& a) { a.end(); mainWindow(); return object({{"pid", number(program.pid)}}); }},
        {"exited", exitedCommand},
        {"title", [](Args& a) { a.end(); return quote(caption(mainWindow())); }},
        {"wait-title", waitTitleCommand},
        {"rect", [](Args& a) { HWND w = namedWindow(a.word("window")); a.end(); return describeWindow(w); }},
        {"dialog-state", dialogStateCommand},
        {"wait-dialog", waitDialogCommand},
        {"controls", controlsCommand},
        {"list", [](Args& a) { HWND l = namedList(a.word("list")); a.end(); return describeList(l); }},
        {"wait-list", waitListCommand},
        {"item", itemCommand},
        {"select", selectCommand},
        {"click-item", [](Args& a) { return clickItemCommand(a, false); }},
        {"dblclick", [](Args& a) { return clickItemCommand(a, true); }},
        {"key", keyCommand},
        {"char", charCommand},
        {"menu", menuCommand},
        {"post", postCommand},
        {"focus", focusCommand},
        {"menu-state", menuStateCommand},
        {"click", clickCommand},
        {"settext", [](Args& a) { return setTextCommand(a, false); }},
        {"type", [](Args& a) { return setTextCommand(a, true); }},
        {"gettext", getTextCommand},
        {"close-box", closeBoxCommand},
        {"alt-f4", altF4Command},
        {"msgbox", msgboxCommand},
        {"msgbox-answer", msgboxAnswerCommand},
        {"no-msgbox", noMsgboxCommand},
        {"progress", progressCommand},
        {"sleep", sleepCommand},
    };
    return table;
}

void reply(const std::string& line)
{
    fwrite(line.data(), 1, line.size(), stdout);
    fputc('\n', stdout);
    fflush(stdout);
}

std::string oneLine(std::string text)
{
    for (char& c : text)
        if (c == '\n' || c == '\r') c = ' ';
    return text;
}

// One line of input without its end (\n or \r\n); false at the end of input.
bool readLine(std::string& line)
{
    line.clear();
    int c;
    while ((c = fgetc(stdin)) != EOF && c != '\n') line += static_cast<char>(c);
    if (c == EOF && line.empty()) return false;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return true;
}

}  // namespace

int main()
{
    _setmode(_fileno(stdin), _O_BINARY);
    _setmode(_fileno(stdout), _O_BINARY);
    std::string line;
    while (readLine(line)) {
        Args args(line);
        if (!args.more()) {
            reply("ERR empty command");
            continue;
        }
        try {
            std::string name = args.word("command");
            if (name == "quit") {
                reply("OK {}");
                break;
            }
            auto command = commands().find(name);
            if (command == commands().end()) fail("unknown command: " + name);
            reply("OK " + command->second(args));
        } catch (const std::exception& error) {
            reply("ERR " + oneLine(error.what()));
        }
    }
    if (program.process != nullptr) CloseHandle(program.process);
    return 0;
}
