// The four ways of choosing (double-click, Enter, View > Download, O.K) all end in the Enter
// handling of remoteListProc, which checks the choice and hands it to the download's owner
// (fetch/download.cpp) directly: it opens the local file and holds the request until it can leave.

#include "fetch/choose.h"

#include <cstring>

#include "fetch/download.h"
#include "services/app_state.h"
#include "services/ids.h"
#include "services/message_box.h"

namespace {

const char* const BUSY_MESSAGE = "You already have a Thread in run...\r\n          Please Wait!!!";
const char* const REFUSAL_MESSAGE =
    "You did choose a Directory instead of File!\r\nOr you have selected nothing!\r\nPlease, Re-make your choice!";

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

// The entry taken by the Enter handling (its name in selectedName) becomes a download, unless
// its name is not a plain file name or it was chosen before in this run (the download's owner
// refuses the rest: a name too long, a local file that is not the one named).
void startChosenDownload()
{
    ZeroMemory(app.selectedEntry, sizeof app.selectedEntry);
    size_t nameLength = strlen(app.selectedName);
    if (nameLength == 0) return;
    if (!isPlainEntryName(app.selectedName, nameLength)) {
        showNamedMessage(app.mainWindow, "The peer offers \"%s\", which is not a plain file name.\r\n"
                         "Caldervine does not save it.",
                         app.selectedName, CAPTION_PLAIN);
        return;
    }
    RecordFields fields;
    if (!readSelectedEntry(app.selectedEntry) ||
        !readRecordText(app.selectedEntry, strlen(app.selectedEntry), &fields))
        return;
    if (SendMessageA(app.requestedList, LB_FINDSTRINGEXACT, static_cast<WPARAM>(-1),
                     reinterpret_cast<LPARAM>(app.selectedEntry)) != LB_ERR)
        return;
    beginDownload(app.selectedName, app.selectedEntry, fields.number);
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
    startChosenDownload();
    return 0;
}

// Every character typed into the list, and the Enter that a double-click or View > Download
// stands for. Returns the result, or -1 when the character goes on to the list box as it is.
LRESULT onRemoteListCharacter(HWND window, WPARAM wParam, LPARAM lParam, bool* passOn)
{
    *passOn = false;
    ZeroMemory(app.selectedName, sizeof app.selectedName);
    if (downloadBusy()) return showMessage(app.mainWindow, BUSY_MESSAGE, CAPTION_WITH_DOTS);
    if (wParam == VK_RETURN) return onEnterInRemoteList(window, wParam, lParam);
    *passOn = true;
    return 0;
}

}  // namespace

LRESULT CALLBACK remoteListProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    bool passOn = true;
    switch (message) {
    case WM_CHAR: {
        LRESULT result = onRemoteListCharacter(window, wParam, lParam, &passOn);
        if (!passOn) return result;
        break;
    }
    case WM_LBUTTONDBLCLK: onRemoteListCharacter(window, VK_RETURN, 0, &passOn); break;
    default: break;
    }
    return CallWindowProcA(app.remoteListBaseProc, window, message, wParam, lParam);
}

LRESULT onViewDownload()
{
    if (downloadBusy()) return showMessage(app.mainWindow, BUSY_MESSAGE, CAPTION_WITH_DOTS);
    bool passOn = false;
    onRemoteListCharacter(app.remoteList, VK_RETURN, 0, &passOn);
    return 0;
}

LRESULT onStartChosenDownload()
{
    if (!downloadBusy()) startChosenDownload();
    return 0;
}

void installRemoteListProc(HWND list)
{
    app.remoteListBaseProc =
        reinterpret_cast<WNDPROC>(SetWindowLongPtrA(list, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(remoteListProc)));
}
