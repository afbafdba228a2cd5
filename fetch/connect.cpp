// The connect dialog's procedure: the connect attempt on "&OK", hiding on "&Cancel" and the close
// box, and the notifications of fetchSocket. One connection at a time: File > Connect is grayed
// while an attempt or a connection is open, and offered again, with a fresh socket, once an
// attempt has failed or the connection has ended, whoever ended it.

#include "fetch/connect.h"

#include "core/address.h"
#include "fetch/receiver.h"
#include "services/app_state.h"
#include "services/ids.h"
#include "services/message_box.h"
#include "services/status_title.h"

namespace {

const char* const ADDRESS_MESSAGE =
    "Please enter an I.P with a correct format i.e. (xxx.xxx.xxx.xxx) !\r\n"
    "Or all simply there is Nobody at other side.";

void hideDialog(HWND dialog) { SendMessageA(dialog, WM_CLOSE, 0, 0); }

void showAddressMessage(HWND owner) { showMessage(owner, ADDRESS_MESSAGE, CAPTION_WITH_DOTS); }

void setConnectItemEnabled(bool enabled)
{
    EnableMenuItem(GetSubMenu(app.mainMenu, 0), IDM_CONNECT,
                   MF_BYCOMMAND | (enabled ? MF_ENABLED : (MF_DISABLED | MF_GRAYED)));
}

// Ends the current attempt: the next one gets a socket of its own.
void retireFetchSocket()
{
    closesocket(app.fetchSocket);
    app.fetchSocket = socket(AF_INET, SOCK_STREAM, 0);
}

LRESULT onConnectAttempt(HWND dialog)
{
    char text[64];
    uint32_t address = 0;
    // Read more than an address can hold, so that a longer text is refused rather than cut.
    if (GetDlgItemTextA(dialog, IDC_ADDRESS, text, sizeof text) == 0 || !parseDottedAddress(text, &address)) {
        showAddressMessage(dialog);
        hideDialog(dialog);
        return 0;
    }
    WSAAsyncSelect(app.fetchSocket, dialog, WM_FETCH_SOCKET, FD_CONNECT | FD_CLOSE);
    sockaddr_in peer;
    ZeroMemory(&peer, sizeof peer);
    peer.sin_family = AF_INET;
    peer.sin_port = htons(PEER_PORT);
    peer.sin_addr.s_addr = address;
    if (connect(app.fetchSocket, reinterpret_cast<sockaddr*>(&peer), sizeof peer) == SOCKET_ERROR &&
        WSAGetLastError() != WSAEWOULDBLOCK) {
        retireFetchSocket();
        showAddressMessage(dialog);
        hideDialog(dialog);
        return 0;
    }
    setConnectItemEnabled(false);
    hideDialog(dialog);
    return 1;
}

void onFetchConnect(int error)
{
    if (error == 0) {
        // The receiver starts with the connection, once: it never reads a socket still connecting.
        // A connection made again brings a listing of its own.
        if (InterlockedCompareExchange(&app.fetchConnected, 0, 0) == 0) {
            SendMessageA(app.remoteList, LB_RESETCONTENT, 0, 0);
            InterlockedExchange(&app.fetchClosed, 0);
            InterlockedExchange(&app.fetchConnected, 1);
            startReceiver(app.fetchSocket);
        }
        titleFetchConnected();
        return;
    }
    retireFetchSocket();
    applyStatusRule(TitleRule::FetchFailed);
    setConnectItemEnabled(true);
    showAddressMessage(app.connectDialog);
}

void onFetchClosed()
{
    // Wine gives a new socket the handle value of one just closed, so a close notification still
    // queued for an earlier socket can carry this one's handle: only a connected socket closes.
    if (InterlockedCompareExchange(&app.fetchConnected, 0, 0) != 1) return;
    InterlockedExchange(&app.fetchClosed, 1);
    titleFetchClosed();
}

// The receiver is gone with its connection: the next attempt gets a new socket.
void onFetchEnded()
{
    InterlockedExchange(&app.fetchConnected, 0);
    retireFetchSocket();
    setConnectItemEnabled(true);
}

void onFetchSocket(WPARAM socketHandle, LPARAM lParam)
{
    // Notifications still queued for a socket of an earlier attempt concern nobody now.
    if (static_cast<SOCKET>(socketHandle) != app.fetchSocket) return;
    switch (WSAGETSELECTEVENT(lParam)) {
    case FD_CONNECT: onFetchConnect(WSAGETSELECTERROR(lParam)); return;
    case FD_CLOSE: onFetchClosed(); return;
    default: return;
    }
}

}  // namespace

INT_PTR CALLBACK connectDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_INITDIALOG: return 1;
    case WM_CLOSE: ShowWindow(dialog, SW_HIDE); return 1;
    case WM_COMMAND:
        switch (wParam) {
        case IDD_CONNECT_OK: return onConnectAttempt(dialog);
        case IDD_CONNECT_CANCEL: hideDialog(dialog); return 1;
        default: return 1;
        }
    case WM_FETCH_SOCKET: onFetchSocket(wParam, lParam); return 1;
    case WM_FETCH_ENDED: onFetchEnded(); return 1;
    default: return 0;
    }
}

HWND createConnectDialog()
{
    HWND dialog = CreateDialogParamA(app.instanceHandle, "MYDIALOG", nullptr, connectDialogProc, 0);
    SetDlgItemTextA(dialog, IDC_PORT, "21120");
    ShowWindow(dialog, SW_HIDE);
    // Top-most at its own place, and still hidden.
    WINDOWPLACEMENT placement;
    ZeroMemory(&placement, sizeof placement);
    placement.length = sizeof placement;
    GetWindowPlacement(dialog, &placement);
    const RECT& place = placement.rcNormalPosition;
    SetWindowPos(dialog, HWND_TOPMOST, place.left, place.top, place.right - place.left, place.bottom - place.top,
                 SWP_HIDEWINDOW);
    return dialog;
}
