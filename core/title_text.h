// The text of the main window's title, which is where the program shows the state of its two
// connections: a server field (the peer connected to us) and a client field (our connection out).
// Pure code: it builds titles and reads fields back from them; the window side lives in
// services/status_title.cpp.
#pragma once

#include <cstddef>

constexpr size_t TITLE_CAPACITY = 255;
constexpr size_t FIELD_WIDTH = 13;

extern const char* const INITIAL_TITLE;
extern const char* const TITLE_FORMAT;
extern const char* const FIELD_CONNECTED;
extern const char* const FIELD_DISCONNECTED;
extern const char* const FIELD_NOT_CONNECTED;

enum class TitleRule {
    ShareConnected,   // a peer connected to our Share
    ShareClosed,      // that peer closed its connection
    FetchConnected,   // our connection out is up
    FetchClosed,      // our connection out has ended
    FetchFailed,      // our connection attempt failed
};

// Writes TITLE_FORMAT filled with both fields, each right-aligned in 13 columns, into `out`.
void formatStatusTitle(const char* server, const char* client, char out[TITLE_CAPACITY]);

// Read back from a title: the server field is positions 29 to 41, the client field position 60 to
// the end. A title too short to hold a field gives an empty field.
void serverFieldOf(const char* title, char out[TITLE_CAPACITY]);
void clientFieldOf(const char* title, char out[TITLE_CAPACITY]);

// The title that `rule` makes of `current`.
void applyTitleRule(TitleRule rule, const char* current, char out[TITLE_CAPACITY]);
