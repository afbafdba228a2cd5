// Which names may be opened inside Share or Incoming, and joining them to a folder. Pure code:
// both sides check every name that comes from the network here before a path is built.
#pragma once

#include <cstddef>

// Longest path (and name) that a 255-byte text buffer holds with its terminating zero.
constexpr size_t PATH_CAPACITY = 255;

// True for a name that can only mean an entry directly inside a folder: not empty, not "." or
// "..", no path separators, drive or stream colons, wildcards or control characters, no trailing
// dot or space (Windows would strip them and open another entry), and not a device name such as
// NUL, COM1.txt or LPT² (Windows reserves the superscript digits of its code page like 1 to 9).
bool isPlainEntryName(const char* name, size_t length);

// True for a name that Windows opens as a device, given as the system sees it (UTF-16). In code
// pages where a superscript digit takes two bytes, "COM¹" escapes the byte check above.
bool isDeviceNameUtf16(const char16_t* name, size_t length);

// True for a name a listing may offer: a request that names it reads back as exactly this name
// and opens exactly this entry of `folder` + `subfolder`. Beyond isPlainEntryName: no space at
// its start (a record pads names with spaces on the left and its reader skips them all, so
// " a.txt" would be asked for as "a.txt"), and the entry's whole path fits a path buffer.
bool isOfferedName(const char* folder, const char* subfolder, const char* name, size_t length);

// Joins `folder`, `subfolder` and the first `nameLength` bytes of `name` into `out` (capacity
// PATH_CAPACITY). Returns false, leaving `out` empty, when the result would not fit.
bool joinPath(const char* folder, const char* subfolder, const char* name, size_t nameLength,
              char out[PATH_CAPACITY]);
