// baseline_sender: the least a Win32 program can do to stream a file over TCP, for comparison
// with Caldervine's sharing side under the same Wine. Like that side it listens on a port and
// sends on the socket it accepts (under Wine an accepted socket sends more slowly than a connected
// one, so only an accepted one is a fair measure), in 4096-byte chunks with one overlapped WSASend
// in flight, then closes. It shares no code with the program: a baseline that ran the program's
// own sending routine could not show what that routine costs.
//
//   baseline_sender FILE [PORT] [--notify]      (PORT defaults to 21121)
//
// --notify gives the sockets to a window with WSAAsyncSelect (FD_READ, FD_WRITE, FD_ACCEPT and
// FD_CLOSE, as a window program that accepts peers does), pumps its messages on the main thread
// and sends from a worker thread: the same sending loop, plus the cost of those notifications.
//
// Prints "listening PORT" once ready, and "sent BYTES bytes in SECONDS s" at the end.

#include <winsock2.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>

namespace {

const unsigned CHUNK = 4096;

double now()
{
    static LARGE_INTEGER frequency;
    if (frequency.QuadPart == 0) QueryPerformanceFrequency(&frequency);
    LARGE_INTEGER count;
    QueryPerformanceCounter(&count);
    return static_cast<double>(count.QuadPart) / static_cast<double>(frequency.QuadPart);
}

// One overlapped send of the whole buffer at a time, waited for before the next.
bool sendAll(SOCKET s, const char* data, DWORD length, WSAEVENT event)
{
    while (length > 0) {
        WSAOVERLAPPED overlapped;
        ZeroMemory(&overlapped, sizeof overlapped);
        WSAResetEvent(event);
        overlapped.hEvent = event;
        WSABUF buffer;
        buffer.len = length;
        buffer.buf = const_cast<char*>(data);
        DWORD sent = 0;
        if (WSASend(s, &buffer, 1, &sent, 0, &overlapped, nullptr) == SOCKET_ERROR &&
            WSAGetLastError() != WSA_IO_PENDING)
            return false;
        DWORD flags = 0;
        if (!WSAGetOverlappedResult(s, &overlapped, &sent, TRUE, &flags)) return false;
        if (sent == 0 || sent > length) return false;
        data += sent;
        length -= sent;
    }
    return true;
}

const UINT WM_SOCKET_NOTE = WM_USER + 100;

struct SendJob {
    SOCKET peer;
    HANDLE file;
    unsigned long long total;
    bool ok;
};

DWORD WINAPI sendFile(LPVOID parameter)
{
    SendJob* job = static_cast<SendJob*>(parameter);
    static char chunk[CHUNK];
    WSAEVENT event = WSACreateEvent();
    job->total = 0;
    job->ok = true;
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(job->file, chunk, CHUNK, &got, nullptr) || got == 0) break;
        if (!sendAll(job->peer, chunk, got, event)) {
            job->ok = false;
            break;
        }
        job->total += got;
    }
    WSACloseEvent(event);
    return 0;
}

// A message-only window that takes the notifications and does nothing with them.
HWND makeNoteWindow()
{
    WNDCLASSA windowClass;
    ZeroMemory(&windowClass, sizeof windowClass);
    windowClass.lpfnWndProc = DefWindowProcA;
    windowClass.hInstance = GetModuleHandleA(nullptr);
    windowClass.lpszClassName = "BaselineSenderNotes";
    RegisterClassA(&windowClass);
    return CreateWindowExA(0, windowClass.lpszClassName, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                           windowClass.hInstance, nullptr);
}

void pumpMessages()
{
    MSG message;
    while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&message);
}

}  // namespace

int main(int argc, char** argv)
{
    const char* positional[2] = {nullptr, nullptr};
    int count = 0;
    bool notify = false;
    for (int i = 1; i < argc; ++i) {
        if (lstrcmpA(argv[i], "--notify") == 0) {
            notify = true;
        } else if (count < 2) {
            positional[count++] = argv[i];
        }
    }
    if (count < 1) {
        fprintf(stderr, "usage: baseline_sender FILE [PORT] [--notify]\n");
        return 2;
    }
    const char* path = positional[0];
    unsigned short port = static_cast<unsigned short>(count > 1 ? atoi(positional[1]) : 21121);

    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0) return 1;
    SOCKET listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in local;
    ZeroMemory(&local, sizeof local);
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    local.sin_port = htons(port);
    if (bind(listener, reinterpret_cast<sockaddr*>(&local), sizeof local) == SOCKET_ERROR ||
        listen(listener, 1) == SOCKET_ERROR) {
        fprintf(stderr, "cannot listen on port %u (error %d)\n", port, WSAGetLastError());
        return 1;
    }
    HWND window = nullptr;
    if (notify) {
        window = makeNoteWindow();
        WSAAsyncSelect(listener, window, WM_SOCKET_NOTE, FD_READ | FD_WRITE | FD_ACCEPT | FD_CLOSE);
    }
    printf("listening %u\n", port);
    fflush(stdout);

    SOCKET peer = INVALID_SOCKET;
    for (;;) {
        peer = accept(listener, nullptr, nullptr);
        if (peer != INVALID_SOCKET || !notify || WSAGetLastError() != WSAEWOULDBLOCK) break;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, INFINITE, QS_ALLINPUT);
        pumpMessages();
    }
    // A window program keeps its listening socket open while it serves a peer; so does --notify.
    if (!notify) closesocket(listener);
    if (peer == INVALID_SOCKET) {
        fprintf(stderr, "accept failed (error %d)\n", WSAGetLastError());
        return 1;
    }
    double start = now();
    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                              nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        fprintf(stderr, "cannot open %s\n", path);
        closesocket(peer);
        return 1;
    }
    SendJob job = {peer, file, 0, true};
    if (notify) {
        HANDLE worker = CreateThread(nullptr, 0, sendFile, &job, 0, nullptr);
        while (MsgWaitForMultipleObjects(1, &worker, FALSE, INFINITE, QS_ALLINPUT) != WAIT_OBJECT_0) pumpMessages();
        CloseHandle(worker);
    } else {
        sendFile(&job);
    }
    unsigned long long total = job.total;
    bool ok = job.ok;
    double seconds = now() - start;
    CloseHandle(file);
    shutdown(peer, SD_SEND);
    closesocket(peer);
    if (notify) closesocket(listener);
    WSACleanup();
    printf("sent %llu bytes in %.3f s\n", total, seconds);
    fflush(stdout);
    return ok ? 0 : 1;
}
