// The icon of a message box, told by kind. Where icon handles are shared between processes the
// handle says it at once; under Wine, where they are not, the icon is read from the screen and
// compared with each system icon drawn here at the same size.
#include "driver.h"

namespace driver {

namespace {

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

}  // namespace

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

}  // namespace driver
