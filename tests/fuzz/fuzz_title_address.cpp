// Window titles come from Windows and may be anything another program set; addresses come from
// the user. Neither may crash the program, and each title rule must leave a title that the next
// rule reads correctly.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "core/title_text.h"
#include "core/address.h"
#include "fuzz_check.h"


namespace {

void checkTitle(const char* current)
{
    const TitleRule rules[] = {TitleRule::ShareConnected, TitleRule::ShareClosed, TitleRule::FetchConnected,
                               TitleRule::FetchClosed, TitleRule::FetchFailed};
    char field[TITLE_CAPACITY];
    serverFieldOf(current, field);
    CHECK(strlen(field) <= FIELD_WIDTH);
    clientFieldOf(current, field);
    CHECK(strlen(field) <= TITLE_CAPACITY - 1 - 60);

    for (TitleRule rule : rules) {
        char next[TITLE_CAPACITY], again[TITLE_CAPACITY];
        applyTitleRule(rule, current, next);
        size_t length = strnlen(next, TITLE_CAPACITY);
        CHECK(length < TITLE_CAPACITY);
        CHECK(length >= 73);
        CHECK(memcmp(next, "Up/Caldervine...      Server:", 29) == 0);
        CHECK(memcmp(next + 42, "           Client:", 18) == 0);
        if (rule != TitleRule::ShareClosed) CHECK(length == 73);
        if (rule == TitleRule::ShareClosed || rule == TitleRule::ShareConnected) {
            serverFieldOf(next, field);
            CHECK(strcmp(field, rule == TitleRule::ShareClosed ? FIELD_DISCONNECTED : FIELD_CONNECTED) == 0);
        }
        applyTitleRule(rule, next, again);
        CHECK(strcmp(next, again) == 0);
    }
}

void checkAddress(const char* text)
{
    uint32_t address = 0;
    if (!parseDottedAddress(text, &address)) return;
    size_t length = strlen(text);
    CHECK(length >= 7 && length <= ADDRESS_MAX_LENGTH);
    CHECK(strspn(text, "0123456789.") == length);
    unsigned char bytes[4];
    memcpy(bytes, &address, 4);
    char canonical[16];
    snprintf(canonical, sizeof canonical, "%u.%u.%u.%u", bytes[0], bytes[1], bytes[2], bytes[3]);
    uint32_t again = 0;
    CHECK(parseDottedAddress(canonical, &again));
    CHECK(again == address);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::string text(reinterpret_cast<const char*>(data), size < TITLE_CAPACITY - 1 ? size : TITLE_CAPACITY - 1);
    checkTitle(text.c_str());
    checkAddress(text.c_str());
    return 0;
}
