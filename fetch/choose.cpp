// The four ways of choosing an entry of the peer's listing (a double-click, Enter, View > Download
// and the O.K button) take the selected entry, check it and hand it to the download's owner
// (fetch/download.cpp), which opens the local file and holds the request until it can leave.

#include "fetch/choose.h"

#include <cstring>

#include "fetch/download.h"
#include "services/app_state.h"
#include "services/message_box.h"

namespace {

const char* const BUSY_MESSAGE = "You already have a Thread in run...\r\n          Please Wait!!!";
const char* const REFUSAL_MESSAGE =
    "You did choose a Directory instead of File!\r\nOr you have selected nothing!\r\nPlease, Re-make your choice!";
const char* const NOT_PLAIN_MESSAGE =
    "The peer offers \"%s\", which is not a plain file name.\r\nCaldervine does not save it.";

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

bool isDotEntry(const RecordFields& fields)
{
    return (fields.nameLength == 1 && fields.name[0] == '.') ||
           (fields.nameLength == 2 && fields.name[0] == '.' && fields.name[1] == '.');
}

// The selected entry becomes a download, unless it is no file (nothing usable is selected, or "."
// or ".."), its name is not a plain file name, or it was chosen before in this run. The download's
// owner refuses the rest (a name too long, a local file that is not the one named). False when
// the choice was refused as no file.
bool chooseSelectedEntry()
{
    char entry[PATH_CAPACITY];
    RecordFields fields;
    if (!readSelectedEntry(entry) || !readRecordText(entry, strlen(entry), &fields) || isDotEntry(fields)) {
        showMessage(app.mainWindow, REFUSAL_MESSAGE, CAPTION_PLAIN);
        return false;
    }
    char name[PATH_CAPACITY];  // the entry's text fits, so its name does
    CopyMemory(name, fields.name, fields.nameLength);
    name[fields.nameLength] = 0;
    if (!isPlainEntryName(name, fields.nameLength)) {
        showNamedMessage(app.mainWindow, NOT_PLAIN_MESSAGE, name, CAPTION_PLAIN);
        return true;
    }
    if (SendMessageA(app.requestedList, LB_FINDSTRINGEXACT, static_cast<WPARAM>(-1), reinterpret_cast<LPARAM>(entry)) !=
        LB_ERR)
        return true;
    beginDownload(name, entry, fields.number);
    return true;
}

LRESULT passOn(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    return CallWindowProcA(app.remoteListBaseProc, window, message, wParam, lParam);
}

// Any character typed into the list while a download is busy brings the busy message; Enter
// chooses the selected entry, and goes on to the list box when there was nothing to choose.
LRESULT onRemoteListCharacter(HWND window, WPARAM character, LPARAM lParam)
{
    if (downloadBusy()) return showMessage(app.mainWindow, BUSY_MESSAGE, CAPTION_WITH_DOTS);
    if (character == VK_RETURN && chooseSelectedEntry()) return 0;
    return passOn(window, WM_CHAR, character, lParam);
}

// The first click has selected the entry; the list box then sees the double-click as well.
LRESULT onRemoteListDoubleClick(HWND window, WPARAM wParam, LPARAM lParam)
{
    if (downloadBusy()) {
        showMessage(app.mainWindow, BUSY_MESSAGE, CAPTION_WITH_DOTS);
    } else {
        chooseSelectedEntry();
    }
    return passOn(window, WM_LBUTTONDBLCLK, wParam, lParam);
}

LRESULT CALLBACK remoteListProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_CHAR: return onRemoteListCharacter(window, wParam, lParam);
    case WM_LBUTTONDBLCLK: return onRemoteListDoubleClick(window, wParam, lParam);
    default: return passOn(window, message, wParam, lParam);
    }
}

}  // namespace

LRESULT onViewDownload()
{
    if (downloadBusy()) return showMessage(app.mainWindow, BUSY_MESSAGE, CAPTION_WITH_DOTS);
    chooseSelectedEntry();
    return 0;
}

void installRemoteListProc(HWND list)
{
    app.remoteListBaseProc =
        reinterpret_cast<WNDPROC>(SetWindowLongPtrA(list, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(remoteListProc)));
}
