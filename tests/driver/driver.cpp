// The test driver: a console program that works Caldervine's windows from outside, the way a
// user's mouse and keyboard would, and reads back what they show. End-to-end tests keep one
// driver running next to the program and talk to it through stdin and stdout
// (tests/e2e/driver.py wraps it for Python).
//
// This file reads the command lines and writes the replies; commands.cpp holds the commands,
// program.cpp finds the program's windows and describes them, icons.cpp tells a message box's
// icon, input.cpp makes the mouse and keyboard input, text.cpp the JSON and the arguments.
//
// Protocol
//   One command per line on stdin (UTF-8, \n or \r\n); exactly one reply line per command on
//   stdout, flushed at once:
//     OK <json>       the command was done; <json> is one JSON value (object, array or string)
//     ERR <reason>    it could not be done; <reason> is plain text on the same line
//   Replies are pure ASCII: texts are JSON strings with every character outside printable ASCII
//   written as \uXXXX (UTF-16), so json.loads gives back the text the window shows. Window
//   handles are strings "0x..." (hex), styles strings "0x........".
//
//   Arguments are separated by spaces. A <text> argument is the whole rest of the line after
//   one separating space, kept as it is (leading and trailing spaces too) except for escapes:
//     \\  \n  \r  \t  \s (a space)  \uXXXX (one UTF-16 unit)
//
//   <window>  main | dialog (the connect dialog) | msgbox (the current message box)
//   <list>    requested | remote: the upper and the lower list box of the main window
//   <target>  a <list>, or a <window> (meaning the control in it that has the keyboard focus,
//             or the window itself)
//   <bar>     download | upload: the upper and the lower progress bar
//   Times are in milliseconds. A message sent to the program's windows that gets no answer
//   within 3000 ms fails the command ("ERR window ... gave no answer").
//   Actions are posted, as input is, so the reply comes at once even when the action opens a
//   modal message box; follow them with a wait-... or msgbox command.
//
// Commands
//   find-main [timeout]           wait (default 10000) for the main window (class MyClassWindow),
//                                 attach to it, and wait on until the program first waits for
//                                 input (WaitForInputIdle) -> {"hwnd","pid","thread","idle","count"}
//                                 Other commands attach by themselves, and again to a new main
//                                 window once the old one has gone.
//   pid                           -> {"pid"}
//   exited [timeout]              wait (default 0) for the program's process to end
//                                 -> {"alive":true} | {"alive":false,"code":N}
//   title                         -> "title of the main window"
//   wait-title <timeout> <text>   wait until the title contains <text> -> "title"
//   rect <window>                 -> {"hwnd","window":[l,t,r,b],"client":[l,t,r,b],"style",
//                                     "exstyle","visible","enabled","topmost"} (screen pixels)
//   dialog-state                  -> {"exists","visible","topmost","hwnd","window":[l,t,r,b]}
//   wait-dialog <shown|hidden> <timeout>   wait for the connect dialog -> as dialog-state
//   controls <window>             each direct child, in Z order (the order of creation) ->
//                                 [{"hwnd","class","id","text","style","exstyle","visible",
//                                   "enabled","rect":[x,y,w,h]}]  (pixels in the parent's
//                                 client area; "text" by WM_GETTEXT)
//   list <list>                   -> {"count","selected","top","items":["..."]}
//   wait-list <list> <n> <timeout>   wait until the list has at least <n> entries -> as list
//   watch-list <list> <n> <timeout>  the same, asking for the count every 5 ms and timing each
//                                 answer -> {"count","ms" (until <n> or the timeout),
//                                 "slowest" (the longest answer, ms),"answers"}
//   item <list> <index>           one entry, cheaply while a long list fills
//                                 -> {"count","selected","text"} ("text" null past the end)
//   select <list> <index>         LB_SETCURSEL, then LBN_SELCHANGE to the parent as a click
//                                 would send it (-1 clears) -> {"selected"}
//   click-item <list> <index>     button down and up at the entry's centre, scrolled into view
//                                 first as a user would -> {"x","y"} (list client pixels)
//   dblclick <list> <index>       down, up, double-click, up at the entry's centre -> {"x","y"}
//   key <target> <key>...         each key pressed and released: WM_KEYDOWN and WM_KEYUP
//                                 posted; the program's own TranslateMessage makes the WM_CHAR,
//                                 as for a real key. <key>: a letter or digit, enter escape
//                                 space tab back delete up down left right home end prior next
//                                 alt f1..f12, a virtual-key code (decimal or 0x..), or
//                                 alt+<key> (held Alt: WM_SYSKEYDOWN/UP with the Alt bit).
//                                 Alt and F10 go as system keys. The menu bar titles have no
//                                 mnemonics, so File > Connect from the keyboard is
//                                 "key main f10 down c" (or "alt down c"); a grayed item is not
//                                 carried out that way, as for a user -> {}
//   char <target> <code>          WM_CHAR <code> posted, without key down and up -> {}
//   menu <id>                     a menu choice: WM_COMMAND <id> posted to the main window.
//                                 Refused ("ERR disabled") when menu-state can tell it is grayed
//   menu-state <id>               -> {"enabled","grayed","checked"}. Under Wine another
//                                 process's menu cannot be read: "ERR unreadable ..."
//   click <window> <id>           BM_CLICK posted to that button; refused when the button is
//                                 disabled or hidden, as nobody could click it -> {}
//   settext <window> <id> <text>  WM_SETTEXT; refused when the control is disabled or hidden
//   type <window> <id> <text>     one WM_CHAR per character, inserted where the caret is (so
//                                 settext "" first to replace); refused likewise -> {}
//   gettext <window> <id>         -> "text" (WM_GETTEXT)
//   close-box <window>            WM_SYSCOMMAND SC_CLOSE posted: what the close box sends -> {}
//   alt-f4 <window>               "key <window> alt+f4": DefWindowProc turns it into SC_CLOSE
//   msgbox [timeout]              wait (default 5000) for a message box of the program ->
//                                 {"hwnd","caption","text","icon","buttons":[{"id","text"}],
//                                  "owner":"main"|"dialog"|"none"|"0x..","thread":"ui"|"worker",
//                                  "count"}  ("count": boxes open at once; the topmost is shown)
//   msgbox-answer <button> [timeout]   BM_CLICK on a button of the current box: ok yes no
//                                 cancel abort retry ignore, a button id, or the button's text
//                                 without '&' (any case). Then waits (default 5000) until the
//                                 box is destroyed -> {"button","ms","destroyed"}
//   no-msgbox <ms>                fails as soon as a message box shows up within <ms> -> {}
//   progress <bar>                -> {"pos","max"}
//   post <window|list> <message> <wParam> <lParam>   any message, posted (numbers) -> {}
//   focus                         the program's UI thread: focus, active, capture and menu
//                                 owner windows, and the foreground window
//   sleep <ms>                    -> {}
//   quit                          -> {}, and the driver ends (so it does at the end of input)
//
// Message boxes are the program's visible top-level windows of class #32770 other than the
// connect dialog (caption "Authentication required"); ShellAbout's box counts as one too.
// "text" is the static numbered 0xFFFF (Windows) or 100 (Wine), else the longest static text.
//
// Icons ("information", "warning", "question", "error", "none", "unknown"): a box's icon is its
// visible SS_ICON static. Where icon handles are shared between processes (Windows), the handle
// from STM_GETICON equals LoadIcon(NULL, IDI_...) here. Under Wine each process loads icons of
// its own and cannot read another's, so the icon is read from the screen: the static's pixels are
// compared with each system icon drawn here at the static's size, over the pixels the icon covers
// completely; the best match of at least 95 % wins, else "unknown" (a hidden or covered box).
//
// Wine without a window manager: hiding a top-level window with a caption (a message box being
// answered, the connect dialog on Cancel) leaves its thread waiting about 2 s for the window
// manager that never answers, and that thread handles nothing meanwhile. msgbox-answer waits
// until the box is destroyed, so a reply means the program goes on. With the prefix's
// HKCU\Software\Wine\X11 Driver "Managed"="N" Wine draws the frames itself and there is no wait.

#include "driver.h"

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <exception>
#include <string>

using namespace driver;

namespace {

void reply(const std::string& line)
{
    fwrite(line.data(), 1, line.size(), stdout);
    fputc('\n', stdout);
    fflush(stdout);
}

std::string oneLine(std::string text)
{
    for (char& c : text)
        if (c == '\n' || c == '\r') c = ' ';
    return text;
}

// One line of input without its end (\n or \r\n); false at the end of input.
bool readLine(std::string& line)
{
    line.clear();
    int c;
    while ((c = fgetc(stdin)) != EOF && c != '\n') line += static_cast<char>(c);
    if (c == EOF && line.empty()) return false;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return true;
}

}  // namespace

int main()
{
    _setmode(_fileno(stdin), _O_BINARY);
    _setmode(_fileno(stdout), _O_BINARY);
    std::string line;
    while (readLine(line)) {
        Args args(line);
        if (!args.more()) {
            reply("ERR empty command");
            continue;
        }
        try {
            std::string name = args.word("command");
            if (name == "quit") {
                reply("OK {}");
                break;
            }
            auto command = commands().find(name);
            if (command == commands().end()) fail("unknown command: " + name);
            reply("OK " + command->second(args));
        } catch (const std::exception& error) {
            reply("ERR " + oneLine(error.what()));
        }
    }
    if (program.process != nullptr) CloseHandle(program.process);
    return 0;
}
