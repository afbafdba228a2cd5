// The driver's commands, one function each, and the table that names them (the protocol and
// what each command answers are described in driver.cpp).
#include "driver.h"

#include <commctrl.h>

#include <cctype>

namespace driver {

namespace {

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

// How long until the list holds <count> entries, and the slowest answer of the list's thread
// meanwhile, asked for the count every few milliseconds.
std::string watchListCommand(Args& args)
{
    HWND list = namedList(args.word("list"));
    long long wanted = args.integer("count");
    long long timeout = args.integer("timeout");
    args.end();
    LARGE_INTEGER frequency, start, before, after;
    QueryPerformanceFrequency(&frequency);
    auto ms = [&](const LARGE_INTEGER& from, const LARGE_INTEGER& to) {
        return (to.QuadPart - from.QuadPart) * 1000 / frequency.QuadPart;
    };
    QueryPerformanceCounter(&start);
    long long slowest = 0, answers = 0;
    LRESULT count = 0;
    for (;;) {
        QueryPerformanceCounter(&before);
        count = sendTo(list, LB_GETCOUNT, 0, 0);
        QueryPerformanceCounter(&after);
        ++answers;
        if (ms(before, after) > slowest) slowest = ms(before, after);
        if (count >= wanted || ms(start, after) >= timeout) break;
        Sleep(5);
    }
    return object({{"count", number(count)}, {"ms", number(ms(start, after))}, {"slowest", number(slowest)},
                   {"answers", number(answers)}});
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

}  // namespace

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
        {"watch-list", watchListCommand},
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

}  // namespace driver
