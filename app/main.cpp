// Start-up, the message loop and teardown of Caldervine: a platform check, the main window and
// the hidden connect dialog, Windows Sockets with the listening socket on port 21120, then the loop.

#include <winsock2.h>
#include <windows.h>
#include <commctrl.h>

#include "app/main_window.h"
#include "fetch/connect.h"
#include "services/app_state.h"
#include "services/ids.h"
#include "services/message_box.h"

AppState app;

namespace {

const char* const PLATFORM_WARNING =
    "Your Operating System doesn't permit to use ws2_32.dll instead of wsock32.dll.\r\n"
    "In a word you have not Windows NT/2000/XP.";

const char* const PATH_TOO_LONG_MESSAGE =
    "The folder Caldervine was started in has a path too long for its Share and Incoming folders.\r\n"
    "Please start Caldervine from a folder with a shorter path.";

bool isNtPlatform()
{
    OSVERSIONINFOA version;
    ZeroMemory(&version, sizeof version);
    version.dwOSVersionInfoSize = sizeof version;
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#endif
    GetVersionExA(&version);
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif
    return version.dwPlatformId == VER_PLATFORM_WIN32_NT;
}

// Reads the working directory whole and keeps it when "\Share\*.*" and "\Incoming\" fit after it.
bool readWorkingDirectory()
{
    static char directory[32768];
    DWORD length = GetCurrentDirectoryA(sizeof directory, directory);
    const DWORD longestSuffix = 10;  // "\Share\*.*" and "\Incoming\"
    if (length == 0 || length >= sizeof directory || length + longestSuffix >= PATH_CAPACITY) return false;
    lstrcpynA(app.workingDirectory, directory, PATH_CAPACITY);
    return true;
}

bool openSockets()
{
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
    app.listenSocket = socket(AF_INET, SOCK_STREAM, 0);
    app.fetchSocket = socket(AF_INET, SOCK_STREAM, 0);

    sockaddr_in local;
    ZeroMemory(&local, sizeof local);
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    local.sin_port = htons(PEER_PORT);
    if (bind(app.listenSocket, reinterpret_cast<sockaddr*>(&local), sizeof local) == SOCKET_ERROR) return false;
    listen(app.listenSocket, 1);
    WSAAsyncSelect(app.listenSocket, app.mainWindow, WM_SHARE_SOCKET, FD_READ | FD_WRITE | FD_ACCEPT | FD_CLOSE);
    return true;
}

int runMessageLoop()
{
    MSG message;
    while (GetMessageA(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
    return static_cast<int>(message.wParam);
}

void teardown(int exitCode)
{
    closesocket(app.listenSocket);
    closesocket(app.fetchSocket);
    WSACleanup();
    // Workers may still be running (a transfer, a message box); they end with the process.
    ExitProcess(static_cast<UINT>(exitCode));
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    if (!isNtPlatform()) {
        MessageBoxA(nullptr, PLATFORM_WARNING, CAPTION_WITH_DOTS, MB_ICONWARNING);
        return EXIT_NOT_NT;
    }
    app.instanceHandle = GetModuleHandleA(nullptr);
    app.downloadFile = INVALID_HANDLE_VALUE;
    if (!readWorkingDirectory()) {
        showMessage(nullptr, PATH_TOO_LONG_MESSAGE, CAPTION_PLAIN);
        return EXIT_PATH_TOO_LONG;
    }
    // The progress-bar class comes from comctl32; this call only makes sure the library is
    // imported, and so loaded (and its classes registered) before the window is created.
    InitCommonControls();

    registerMainWindowClass();
    app.mainWindow = createMainWindow();
    ShowWindow(app.mainWindow, SW_SHOWNORMAL);
    UpdateWindow(app.mainWindow);
    app.connectDialog = createConnectDialog();

    if (!openSockets()) teardown(EXIT_PORT_TAKEN);
    teardown(runMessageLoop());
    return 0;
}
