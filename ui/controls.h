// The main window's class and frame, its child controls, and the connect dialog.
#pragma once

#include <windows.h>

void registerMainWindowClass();
HWND createMainWindow();
// Makes the lists, the O.K button, both bars and their labels inside the main window being created.
void createMainControls(HWND window);
HWND createConnectDialog();
