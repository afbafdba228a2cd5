// The program's message boxes: a fixed text, an owner window and one of the two captions.
#pragma once

#include <windows.h>

// "Caldervine..." heads the questions, the warnings and the transfer messages; "Caldervine" the
// refusals of a choice and the failures that name a file or a folder.
extern const char* const CAPTION_WITH_DOTS;
extern const char* const CAPTION_PLAIN;

// An information box with an OK button; returns the box's answer.
int showMessage(HWND owner, const char* text, const char* caption);
// The same, with `name` put in place of the one %s of `format` (the text is cut if it is too long).
int showNamedMessage(HWND owner, const char* format, const char* name, const char* caption);
// A question with Yes and No; true only for Yes.
bool askYesNo(HWND owner, const char* text, const char* caption);
