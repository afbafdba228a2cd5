// The one owner of a download's life: begin (open and check the local file, hold the request),
// the request leaving, the writes, and every end (complete, failed write, peer gone, no answer).
// One state word, changed only by compare-and-swap, says which thread holds the download.
#pragma once

#include <windows.h>

#include <cstdint>

#include "core/records.h"

// UI thread: a download is being opened, waits to be requested, runs or is ending.
bool downloadBusy();

// UI thread: the user chose `name` (listed as `entry`, of `expectedSize` bytes). Opens and checks
// the local file in Incoming, records the entry in requestedList and hands the request to the
// receiver, which sends it once the connection is quiet. Every refusal shows its own message.
void beginDownload(const char* name, const char* entry, uint32_t expectedSize);

// Receiver thread: a held request waits for the connection to be quiet.
bool downloadHeld();

// Receiver thread: a request held for `limit` ms (a listing that never ends, a peer that never
// stops sending) is given back with a message, so that no choice waits for ever.
void giveUpHeldRequestAfter(DWORD now, DWORD limit);

// Receiver thread: takes the held request (its record, and how many bytes of the file are
// missing) to send it. False when there is none, or the user's thread took it back.
bool takeHeldRequest(char record[RECORD_SIZE], uint32_t* missing);

enum class RequestSend { Whole, NotSent, Partly };

// Receiver thread: how sending the request taken by takeHeldRequest went. Only Whole goes on.
void requestSendEnded(RequestSend outcome);

// Receiver thread: true while a sent request's answer is being written.
bool downloadRunning();

enum class FileWrite { Continue, Complete, Failed };

// Receiver thread: appends bytes of the answer to the local file. Complete and Failed end the
// download (after its message), so the caller drops whatever of the answer still comes.
FileWrite writeToDownload(const char* data, unsigned count);

// Receiver thread: nothing of the answer came for too long. The partial file stays, the entry
// can be chosen again, and the user is told.
void abandonDownload();

// Receiver thread: the connection has ended. A held request is given back with a message; a
// running download ends with what has arrived.
void endDownloadPeerGone();
