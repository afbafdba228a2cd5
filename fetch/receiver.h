// ReceiverWorker: the one reader of the outgoing connection. It fills the remote list from the
// peer's listing records and writes an active download's bytes into its local file.
#pragma once

#include <winsock2.h>
#include <windows.h>

// UI thread: starts the receiver of connect attempt `attempt` on `socket`.
void startReceiver(SOCKET socket, LONG attempt);
