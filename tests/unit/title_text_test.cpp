// The window title that carries both connection states. The title is read back by position (by this program and by whatever watches its window), so
// the tests pin the columns as well as the words.

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "core/title_text.h"

namespace {

const std::string BLANK(13, ' ');

std::string title(const std::string& server, const std::string& client)
{
    char out[TITLE_CAPACITY];
    formatStatusTitle(server.c_str(), client.c_str(), out);
    return out;
}

std::string apply(TitleRule rule, const std::string& current)
{
    char out[TITLE_CAPACITY];
    memset(out, 'x', sizeof out);
    applyTitleRule(rule, current.c_str(), out);
    return out;
}

std::string serverOf(const std::string& t)
{
    char out[TITLE_CAPACITY];
    serverFieldOf(t.c_str(), out);
    return out;
}

std::string clientOf(const std::string& t)
{
    char out[TITLE_CAPACITY];
    clientFieldOf(t.c_str(), out);
    return out;
}

const char* ruleName(TitleRule rule)
{
    switch (rule) {
    case TitleRule::ShareConnected: return "ShareConnected";
    case TitleRule::ShareClosed: return "ShareClosed";
    case TitleRule::FetchConnected: return "FetchConnected";
    case TitleRule::FetchClosed: return "FetchClosed";
    case TitleRule::FetchFailed: return "FetchFailed";
    }
    return "?";
}

const TitleRule ALL_RULES[] = {TitleRule::ShareConnected, TitleRule::ShareClosed, TitleRule::FetchConnected,
                               TitleRule::FetchClosed, TitleRule::FetchFailed};

}  // namespace

TEST(StatusTitle, PutsBothFieldsRightAlignedInFixedColumns)
{
    const std::string connected = title(FIELD_CONNECTED, FIELD_NOT_CONNECTED);
    EXPECT_EQ(connected, "Up/Caldervine...      Server:    Connected           Client: No Connected");
    EXPECT_EQ(connected.substr(33, 9), "Connected");

    EXPECT_EQ(std::string(FIELD_CONNECTED), "    Connected");
    EXPECT_EQ(std::string(FIELD_DISCONNECTED), " DisConnected");
    EXPECT_EQ(std::string(FIELD_NOT_CONNECTED), " No Connected");

    const std::string padded = title("", "x");
    EXPECT_EQ(padded.size(), 73u);
    EXPECT_EQ(padded.substr(29, 13), BLANK);
    EXPECT_EQ(padded.substr(60), std::string(12, ' ') + "x");
}

TEST(StatusTitle, ReadsFieldsBackOnlyFromTitlesLongEnoughToHoldThem)
{
    struct Row {
        std::string title;
        std::string server;
        std::string client;
    };
    const std::string full = title(FIELD_DISCONNECTED, FIELD_CONNECTED);
    const Row rows[] = {
        {"", "", ""},
        {INITIAL_TITLE, "", ""},
        {std::string(29, 's'), "", ""},
        {std::string(30, 's'), "s", ""},
        {std::string(42, 's'), std::string(13, 's'), ""},
        {std::string(60, 'c'), std::string(13, 'c'), ""},
        {std::string(61, 'c'), std::string(13, 'c'), "c"},
        {std::string(100, 'c'), std::string(13, 'c'), std::string(40, 'c')},
        {full, FIELD_DISCONNECTED, FIELD_CONNECTED},
        {title(BLANK, BLANK), BLANK, BLANK},
    };
    for (size_t i = 0; i < std::size(rows); ++i) {
        SCOPED_TRACE(testing::Message() << "row " << i << ": \"" << rows[i].title << '"');
        EXPECT_EQ(serverOf(rows[i].title), rows[i].server);
        EXPECT_EQ(clientOf(rows[i].title), rows[i].client);
    }
}

TEST(StatusTitle, EachRuleSetsItsOwnFieldAndKeepsOrResetsTheOther)
{
    struct Row {
        TitleRule rule;
        std::string from;
        std::string server;
        std::string client;
    };
    const std::string both = title(FIELD_CONNECTED, FIELD_CONNECTED);
    const std::string serverDown = title(FIELD_DISCONNECTED, FIELD_CONNECTED);
    const std::string clientDown = title(FIELD_CONNECTED, FIELD_DISCONNECTED);
    const Row rows[] = {
        {TitleRule::ShareConnected, INITIAL_TITLE, FIELD_CONNECTED, FIELD_NOT_CONNECTED},
        {TitleRule::ShareConnected, serverDown, FIELD_CONNECTED, FIELD_NOT_CONNECTED},
        {TitleRule::ShareClosed, INITIAL_TITLE, FIELD_DISCONNECTED, BLANK},
        {TitleRule::ShareClosed, both, FIELD_DISCONNECTED, FIELD_CONNECTED},
        {TitleRule::FetchConnected, INITIAL_TITLE, FIELD_NOT_CONNECTED, FIELD_CONNECTED},
        {TitleRule::FetchConnected, clientDown, FIELD_CONNECTED, FIELD_CONNECTED},
        {TitleRule::FetchClosed, INITIAL_TITLE, BLANK, FIELD_DISCONNECTED},
        {TitleRule::FetchClosed, both, FIELD_CONNECTED, FIELD_DISCONNECTED},
        {TitleRule::FetchFailed, INITIAL_TITLE, FIELD_NOT_CONNECTED, FIELD_NOT_CONNECTED},
        {TitleRule::FetchFailed, serverDown, FIELD_DISCONNECTED, FIELD_NOT_CONNECTED},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << ruleName(row.rule) << " from \"" << row.from << '"');
        const std::string next = apply(row.rule, row.from);
        EXPECT_EQ(next.size(), 73u);
        EXPECT_EQ(next.substr(29, 13), row.server);
        EXPECT_EQ(next.substr(60, 13), row.client);
        EXPECT_EQ(next, title(row.server, row.client));
    }
}

// The same event may be reported more than once (a close after a failed send, say); the title
// must not drift when it is.
TEST(StatusTitle, ApplyingARuleAgainChangesNothing)
{
    const std::string starts[] = {INITIAL_TITLE, title(FIELD_CONNECTED, FIELD_DISCONNECTED),
                                  title(FIELD_NOT_CONNECTED, FIELD_CONNECTED), title(BLANK, BLANK)};
    for (TitleRule rule : ALL_RULES) {
        for (const std::string& start : starts) {
            SCOPED_TRACE(testing::Message() << ruleName(rule) << " from \"" << start << '"');
            const std::string once = apply(rule, start);
            EXPECT_EQ(apply(rule, once), once);
        }
    }
}
