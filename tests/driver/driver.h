// What the test driver's files share: the failure every command reports as "ERR", the JSON
// writers, one command line's arguments, the program under test and its windows, and the input
// helpers. The protocol itself is described in driver.cpp.
#ifndef CALDERVINE_TEST_DRIVER_H
#define CALDERVINE_TEST_DRIVER_H

#include <windows.h>

#include <cstddef>
#include <functional>
#include <map>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace driver {

// A command that cannot be done; its reason becomes the "ERR" reply.
struct Failure : std::runtime_error {
    using std::runtime_error::runtime_error;
};

[[noreturn]] inline void fail(const std::string& reason) { throw Failure(reason); }

// -- Text (text.cpp) ----------------------------------------------------------------------------

std::wstring widen(const std::string& utf8);
std::string narrow(const std::wstring& text);  // for error messages: non-ASCII becomes '?'

// JSON values, pure ASCII: every character outside printable ASCII is written as \uXXXX.
std::string quote(const std::wstring& text);
std::string quote(const char* ascii);
std::string handleString(HWND window);
std::string styleString(LONG_PTR style);
std::string number(long long value);
std::string boolean(bool value);
using Fields = std::vector<std::pair<const char*, std::string>>;
std::string object(const Fields& fields);
std::string array(const std::vector<std::string>& items);
std::string rectArray(const RECT& r);

// The arguments of one command line, read from left to right.
class Args {
public:
    explicit Args(std::string line) : line_(std::move(line)) {}

    bool more() const;
    std::string word(const char* what);
    long long integer(const char* what);
    long long integerOr(const char* what, long long fallback) { return more() ? integer(what) : fallback; }
    std::wstring text();  // the rest of the line, escapes undone
    void end() const;     // fails when an argument is left

private:
    std::string line_;
    size_t at_ = 0;
};

// -- The program under test (program.cpp) -------------------------------------------------------

extern const wchar_t MAIN_CLASS[];

struct Program {
    HWND main = nullptr;
    DWORD pid = 0;
    DWORD uiThread = 0;
    HANDLE process = nullptr;  // kept open, so the exit code stays readable after the end
};
extern Program program;

void attach(HWND window);
HWND mainWindow();  // looked for again when the one known has gone
std::wstring className(HWND window);
std::wstring caption(HWND window);     // the caption the system keeps: never blocks on the program
std::wstring windowText(HWND window);  // WM_GETTEXT: a control's own text
LRESULT sendTo(HWND window, UINT message, WPARAM wParam, LPARAM lParam);  // fails without an answer
void postTo(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

HWND findConnectDialog();  // nullptr when there is none
std::vector<HWND> messageBoxes();
HWND messageBox();
HWND namedWindow(const std::string& name);  // main, dialog or msgbox
HWND namedList(const std::string& name);    // requested or remote
HWND namedBar(const std::string& name);     // download or upload
std::vector<HWND> children(HWND parent);
HWND childById(HWND parent, long long id);
RECT rectInParent(HWND child);

// Polls until ready() holds or the time is up; true when it held.
bool waitFor(long long timeout, const std::function<bool()>& ready);

// What a window, a list and a message box show, as JSON objects.
std::string describeWindow(HWND window);
std::string describeList(HWND list);
std::string describeMessageBox(HWND box, size_t count);

// -- Message box icons (icons.cpp) --------------------------------------------------------------

std::string iconKind(HWND box);  // information, warning, question, error, none or unknown

// -- Input (input.cpp) --------------------------------------------------------------------------

void requireUsable(HWND control);  // fails when nobody could click or type into it
POINT entryCentre(HWND list, long long index);
void postClick(HWND window, POINT at, bool twice);
UINT virtualKey(const std::string& name);
LPARAM keyParam(UINT key, bool up, bool alt);
HWND focusWithin(HWND window);
UINT menuState(UINT id);  // MF_ flags, or -1 when the menu cannot be read

// -- Commands (commands.cpp) --------------------------------------------------------------------

using Command = std::function<std::string(Args&)>;
const std::map<std::string, Command>& commands();  // by name, all but quit

}  // namespace driver

#endif
