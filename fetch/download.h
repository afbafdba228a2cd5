// The one owner of a download's life: begin (open and check the local file, hold the request),
// the request leaving, the check of the answer's head against the copy, the writes, the check of
// the file's end, and every end (confirmed, rejected, failed write, connection gone, no answer).
// One state word, changed only by compare-and-swap, says which thread holds the download.
#pragma once

#include <windows.h>

#include <cstdint>

#include "core/overlap.h"
#include "core/records.h"

// UI thread: a download is being opened, waits to be requested, runs, is confirmed or is ending.
bool downloadBusy();

// UI thread: the user chose `name` (listed as `entry`, of `expectedSize` bytes). Opens and checks
// the local file in Incoming, records the entry in requestedList and hands the request to the
// receiver, which sends it once the connection is quiet. A copy that already has the listed size
// is not taken for complete until its last bytes, asked for, match the peer's. Every refusal
// shows its own message.
void beginDownload(const char* name, const char* entry, uint32_t expectedSize);

// Receiver thread: a request (the first one of a download, or the one that confirms its end)
// waits for the connection to be quiet.
bool requestHeld();

// Receiver thread: a request held for `limit` ms (a listing that never ends, a peer that never
// stops sending) is given back with a message, so that no choice waits for ever.
void giveUpHeldRequestAfter(DWORD limit);

// Receiver thread: takes the held request to send it: its record, what its answer is, and the
// local bytes the answer's head must repeat. False when there is none, or the user's thread took
// it back.
bool takeHeldRequest(char record[RECORD_SIZE], OverlapRequest* request, const char** expected);

enum class RequestSend { Whole, NotSent, Partly };

// Receiver thread: how sending the request taken by takeHeldRequest went. Only Whole goes on.
void requestSendEnded(RequestSend outcome);

// Receiver thread: the answer's head has been compared with the local bytes it repeats. A match
// of the first answer lets the rest be written; a match of the confirming answer writes the last
// byte and completes the download (or, for a copy that had the listed size, says it is complete).
// A difference ends the download with its message: the copy is of another version (it is left as
// it was), or the end could not be confirmed (the file goes back to its size before this download).
void headChecked(HeadVerdict verdict);

enum class FileWrite { Continue, Written, Failed };

// Receiver thread: appends bytes of the answer to the local file. Written: the last missing byte
// has arrived (it is held back, not written) and the request that confirms the end is held.
// Failed ends the download (after its message), so the caller counts off whatever of the answer
// still comes.
FileWrite writeToDownload(const char* data, unsigned count);

// Receiver thread: the connection has ended, by the peer or by this program (`gaveUp`: after an
// answer silent too long). A held request is given back with a message; a running download keeps
// what it has written, is told about when it was given up, and can be chosen again to resume.
void endDownloadConnectionGone(bool gaveUp);
