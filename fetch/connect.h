// The connect dialog and the one outgoing connection to a peer's port 21120.
#pragma once

#include <windows.h>

INT_PTR CALLBACK connectDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
