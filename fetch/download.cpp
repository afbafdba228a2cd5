// The download's one owner. Its state word moves IDLE -> OPENING (the UI thread opens and checks
// the file) -> HELD (the request waits for a quiet line) -> SENDING -> RUNNING (the receiver
// compares the answer's head, then writes all but the file's last byte) -> CONFIRM_HELD ->
// CONFIRM_SENDING -> CONFIRMING (the file's last bytes asked for again and compared; the last
// byte is written once they match) -> ENDING -> IDLE. A local copy that already has the listed
// size goes from OPENING straight to CONFIRM_HELD: its end is compared in the same way, and
// nothing is written to it. Every step is a
// compare-and-swap, so of two threads that race for a download (the user's choice against the
// end of the connection) exactly one goes on with it, and that one alone closes the file. The
// fields of the download are written only by the thread that holds the state, and handed over by
// the interlocked step that publishes it.

#include "fetch/download.h"

#include <cstdio>
#include <cstring>

#include "core/names.h"
#include "core/receive_stream.h"
#include "services/app_state.h"
#include "services/message_box.h"
#include "services/progress.h"

namespace {

enum DownloadState : LONG {
    IDLE = 0,
    OPENING = 1,
    HELD = 2,
    SENDING = 3,
    RUNNING = 4,
    ENDING = 5,
    CONFIRM_HELD = 6,
    CONFIRM_SENDING = 7,
    CONFIRMING = 8,
};

// Everything the download tells the user, each with its caption; a %s is the file's name (the
// folder's path for NoFolder).
enum class Say {
    Nothing,
    Downloaded,
    Complete,
    Closed,
    OtherVersion,
    NotConfirmed,
    NotSent,
    NeverQuiet,
    GivenUp,
    RequestCut,
    WriteFailed,
    Unreadable,
    Larger,
    TooLong,
    NoFolder,
    Device,
    OtherName,
};

struct Saying {
    Say what;
    bool withDots;  // the "Caldervine..." caption of the transfer's own news
    const char* text;
};

const Saying SAYINGS[] = {
    {Say::Downloaded, true, "Your file is downloaded!"},
    {Say::Complete, false, "You have already downloaded this file...!"},
    {Say::Closed, false,
     "The request could not be sent: the connection to the peer is closed.\r\n"
     "Choose File > Connect to connect again."},
    {Say::OtherVersion, false,
     "Your copy of \"%s\" in Incoming does not end as the peer's file does at that place:\r\n"
     "the peer now has another version of this file. Nothing was written to your copy.\r\n"
     "To keep your copy, move it out of Incoming; then choose the file again to download the peer's version."},
    {Say::NotConfirmed, false,
     "The end of \"%s\" could not be confirmed: the peer's last bytes differ from those that arrived.\r\n"
     "Your copy is back to what it was before this download. Choose the file again."},
    {Say::NotSent, false,
     "The peer has not stopped sending for a long while, so the request for \"%s\"\r\n"
     "has not been sent. Choose the file again once its list is complete."},
    {Say::NeverQuiet, false,
     "The end of \"%s\" could not be confirmed: the peer did not stop sending long enough to be asked.\r\n"
     "All but its last byte is kept. Choose the file again to resume and confirm it."},
    {Say::GivenUp, false,
     "The peer has sent nothing more of \"%s\" for 30 seconds, so Caldervine has ended the connection.\r\n"
     "What has arrived is kept. To resume, choose File > Connect, connect again and choose the file."},
    {Say::RequestCut, false,
     "Only part of the request for \"%s\" could be sent, so Caldervine has ended the\r\n"
     "connection to the peer rather than leave it a cut request.\r\n"
     "To go on, choose File > Connect and connect again."},
    {Say::WriteFailed, false,
     "Caldervine could not write \"%s\" into the Incoming folder (is the disk full?).\r\n"
     "What has arrived is kept: choose the file again to resume."},
    {Say::Unreadable, false, "Caldervine could not read your copy of \"%s\" in Incoming."},
    {Say::Larger, false,
     "Your copy of \"%s\" in Incoming is larger than the file the peer offers,\r\n"
     "so it cannot be resumed. Move it away to download the file again."},
    {Say::TooLong, false, "The name \"%s\" is too long to be saved in the Incoming folder."},
    {Say::NoFolder, false,
     "Caldervine cannot open or create a file in the folder\r\n%s\r\n"
     "Please check that this folder exists and can be written to."},
    {Say::Device, false, "\"%s\" opens a device, not a file, on this computer.\r\nCaldervine does not save it."},
    {Say::OtherName, false,
     "The Incoming folder holds a file that answers to \"%s\" under another name\r\n"
     "(another letter case, or a short alias). Caldervine does not save into it."},
};

void say(Say what, const char* name)
{
    for (const Saying& saying : SAYINGS) {
        if (saying.what != what) continue;
        showNamedMessage(app.mainWindow, saying.text, name, saying.withDots ? CAPTION_WITH_DOTS : CAPTION_PLAIN);
        return;
    }
}

bool moveState(LONG from, LONG to) { return InterlockedCompareExchange(&app.downloadState, to, from) == from; }

LONG currentState() { return InterlockedCompareExchange(&app.downloadState, IDLE, IDLE); }

void forgetRequestedEntry()
{
    LRESULT index = SendMessageA(app.requestedList, LB_FINDSTRINGEXACT, static_cast<WPARAM>(-1),
                                 reinterpret_cast<LPARAM>(app.downloadEntry));
    if (index != LB_ERR) SendMessageA(app.requestedList, LB_DELETESTRING, static_cast<WPARAM>(index), 0);
}

// Only the holder of ENDING (or OPENING) calls this: the one close of the file.
void closeDownloadFile()
{
    HANDLE file = app.downloadFile;
    app.downloadFile = INVALID_HANDLE_VALUE;
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
}

// Ends the download held in ENDING: the file is closed, the bar back at 0, and a choice works again.
void finish(bool forgetEntry)
{
    closeDownloadFile();
    resetProgress(app.downloadBar);
    if (forgetEntry) forgetRequestedEntry();
    InterlockedExchange(&app.downloadState, IDLE);
}

// Reads `length` bytes of `file` from `offset` on into `out`; the file position ends after them.
bool readLocalBytes(HANDLE file, uint32_t offset, uint32_t length, char* out)
{
    LONG high = 0;
    if (SetFilePointer(file, static_cast<LONG>(offset), &high, FILE_BEGIN) == INVALID_SET_FILE_POINTER &&
        GetLastError() != NO_ERROR)
        return false;
    while (length > 0) {
        DWORD got = 0;
        if (!ReadFile(file, out, length, &got, nullptr) || got == 0 || got > length) return false;
        out += got;
        length -= got;
    }
    return true;
}

// Cuts the local file to `size` bytes.
void cutLocalFile(uint32_t size)
{
    LONG high = 0;
    SetFilePointer(app.downloadFile, static_cast<LONG>(size), &high, FILE_BEGIN);
    SetEndOfFile(app.downloadFile);
}

// The check of a local copy that already had the listed size: nothing is written to it.
bool checkingWholeCopy() { return app.downloadStartSize == app.expectedSize; }

// Writes the last byte, held back until the file's end was confirmed.
bool writeLastByte()
{
    LONG high = 0;
    DWORD written = 0;
    if (SetFilePointer(app.downloadFile, static_cast<LONG>(app.expectedSize - 1), &high, FILE_BEGIN) ==
            INVALID_SET_FILE_POINTER &&
        GetLastError() != NO_ERROR)
        return false;
    return WriteFile(app.downloadFile, &app.downloadLastByte, 1, &written, nullptr) && written == 1;
}

void copyName(char out[PATH_CAPACITY]) { lstrcpynA(out, app.downloadName, PATH_CAPACITY); }

// Ends the download held in ENDING, then tells why (or nothing, for Say::Nothing): a choice is
// free again while the message shows. The name is taken first, as the next download may take
// its place at once.
void endAndSay(Say what)
{
    char name[PATH_CAPACITY];
    copyName(name);
    finish(true);
    if (what != Say::Nothing) say(what, name);
}

// Tells, then ends, keeping the entry requested: shown while the download still counts as busy,
// its bar at its last position.
void sayAndEnd(Say what)
{
    char name[PATH_CAPACITY];
    copyName(name);
    say(what, name);
    finish(false);
}

// True when the file system's own name of the file at `path` is exactly `name`, letter case
// included. Windows opens a file under a short alias (SECRET~1.TXT) or, on a folder that tells
// case apart, under another case of its name: either way the open would resume into another file.
bool fileIsNamed(const char* path, const char* name)
{
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA(path, &found);
    if (search == INVALID_HANDLE_VALUE) return false;
    FindClose(search);
    return strcmp(found.cFileName, name) == 0;
}

// Opens Incoming\name (at `path`) for reading and writing, creating it if needed, and makes
// sure it is the file named and a disk file. Nothing stays open when it says why not.
Say openLocalFile(const char* path, const char* name)
{
    HANDLE file = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return Say::NoFolder;
    bool created = GetLastError() != ERROR_ALREADY_EXISTS;
    if (GetFileType(file) != FILE_TYPE_DISK) {
        CloseHandle(file);
        return Say::Device;
    }
    if (!fileIsNamed(path, name)) {
        CloseHandle(file);
        if (created) DeleteFileA(path);
        return Say::OtherName;
    }
    app.downloadFile = file;
    return Say::Nothing;
}

// Opens and checks the local copy of `name`, records the entry and prepares the request that
// resumes it (or, for a copy of the listed size, compares its end). Returns what ends the download
// here instead: a refusal, or Complete for an empty file.
Say openDownload(const char* name, const char* entry, uint32_t expectedSize, bool* recorded)
{
    char path[PATH_CAPACITY];
    char record[RECORD_SIZE];
    if (!joinPath(app.workingDirectory, "\\Incoming\\", name, strlen(name), path) ||
        !formatRecord(RecordKind::Request, name, 0xFFFFFFFFu, record))
        return Say::TooLong;
    Say opened = openLocalFile(path, name);
    if (opened != Say::Nothing) return opened;
    DWORD sizeHigh = 0;
    DWORD size = GetFileSize(app.downloadFile, &sizeHigh);
    if (sizeHigh != 0 || size > expectedSize) return Say::Larger;
    lstrcpynA(app.downloadEntry, entry, PATH_CAPACITY);
    SendMessageA(app.requestedList, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(app.downloadEntry));
    *recorded = true;
    if (expectedSize == 0) return Say::Complete;  // an empty file: nothing to compare
    // The request asks again for the copy's last bytes, which the answer must repeat before
    // anything is appended; for a copy of the listed size, that is the whole answer.
    OverlapRequest request = overlapRequest(size, expectedSize);
    if (!readLocalBytes(app.downloadFile, request.offset, request.head, app.downloadTail)) return Say::Unreadable;
    LONG sizeHighPart = 0;
    SetFilePointer(app.downloadFile, static_cast<LONG>(size), &sizeHighPart, FILE_BEGIN);
    formatRecord(RecordKind::Request, name, request.offset, app.downloadRequest);
    lstrcpynA(app.downloadName, name, PATH_CAPACITY);
    app.expectedSize = expectedSize;
    app.receivedBytes = size;
    app.downloadStartSize = size;
    app.downloadOffset = request.offset;
    app.downloadHeldAt = GetTickCount();
    return Say::Nothing;
}

bool connectionClosed() { return InterlockedCompareExchange(&app.fetchClosed, 0, 0) == 1; }

}  // namespace

bool downloadBusy() { return currentState() != IDLE; }

void beginDownload(const char* name, const char* entry, uint32_t expectedSize)
{
    // The peer has gone: a request now could never be answered.
    if (connectionClosed()) {
        say(Say::Closed, name);
        return;
    }
    if (!moveState(IDLE, OPENING)) return;  // the callers refuse a choice while busy
    bool recorded = false;
    Say ended = openDownload(name, entry, expectedSize, &recorded);
    if (ended != Say::Nothing) {
        // The one way out before the request is held: the file closed, the entry forgotten
        // unless the download is complete, a choice free again, then the message.
        closeDownloadFile();
        if (recorded && ended != Say::Complete) forgetRequestedEntry();
        InterlockedExchange(&app.downloadState, IDLE);
        char folder[PATH_CAPACITY];
        joinPath(app.workingDirectory, "\\Incoming", "", 0, folder);
        say(ended, ended == Say::NoFolder ? folder : name);
        return;
    }
    moveState(OPENING, checkingWholeCopy() ? CONFIRM_HELD : HELD);  // publishes the download's fields to the receiver

    // The receiver marks the connection closed before it gives back what is held, so after this
    // read either it will find the request held, or this thread sees the close: whichever takes
    // the download from where it is held ends it, once.
    if (connectionClosed() && (moveState(HELD, ENDING) || moveState(CONFIRM_HELD, ENDING))) endAndSay(Say::Closed);
}

bool requestHeld()
{
    LONG state = currentState();
    return state == HELD || state == CONFIRM_HELD;
}

void giveUpHeldRequestAfter(DWORD limit)
{
    // The state first, then the clock: a stamp published between two reads is never in the future.
    LONG state = currentState();
    if ((state != HELD && state != CONFIRM_HELD) || !answerOverdue(app.downloadHeldAt, GetTickCount(), limit) ||
        !moveState(state, ENDING))
        return;
    // All but the last byte of a finished download is on disk already; a whole copy is untouched.
    bool unconfirmed = state == CONFIRM_HELD && !checkingWholeCopy();
    endAndSay(unconfirmed ? Say::NeverQuiet : Say::NotSent);
}

bool takeHeldRequest(char record[RECORD_SIZE], OverlapRequest* request, const char** expected)
{
    if (!moveState(HELD, SENDING) && !moveState(CONFIRM_HELD, CONFIRM_SENDING)) return false;
    memcpy(record, app.downloadRequest, RECORD_SIZE);
    request->offset = app.downloadOffset;
    request->head = app.receivedBytes - app.downloadOffset;
    request->owed = app.expectedSize - app.downloadOffset;
    *expected = app.downloadTail;
    return true;
}

void requestSendEnded(RequestSend outcome)
{
    if (outcome == RequestSend::Whole) {
        if (!moveState(SENDING, RUNNING)) moveState(CONFIRM_SENDING, CONFIRMING);
        return;
    }
    if (!moveState(CONFIRM_SENDING, ENDING) && !moveState(SENDING, ENDING)) return;
    endAndSay(outcome == RequestSend::NotSent ? Say::Closed : Say::RequestCut);
}

void headChecked(HeadVerdict verdict)
{
    if (verdict == HeadVerdict::Pending) return;
    if (verdict == HeadVerdict::Match) {
        if (!moveState(CONFIRMING, ENDING)) return;  // the first answer's head: its rest is written
        if (checkingWholeCopy()) {
            sayAndEnd(Say::Complete);
        } else if (writeLastByte()) {
            sayAndEnd(Say::Downloaded);
        } else {
            endAndSay(Say::WriteFailed);
        }
        return;
    }
    bool running = moveState(RUNNING, ENDING);
    if (!running && !moveState(CONFIRMING, ENDING)) return;
    if (running || checkingWholeCopy()) {
        endAndSay(Say::OtherVersion);  // nothing of this answer was written: the copy is as it was
        return;
    }
    // The stream was shifted somewhere in this download: only what the file held before it is trusted.
    cutLocalFile(app.downloadStartSize);
    endAndSay(Say::NotConfirmed);
}

FileWrite writeToDownload(const char* data, unsigned count)
{
    if (currentState() != RUNNING) return FileWrite::Failed;
    // The file reaches its listed size only once its end is confirmed: until then its last byte
    // waits here, so that a run ended meanwhile leaves a copy that the next one resumes and checks.
    bool last = count > 0 && app.expectedSize - app.receivedBytes == count;
    DWORD toWrite = last ? count - 1 : count;
    DWORD written = 0;
    BOOL wrote = toWrite == 0 || WriteFile(app.downloadFile, data, toWrite, &written, nullptr);
    app.receivedBytes += written;
    if (!wrote || written != toWrite) {
        moveState(RUNNING, ENDING);
        endAndSay(Say::WriteFailed);
        return FileWrite::Failed;
    }
    if (last) {
        app.downloadLastByte = data[count - 1];
        app.receivedBytes += 1;
    }
    setProgress(app.downloadBar, app.receivedBytes, app.expectedSize);
    if (!last) return FileWrite::Continue;
    // Every byte is in: the file's last bytes are asked for once more, after the usual quiet.
    OverlapRequest confirm = overlapRequest(app.expectedSize, app.expectedSize);
    if (!readLocalBytes(app.downloadFile, confirm.offset, confirm.head - 1, app.downloadTail)) {
        moveState(RUNNING, ENDING);
        endAndSay(Say::WriteFailed);
        return FileWrite::Written;  // nothing more is owed: the answer has all come
    }
    app.downloadTail[confirm.head - 1] = app.downloadLastByte;
    formatRecord(RecordKind::Request, app.downloadName, confirm.offset, app.downloadRequest);
    app.downloadOffset = confirm.offset;
    app.downloadHeldAt = GetTickCount();
    moveState(RUNNING, CONFIRM_HELD);
    return FileWrite::Written;
}

void endDownloadConnectionGone(bool gaveUp)
{
    if (moveState(HELD, ENDING)) {
        endAndSay(Say::Closed);
        return;
    }
    if (!moveState(RUNNING, ENDING) && !moveState(CONFIRM_HELD, ENDING) && !moveState(CONFIRMING, ENDING)) return;
    // What has arrived stays in the local file (never its last byte unconfirmed), and the entry
    // can be chosen again on the next connection, to resume. A close by the peer shows in the title.
    endAndSay(gaveUp ? Say::GivenUp : Say::Nothing);
}
