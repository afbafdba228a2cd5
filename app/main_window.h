// The main window: its class, its frame and its procedure, which routes every message to one
// named handler.
#pragma once

#include <windows.h>

void registerMainWindowClass();
// Creates the centred main window; its creation handler makes the controls inside it.
HWND createMainWindow();
