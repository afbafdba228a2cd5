// Progress-bar updates: the percentage comes from core/progress_position, the lock is opened by
// name for each update so that it never depends on the handle the main window keeps.

#include "services/progress.h"

#include <commctrl.h>

#include "core/progress_position.h"
#include "services/app_state.h"

namespace {
// The position each bar was last given; each bar has one worker at a time.
volatile LONG shownPosition[2];

volatile LONG* shownFor(HWND bar) { return &shownPosition[bar == app.downloadBar ? 0 : 1]; }
}  // namespace

void setProgress(HWND bar, uint32_t done, uint32_t total)
{
    int position = progressPosition(done, total);
    volatile LONG* shown = shownFor(bar);
    if (*shown == position) return;
    // Releasing needs MUTEX_MODIFY_STATE as well: with SYNCHRONIZE alone the release fails and the
    // lock stays held, so the other bar's worker would wait until this thread ends.
    HANDLE lock = OpenMutexA(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, "Caldervine");
    WaitForSingleObject(lock, INFINITE);
    SendMessageA(bar, PBM_SETPOS, static_cast<WPARAM>(position), 0);
    *shown = position;
    ReleaseMutex(lock);
    CloseHandle(lock);
    Sleep(0);
}

void resetProgress(HWND bar)
{
    SendMessageA(bar, PBM_SETPOS, 0, 0);
    *shownFor(bar) = 0;
}
