// baseline_sender: the least a Win32 program can do to stream a file over TCP, for comparison
// with Caldervine's sharing side under the same Wine. Like that side it listens on a port, sends
// on the socket it accepts (under Wine an accepted socket sends more slowly than a connected one,
// so only an accepted one is a fair measure) made non-blocking, in 4096-byte chunks with one
// overlapped WSASend in flight on one event, which the system clears as each send starts. It
// shares no code with the program: a baseline that ran the program's own sending routine could
// not show what that routine costs.
//
//   baseline_sender FILE [PORT] [--hold] [--exchange N]      (PORT defaults to 21121)
//
// --exchange N first does what a sharer of Caldervine's protocol must do before a file can go:
// it sends N records of 255 bytes, 64 to a send as the program does (their content does not
// matter to the timed client), reads one 255-byte request, and sends the file with TCP_NODELAY,
// so that its client meets the same exchange as the program's.
//
// Prints "listening PORT" once ready, and "sent BYTES bytes in SECONDS s" at the end. --hold
// keeps the process until its standard input ends, so that its CPU time can be read after the
// transfer.

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

const int RECORD = 255;

// Records a send, as the program lists them.
const int RECORDS_PER_SEND = 64;

// The listing and the request, on the socket while it still blocks.
bool exchange(SOCKET s, int records)
{
    static char listing[RECORDS_PER_SEND * RECORD];
    static char record[RECORD];
    for (int first = 0; first < records; first += RECORDS_PER_SEND) {
        int length = (records - first < RECORDS_PER_SEND ? records - first : RECORDS_PER_SEND) * RECORD;
        for (int done = 0; done < length;) {
            int n = send(s, listing + done, length - done, 0);
            if (n <= 0) return false;
            done += n;
        }
    }
    for (int done = 0; done < RECORD;) {
        int n = recv(s, record + done, RECORD - done, 0);
        if (n <= 0) return false;
        done += n;
    }
    BOOL noDelay = TRUE;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&noDelay), sizeof noDelay);
    return true;
}

void waitForInputEnd()
{
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    char sink[64];
    DWORD got = 0;
    while (ReadFile(input, sink, sizeof sink, &got, nullptr) && got > 0) {
    }
}

}  // namespace

int main(int argc, char** argv)
{
    const char* positional[2] = {nullptr, nullptr};
    int count = 0;
    bool hold = false;
    int records = -1;
    for (int i = 1; i < argc; ++i) {
        if (lstrcmpA(argv[i], "--hold") == 0) {
            hold = true;
        } else if (lstrcmpA(argv[i], "--exchange") == 0 && i + 1 < argc) {
            records = atoi(argv[++i]);
        } else if (count < 2) {
            positional[count++] = argv[i];
        }
    }
    if (count < 1) {
        fprintf(stderr, "usage: baseline_sender FILE [PORT] [--hold] [--exchange N]\n");
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
    printf("listening %u\n", port);
    fflush(stdout);

    SOCKET peer = accept(listener, nullptr, nullptr);
    closesocket(listener);
    if (peer == INVALID_SOCKET) {
        fprintf(stderr, "accept failed (error %d)\n", WSAGetLastError());
        return 1;
    }
    if (records >= 0 && !exchange(peer, records)) {
        fprintf(stderr, "the exchange before the file failed (error %d)\n", WSAGetLastError());
        closesocket(peer);
        return 1;
    }
    u_long nonBlocking = 1;
    ioctlsocket(peer, FIONBIO, &nonBlocking);
    double start = now();
    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                              nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        fprintf(stderr, "cannot open %s\n", path);
        closesocket(peer);
        return 1;
    }
    static char chunk[CHUNK];
    WSAEVENT event = WSACreateEvent();
    unsigned long long total = 0;
    bool ok = true;
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(file, chunk, CHUNK, &got, nullptr) || got == 0) break;
        if (!sendAll(peer, chunk, got, event)) {
            ok = false;
            break;
        }
        total += got;
    }
    double seconds = now() - start;
    WSACloseEvent(event);
    CloseHandle(file);
    printf("sent %llu bytes in %.3f s\n", total, seconds);
    fflush(stdout);
    if (hold) waitForInputEnd();
    shutdown(peer, SD_SEND);
    closesocket(peer);
    WSACleanup();
    return ok ? 0 : 1;
}
