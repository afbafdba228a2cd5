// ReceiverWorker: the one reader of the outgoing connection. It fills the remote list from the
// peer's listing records, sends a held request once the connection is quiet, and hands the
// answer's bytes to the download's owner.
#pragma once

#include <winsock2.h>
#include <windows.h>

// UI thread, once the connection is made: starts the receiver on `socket`.
void startReceiver(SOCKET socket);

// UI thread, WM_LISTING_ENTRIES: adds `count` entries of the peer's listing to the remote list,
// their texts zero-terminated one after the other at `texts` (the receiver's, until this returns).
void onListingEntries(WPARAM count, LPARAM texts);
