// The listing of one connection. The whole folder is read into the connection's table before the
// first record leaves, so the listing goes out back to back however slowly the folder reads, and
// the requests that follow it are served as it offered them.

#include "share/listing.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "core/names.h"
#include "core/records.h"
#include "services/app_state.h"
#include "services/socket_send.h"
#include "share/connection.h"

const char* const SHARE_FOLDER = "\\Share\\";

namespace {

// Records of one listing, "." and ".." included: as many as the fetching side keeps. The table
// takes 9 bytes plus the name per entry, in blocks that double as they fill: about 2.3 MiB for a
// full listing of 20-character names, at most 16.25 MiB for names of the longest a record holds.
const unsigned LISTED_CAPACITY = 65536;

// Records handed to the socket in one send: under Wine each send is a round trip to the
// wineserver, which one per record made the slowest part of a large listing.
const unsigned RECORDS_PER_SEND = 64;

bool sameWide(const WCHAR* a, const WCHAR* b)
{
    while (*a != 0 && *a == *b) ++a, ++b;
    return *a == *b;
}

// The entry's name in the ANSI code page, as records carry it and requests name it. False when the
// name has no exact form there: a best-fit or default character stands for another name or none.
bool ansiName(const WCHAR* wide, char ansi[PATH_CAPACITY])
{
    // UTF-8 as the code page takes neither the flag nor the default-character report; the round
    // trip below still refuses whatever does not come back the same.
    bool utf8 = GetACP() == CP_UTF8;
    BOOL usedDefault = FALSE;
    int length = WideCharToMultiByte(CP_ACP, utf8 ? 0 : WC_NO_BEST_FIT_CHARS, wide, -1, ansi,
                                     static_cast<int>(PATH_CAPACITY), nullptr, utf8 ? nullptr : &usedDefault);
    if (length <= 0 || usedDefault) return false;
    WCHAR back[PATH_CAPACITY];
    int backLength =
        MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, ansi, -1, back, static_cast<int>(PATH_CAPACITY));
    return backLength > 0 && sameWide(back, wide);
}

// The name and size `entry` is listed with, when a request can get exactly that entry back. "."
// and ".." are always listed; sub-folders, with the number 0, under the same checks as files.
bool listedEntryFor(const WIN32_FIND_DATAW& entry, char name[PATH_CAPACITY], uint32_t* size)
{
    if (!ansiName(entry.cFileName, name) || isDeviceNameUtf16(asUtf16(entry.cFileName), lstrlenW(entry.cFileName)))
        return false;
    bool dots = strcmp(name, ".") == 0 || strcmp(name, "..") == 0;
    if (!dots && !isOfferedName(app.workingDirectory, SHARE_FOLDER, name, strlen(name))) return false;
    bool folder = (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    // A size of 4 GiB or more cannot be told in a record, so such a file is not offered.
    if (!folder && entry.nFileSizeHigh != 0) return false;
    *size = folder ? 0 : entry.nFileSizeLow;
    // Nor is a name longer than a record holds.
    char record[RECORD_SIZE];
    return formatRecord(RecordKind::Listing, name, *size, record);
}

template <typename T>
bool growTo(T** block, size_t* capacity, size_t needed)
{
    if (needed <= *capacity) return true;
    size_t larger = *capacity == 0 ? 256 : *capacity * 2;
    while (larger < needed) larger *= 2;
    void* moved = realloc(*block, larger * sizeof(T));
    if (moved == nullptr) return false;
    *block = static_cast<T*>(moved);
    *capacity = larger;
    return true;
}

// False when the table is full or memory is short: the listing ends with the entries before.
bool listedAdd(ListedEntries* listed, const char* name, uint32_t size)
{
    size_t nameBytes = strlen(name) + 1;
    size_t capacity = listed->capacity;
    if (listed->count == LISTED_CAPACITY || !growTo(&listed->byName, &capacity, listed->count + 1) ||
        !growTo(&listed->pool, &listed->poolCapacity, listed->poolUsed + sizeof size + nameBytes))
        return false;
    listed->capacity = static_cast<unsigned>(capacity);
    listed->byName[listed->count++] = static_cast<uint32_t>(listed->poolUsed);
    memcpy(listed->pool + listed->poolUsed, &size, sizeof size);
    memcpy(listed->pool + listed->poolUsed + sizeof size, name, nameBytes);
    listed->poolUsed += sizeof size + nameBytes;
    return true;
}

const char* listedName(const ListedEntries* listed, uint32_t at) { return listed->pool + at + sizeof(uint32_t); }

uint32_t listedSizeAt(const ListedEntries* listed, uint32_t at)
{
    uint32_t size;
    memcpy(&size, listed->pool + at, sizeof size);
    return size;
}

void listedSortByName(ListedEntries* listed)
{
    std::sort(listed->byName, listed->byName + listed->count, [listed](uint32_t a, uint32_t b) {
        return strcmp(listedName(listed, a), listedName(listed, b)) < 0;
    });
}

}  // namespace

// Names are compared byte for byte: a request names an entry exactly as its record did.
bool listedSizeOf(const ListedEntries* listed, const char* name, uint32_t* size)
{
    const uint32_t* begin = listed->byName;
    const uint32_t* end = begin + listed->count;
    const uint32_t* found = std::lower_bound(begin, end, name, [listed](uint32_t at, const char* key) {
        return strcmp(listedName(listed, at), key) < 0;
    });
    if (found == end || strcmp(listedName(listed, *found), name) != 0) return false;
    *size = listedSizeAt(listed, *found);
    return true;
}

void listedFree(ListedEntries* listed)
{
    free(listed->pool);
    free(listed->byName);
}

// Ends early when the connection fails or is ended. The folder is read in wide characters, so that
// names are checked as they are, not as a best-fit form.
DWORD WINAPI ListingWorker(LPVOID parameter)
{
    ShareWorkerStart start = *static_cast<ShareWorkerStart*>(parameter);
    delete static_cast<ShareWorkerStart*>(parameter);
    ShareConnection* connection = start.connection;
    ListedEntries* listed = &connection->listed;

    WCHAR pattern[PATH_CAPACITY];
    WIN32_FIND_DATAW entry;
    HANDLE search = INVALID_HANDLE_VALUE;
    if (MultiByteToWideChar(CP_ACP, 0, app.sharePattern, -1, pattern, static_cast<int>(PATH_CAPACITY)) > 0)
        search = FindFirstFileW(pattern, &entry);
    if (search != INVALID_HANDLE_VALUE) {
        char name[PATH_CAPACITY];
        uint32_t size;
        unsigned seen = 0;
        do {
            // Each look at the event is a trip to the wineserver, so a replaced peer's worker
            // stops within a few dozen entries rather than at once.
            if (++seen % 64 == 0 && connectionEnded(connection)) break;
            if (listedEntryFor(entry, name, &size) && !listedAdd(listed, name, size)) break;
        } while (FindNextFileW(search, &entry));
        FindClose(search);
    }
    WSAEVENT event = WSACreateEvent();
    char records[RECORDS_PER_SEND * RECORD_SIZE];
    for (unsigned first = 0; first < listed->count; first += RECORDS_PER_SEND) {
        unsigned count = listed->count - first < RECORDS_PER_SEND ? listed->count - first : RECORDS_PER_SEND;
        for (unsigned i = 0; i < count; ++i) {
            uint32_t at = listed->byName[first + i];
            formatRecord(RecordKind::Listing, listedName(listed, at), listedSizeAt(listed, at),
                         records + i * RECORD_SIZE);
        }
        if (!sendWholeUnless(connection->socket, records, count * RECORD_SIZE, event, connection->ended)) break;
    }
    WSACloseEvent(event);
    listedSortByName(listed);
    workerDone(LISTING_DONE, connection);
    return 1;
}

