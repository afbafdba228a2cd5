// The four ways of choosing (double-click, Enter, View > Download, O.K) all end in the Enter
// handling of remoteListProc. A choice is checked, recorded in requestedList once it can really
// be served, and sent as a request whose offset is the size of the local copy.

#include "fetch/choose.h"

#include <cstdio>
#include <cstring>

#include "app/app_state.h"
#include "app/ids.h"
#include "app/socket_send.h"
#include "ui/message_box.h"

namespace {

const char* const BUSY_MESSAGE = "You already have a Thread in run...\r\n          Please Wait!!!";
const char* const REFUSAL_MESSAGE =
    "You did choose a Directory instead of File!\r\nOr you have selected nothing!\r\nPlease, Re-make your choice!";
const char* const COMPLETE_MESSAGE = "You have already downloaded this file...!";
const char* const CLOSED_MESSAGE = "The request could not be sent: the connection to the peer is closed.";

enum class RequestOutcome { Sent, AlreadyComplete, Failed };

// The selected entry's text, or false when nothing usable is selected.
bool readSelectedEntry(char out[PATH_CAPACITY])
{
    out[0] = 0;
    LRESULT index = SendMessageA(app.remoteList, LB_GETCURSEL, 0, 0);
    if (index == LB_ERR) return false;
    LRESULT length = SendMessageA(app.remoteList, LB_GETTEXTLEN, static_cast<WPARAM>(index), 0);
    if (length == LB_ERR || length >= static_cast<LRESULT>(PATH_CAPACITY)) return false;
    return SendMessageA(app.remoteList, LB_GETTEXT, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(out)) != LB_ERR;
}

// Enter over the selection: a file entry is taken, "." and ".." or no selection are refused.
LRESULT onEnterInRemoteList(HWND window, WPARAM wParam, LPARAM lParam)
{
    ZeroMemory(app.selectedName, sizeof app.selectedName);
    char entry[PATH_CAPACITY];
    RecordFields fields;
    bool usable = readSelectedEntry(entry) && readRecordText(entry, strlen(entry), &fields);
    bool dotEntry = usable && ((fields.nameLength == 1 && fields.name[0] == '.') ||
                               (fields.nameLength == 2 && fields.name[0] == '.' && fields.name[1] == '.'));
    if (!usable || dotEntry) {
        showMessage(app.mainWindow, REFUSAL_MESSAGE, CAPTION_PLAIN);
        return CallWindowProcA(app.remoteListBaseProc, window, WM_CHAR, wParam, lParam);
    }
    CopyMemory(app.selectedName, fields.name, fields.nameLength);
    app.selectedName[fields.nameLength] = 0;
    app.expectedSize = static_cast<LONG>(fields.number);
    return SendMessageA(app.mainWindow, WM_COMMAND, IDM_START_DOWNLOAD, 0);
}

// Opens (or creates) the local copy and sends the request from its size on.
RequestOutcome sendRequest()
{
    uint32_t expected = static_cast<uint32_t>(app.expectedSize);
    char record[RECORD_SIZE];
    HANDLE file = CreateFileA(app.incomingPath, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        char folder[PATH_CAPACITY];
        joinPath(app.workingDirectory, "\\Incoming", "", 0, folder);
        showNamedMessage(app.mainWindow, "Caldervine cannot open or create a file in the folder\r\n%s\r\n"
                         "Please check that this folder exists and can be written to.",
                         folder, CAPTION_PLAIN);
        return RequestOutcome::Failed;
    }
    DWORD sizeHigh = 0;
    DWORD size = GetFileSize(file, &sizeHigh);
    if (sizeHigh != 0 || size > expected) {
        CloseHandle(file);
        showNamedMessage(app.mainWindow, "Your copy of \"%s\" in Incoming is larger than the file the peer offers,\r\n"
                         "so it cannot be resumed. Move it away to download the file again.",
                         app.selectedName, CAPTION_PLAIN);
        return RequestOutcome::Failed;
    }
    if (size == expected) {
        CloseHandle(file);
        app.downloadBusy = 0;
        showMessage(app.mainWindow, COMPLETE_MESSAGE, CAPTION_PLAIN);
        return RequestOutcome::AlreadyComplete;
    }
    formatRecord(RecordKind::Request, app.selectedName, size, record);
    LONG sizeHighPart = 0;
    SetFilePointer(file, static_cast<LONG>(size), &sizeHighPart, FILE_BEGIN);
    app.downloadFile = file;
    app.receivedBytes = static_cast<LONG>(size);
    lstrcpynA(app.downloadName, app.selectedName, PATH_CAPACITY);
    app.downloadActive = 1;
    if (!sendRecordNow(app.fetchSocket, record, RECORD_SIZE)) {
        app.downloadActive = 0;
        app.downloadFile = INVALID_HANDLE_VALUE;
        CloseHandle(file);
        showMessage(app.mainWindow, CLOSED_MESSAGE, CAPTION_PLAIN);
        return RequestOutcome::Failed;
    }
    return RequestOutcome::Sent;
}

}  // namespace

LRESULT CALLBACK remoteListProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_CHAR:
        ZeroMemory(app.selectedName, sizeof app.selectedName);
        if (app.downloadBusy == 1) return showMessage(app.mainWindow, BUSY_MESSAGE, CAPTION_WITH_DOTS);
        if (wParam == VK_RETURN) return onEnterInRemoteList(window, wParam, lParam);
        break;
    case WM_LBUTTONDBLCLK:
        SendMessageA(window, WM_CHAR, VK_RETURN, 0);
        break;
    default:
        break;
    }
    return CallWindowProcA(app.remoteListBaseProc, window, message, wParam, lParam);
}

LRESULT onViewDownload()
{
    if (app.downloadBusy == 1) return showMessage(app.mainWindow, BUSY_MESSAGE, CAPTION_WITH_DOTS);
    SendMessageA(app.remoteList, WM_LBUTTONDBLCLK, 0, 0);
    return 0;
}

LRESULT onStartChosenDownload()
{
    ZeroMemory(app.incomingPath, sizeof app.incomingPath);
    ZeroMemory(app.selectedEntry, sizeof app.selectedEntry);
    size_t nameLength = strlen(app.selectedName);
    char probe[RECORD_SIZE];
    if (!isPlainEntryName(app.selectedName, nameLength)) {
        showNamedMessage(app.mainWindow, "The peer offers \"%s\", which is not a plain file name.\r\n"
                         "Caldervine does not save it.",
                         app.selectedName, CAPTION_PLAIN);
        return 0;
    }
    if (!joinPath(app.workingDirectory, "\\Incoming\\", app.selectedName, nameLength, app.incomingPath) ||
        !formatRecord(RecordKind::Request, app.selectedName, 0xFFFFFFFFu, probe)) {
        showNamedMessage(app.mainWindow, "The name \"%s\" is too long to be saved in the Incoming folder.", app.selectedName,
                         CAPTION_PLAIN);
        return 0;
    }
    if (!readSelectedEntry(app.selectedEntry)) return 0;
    if (SendMessageA(app.requestedList, LB_FINDSTRINGEXACT, static_cast<WPARAM>(-1),
                     reinterpret_cast<LPARAM>(app.selectedEntry)) != LB_ERR)
        return 0;
    // The peer has gone: a request now would wait for an answer for the rest of the run.
    if (app.fetchClosed == 1) {
        showMessage(app.mainWindow, CLOSED_MESSAGE, CAPTION_PLAIN);
        return 0;
    }
    app.downloadBusy = 1;
    RequestOutcome outcome = sendRequest();
    if (outcome == RequestOutcome::Failed) {
        app.downloadBusy = 0;
        return 0;
    }
    SendMessageA(app.requestedList, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(app.selectedEntry));
    return 0;
}

void installRemoteListProc(HWND list)
{
    app.remoteListBaseProc =
        reinterpret_cast<WNDPROC>(SetWindowLongPtrA(list, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(remoteListProc)));
}
