// Moving the two progress bars from the transfer workers, one update at a time under the named
// lock "Caldervine".
#pragma once

#include <windows.h>

#include <cstdint>

// Worker threads: shows done/total on `bar`. An update that would not move the bar is skipped.
void setProgress(HWND bar, uint32_t done, uint32_t total);
// Worker threads: puts `bar` back to 0 at the end of a transfer (outside the lock).
void resetProgress(HWND bar);
