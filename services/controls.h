// The main window's child controls in their fixed layout.
#pragma once

#include <windows.h>

// Makes both lists (with the fixed-pitch font), the O.K button, both bars at 0 and their labels
// inside the main window being created, and keeps the handles the program uses in `app`.
void createMainControls(HWND window);
