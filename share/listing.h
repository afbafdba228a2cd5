// What one connection's listing offers: the worker that reads the Share folder whole and sends a
// record for each entry a request can get back exactly, and the table of names and sizes it
// offered, by which that connection's requests are served.
#pragma once

#include <windows.h>

#include <cstdint>

// What one connection's listing offered: for each entry its listed size (4 bytes) and its name,
// zero-terminated, one after the other in `pool`. `byName` holds the entries' places in `pool`: in
// the folder's order while the listing is sent, then sorted by name to look requests up.
struct ListedEntries {
    char* pool;
    size_t poolUsed;
    size_t poolCapacity;
    uint32_t* byName;
    unsigned count;
    unsigned capacity;
};

// The folder files are served from, after the working directory.
extern const char* const SHARE_FOLDER;

// ListingWorker: started (startShareWorker) with the connection; fills its `listed` table, sends
// the listing and ends with LISTING_DONE.
DWORD WINAPI ListingWorker(LPVOID parameter);

// UI thread, once the listing is done: the size the listing gave `name`. False when it did not
// offer that name.
bool listedSizeOf(const ListedEntries* listed, const char* name, uint32_t* size);
void listedFree(ListedEntries* listed);

// A name as the system holds it, for the checks of core/names.
static_assert(sizeof(WCHAR) == sizeof(char16_t), "Windows text is UTF-16");
inline const char16_t* asUtf16(const WCHAR* text) { return reinterpret_cast<const char16_t*>(text); }
