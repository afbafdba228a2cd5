// The status title on the main window: written and read only on the user-interface thread.
// Workers ask that thread to apply a rule for them, so no update is ever lost between a read
// and a write.
#pragma once

#include <windows.h>

#include "core/title_text.h"

// UI thread: applies the rule at once.
void applyStatusRule(TitleRule rule);
void titleShareConnected();
void titleShareClosed();
void titleFetchConnected();
void titleFetchClosed();

// Any worker thread: has the UI thread apply the rule, and returns once it has.
void requestStatusRule(TitleRule rule);
