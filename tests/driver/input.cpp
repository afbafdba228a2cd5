// Input as a user's mouse and keyboard make it: clicks at an entry's centre, key messages with
// the scan code and transition bits a real key carries, and the state of the menu items.
#include "driver.h"

#include <cctype>
#include <cstdlib>

namespace driver {

static LPARAM pointParam(int x, int y) { return MAKELPARAM(static_cast<WORD>(x), static_cast<WORD>(y)); }

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

}  // namespace driver
