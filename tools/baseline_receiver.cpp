// baseline_receiver: the least a Win32 program can do to receive a stream into a file, for
// comparison with Caldervine's fetching side under the same Wine. Like that side it connects to
// address:port; it receives up to 4096 bytes at a time and writes them with WriteFile until the
// peer closes. It shares no code with the program.
//
//   baseline_receiver ADDRESS PORT OUTFILE [--select]
//
// --select waits for the socket with select() (250 ms time-out) before every recv, as a
// receiving thread that also watches for being told to stop does.
//
// Prints "received BYTES bytes in SECONDS s" at the end (timed from the connection).

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

}  // namespace

int main(int argc, char** argv)
{
    const char* positional[3] = {nullptr, nullptr, nullptr};
    int count = 0;
    bool waitFirst = false;
    for (int i = 1; i < argc; ++i) {
        if (lstrcmpA(argv[i], "--select") == 0) {
            waitFirst = true;
        } else if (count < 3) {
            positional[count++] = argv[i];
        }
    }
    if (count < 3) {
        fprintf(stderr, "usage: baseline_receiver ADDRESS PORT OUTFILE [--select]\n");
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
    double start = now();
    static char chunk[CHUNK];
    unsigned long long total = 0;
    bool ok = true;
    for (;;) {
        if (waitFirst) {
            fd_set readable;
            FD_ZERO(&readable);
            FD_SET(s, &readable);
            timeval wait = {0, 250000};
            int ready = select(0, &readable, nullptr, nullptr, &wait);
            if (ready == 0) continue;
            if (ready == SOCKET_ERROR) {
                fprintf(stderr, "select failed (error %d)\n", WSAGetLastError());
                ok = false;
                break;
            }
        }
        int got = recv(s, chunk, CHUNK, 0);
        if (got == 0) break;
        if (got == SOCKET_ERROR) {
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
    closesocket(s);
    CloseHandle(file);
    WSACleanup();
    printf("received %llu bytes in %.3f s\n", total, seconds);
    fflush(stdout);
    return ok ? 0 : 1;
}
