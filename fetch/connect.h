// The connect dialog and the one outgoing connection to a peer's port 21120.
#pragma once

#include <windows.h>

// Start-up: creates the dialog hidden and top-most, its Port field showing 21120.
HWND createConnectDialog();
