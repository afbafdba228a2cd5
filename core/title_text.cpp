// Title texts for the connection states, and reading those states back from a title.

#include "core/title_text.h"

#include <cstdio>
#include <cstring>

const char* const INITIAL_TITLE = "Caldervine";
const char* const TITLE_FORMAT = "Up/Caldervine...      Server:%13s           Client:%13s";
const char* const FIELD_CONNECTED = "    Connected";
const char* const FIELD_DISCONNECTED = " DisConnected";
const char* const FIELD_NOT_CONNECTED = " No Connected";

namespace {
constexpr size_t SERVER_FIELD_START = 29;
constexpr size_t SERVER_FIELD_END = 42;
constexpr size_t CLIENT_FIELD_START = 60;

void copyRange(const char* title, size_t start, size_t end, char out[TITLE_CAPACITY])
{
    size_t length = strnlen(title, TITLE_CAPACITY - 1);
    out[0] = 0;
    if (length <= start) return;
    if (end > length) end = length;
    memcpy(out, title + start, end - start);
    out[end - start] = 0;
}
}  // namespace

void formatStatusTitle(const char* server, const char* client, char out[TITLE_CAPACITY])
{
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
#endif
    snprintf(out, TITLE_CAPACITY, TITLE_FORMAT, server, client);
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif
}

void serverFieldOf(const char* title, char out[TITLE_CAPACITY])
{
    copyRange(title, SERVER_FIELD_START, SERVER_FIELD_END, out);
}

void clientFieldOf(const char* title, char out[TITLE_CAPACITY])
{
    copyRange(title, CLIENT_FIELD_START, TITLE_CAPACITY - 1, out);
}

void applyTitleRule(TitleRule rule, const char* current, char out[TITLE_CAPACITY])
{
    char field[TITLE_CAPACITY];
    switch (rule) {
    case TitleRule::ShareConnected:
        formatStatusTitle(FIELD_CONNECTED, FIELD_NOT_CONNECTED, out);
        return;
    case TitleRule::ShareClosed:
        clientFieldOf(current, field);
        formatStatusTitle(FIELD_DISCONNECTED, field, out);
        return;
    case TitleRule::FetchConnected:
    case TitleRule::FetchFailed:
        serverFieldOf(current, field);
        formatStatusTitle(field[0] == 0 ? FIELD_NOT_CONNECTED : field,
                          rule == TitleRule::FetchConnected ? FIELD_CONNECTED : FIELD_NOT_CONNECTED, out);
        return;
    case TitleRule::FetchClosed:
        serverFieldOf(current, field);
        formatStatusTitle(field, FIELD_DISCONNECTED, out);
        return;
    }
}
