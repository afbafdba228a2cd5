// Applying the title rules to the main window.

#include "services/status_title.h"

#include "services/app_state.h"
#include "services/ids.h"

namespace {
void readTitle(char out[TITLE_CAPACITY])
{
    ZeroMemory(out, TITLE_CAPACITY);
    GetWindowTextA(app.mainWindow, out, static_cast<int>(TITLE_CAPACITY));
}
}  // namespace

void applyStatusRule(TitleRule rule)
{
    char current[TITLE_CAPACITY];
    char next[TITLE_CAPACITY];
    readTitle(current);
    applyTitleRule(rule, current, next);
    SetWindowTextA(app.mainWindow, next);
}

void titleShareConnected() { applyStatusRule(TitleRule::ShareConnected); }
void titleShareClosed() { applyStatusRule(TitleRule::ShareClosed); }
void titleFetchConnected() { applyStatusRule(TitleRule::FetchConnected); }
void titleFetchClosed() { applyStatusRule(TitleRule::FetchClosed); }

void requestStatusRule(TitleRule rule)
{
    SendMessageA(app.mainWindow, WM_APPLY_TITLE_RULE, static_cast<WPARAM>(rule), 0);
}
