// baseline_receiver: the least a Win32 program can do to receive a stream into a file, for
// comparison with Caldervine's fetching side under the same Wine. Like that side it connects to
// address:port on a non-blocking socket, receives up to 4096 bytes at a time and writes them with
// WriteFile, and waits with select() only when nothing is queued, until the peer closes. It
// shares no code with the program.
//
//   baseline_receiver ADDRESS PORT OUTFILE [--hold]
//
// Prints "received BYTES bytes in SECONDS s" at the end (timed from the connection). --hold
// keeps the process until its standard input ends, so that its CPU time can be read after the
// transfer.

#include <winsock2.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>

namespace {

const int CHUNK = 4096;

double now()
{
    static LARGE_INTEGER frequency;
    if (frequency.QuadPart == 0) QueryPerformanceFrequency(&frequency);
    LARGE_INTEGER count;
    QueryPerformanceCounter(&count);
    return static_cast<double>(count.QuadPart) / static_cast<double>(frequency.QuadPart);
}

bool waitReadable(SOCKET s)
{
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(s, &readable);
    timeval wait = {0, 100000};
    return select(0, &readable, nullptr, nullptr, &wait) != SOCKET_ERROR;
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
    const char* positional[3] = {nullptr, nullptr, nullptr};
    int count = 0;
    bool hold = false;
    for (int i = 1; i < argc; ++i) {
        if (lstrcmpA(argv[i], "--hold") == 0) {
            hold = true;
        } else if (count < 3) {
            positional[count++] = argv[i];
        }
    }
    if (count < 3) {
        fprintf(stderr, "usage: baseline_receiver ADDRESS PORT OUTFILE [--hold]\n");
        return 2;
    }
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0) return 1;
    sockaddr_in peer;
    ZeroMemory(&peer, sizeof peer);
    peer.sin_family = AF_INET;
    peer.sin_addr.s_addr = inet_addr(positional[0]);
    peer.sin_port = htons(static_cast<unsigned short>(atoi(positional[1])));
    if (peer.sin_addr.s_addr == INADDR_NONE) {
        fprintf(stderr, "bad address %s\n", positional[0]);
        return 2;
    }
    HANDLE file = CreateFileA(positional[2], GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                              nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        fprintf(stderr, "cannot create %s\n", positional[2]);
        return 1;
    }
    SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
    if (connect(s, reinterpret_cast<sockaddr*>(&peer), sizeof peer) == SOCKET_ERROR) {
        fprintf(stderr, "connect failed (error %d)\n", WSAGetLastError());
        CloseHandle(file);
        return 1;
    }
    u_long nonBlocking = 1;
    ioctlsocket(s, FIONBIO, &nonBlocking);
    double start = now();
    static char chunk[CHUNK];
    unsigned long long total = 0;
    bool ok = true;
    for (;;) {
        int got = recv(s, chunk, CHUNK, 0);
        if (got == 0) break;
        if (got == SOCKET_ERROR) {
            if (WSAGetLastError() == WSAEWOULDBLOCK && waitReadable(s)) continue;
            fprintf(stderr, "recv failed (error %d)\n", WSAGetLastError());
            ok = false;
            break;
        }
        DWORD written = 0;
        if (!WriteFile(file, chunk, static_cast<DWORD>(got), &written, nullptr) ||
            written != static_cast<DWORD>(got)) {
            fprintf(stderr, "write failed\n");
            ok = false;
            break;
        }
        total += static_cast<unsigned long long>(got);
    }
    double seconds = now() - start;
    CloseHandle(file);
    printf("received %llu bytes in %.3f s\n", total, seconds);
    fflush(stdout);
    if (hold) waitForInputEnd();
    closesocket(s);
    WSACleanup();
    return ok ? 0 : 1;
}
