// Message boxes with the program's captions and icons.

#include "services/message_box.h"

#include <cstdio>

const char* const CAPTION_WITH_DOTS = "Caldervine...";
const char* const CAPTION_PLAIN = "Caldervine";

int showMessage(HWND owner, const char* text, const char* caption)
{
    return MessageBoxA(owner, text, caption, MB_ICONINFORMATION | MB_OK);
}

int showNamedMessage(HWND owner, const char* format, const char* name, const char* caption)
{
    char text[1024];
    snprintf(text, sizeof text, format, name);
    return showMessage(owner, text, caption);
}

bool askYesNo(HWND owner, const char* text, const char* caption)
{
    return MessageBoxA(owner, text, caption, MB_YESNO | MB_ICONQUESTION) == IDYES;
}
