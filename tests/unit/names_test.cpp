// The names that may be opened inside Share or Incoming, and the paths built from them.

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "core/names.h"

namespace {
std::string nameOf(size_t length) { return std::string(length, 'n'); }
}  // namespace

TEST(IsPlainEntryName, AcceptsOnlyNamesThatStayInsideTheFolder)
{
    struct Row {
        std::string name;
        bool plain;
    };
    const Row rows[] = {
        {"a", true},          {"my file.txt", true}, {".hidden", true},    {"...a", true},
        {".. a", true},       {"a.b.c", true},       {"COM10", true},      {"console.txt", true},
        {"nulx", true},       {"LPT", true},         {"com1x.txt", true},  {nameOf(254), true},
        {"", false},          {".", false},          {"..", false},        {"a\\b", false},
        {"a/b", false},       {"c:", false},         {"a:stream", false},  {"a*", false},
        {"a?", false},        {"a\"b", false},       {"a<b", false},       {"a>b", false},
        {"a|b", false},       {"a\tb", false},       {"a\nb", false},      {"a\x7f", false},
        {"a.", false},        {"a ", false},         {"nul", false},       {"NUL", false},
        {"aux.txt", false},   {"Con", false},        {"prn.tar.gz", false}, {"COM1", false},
        {"com9.txt", false},  {"lpt9.log", false},   {"LPT1", false},      {"CONIN$", false},
        {"conout$.txt", false}, {"nul .txt", false}, {"COM1  .log", false}, {nameOf(255), false},
        {nameOf(300), false},
        // Windows reserves the superscript digits of code page 1252 like 1 to 9.
        {"COM\xB9", false},  {"com\xB2.txt", false}, {"LPT\xB3", false},   {"lpt\xB9 .log", false},
        {"COM\xB4", true},   {"LPT\xBC", true},      {"COM\xB9\xB9", true},  {"x\xB2", true},
    };
    for (const Row& row : rows)
        EXPECT_EQ(isPlainEntryName(row.name.data(), row.name.size()), row.plain) << '"' << row.name << '"';
}

TEST(JoinPath, JoinsWhatFitsAndOtherwiseLeavesNothing)
{
    struct Row {
        std::string folder;
        const char* subfolder;
        std::string name;
        size_t nameLength;  // names come unterminated out of a record
        bool ok;
        std::string expected;
    };
    const std::string folder200 = "C:\\" + nameOf(197);
    const Row rows[] = {
        {"C:\\work", "\\Share\\", "a.txt", 5, true, "C:\\work\\Share\\a.txt"},
        {"C:\\work", "\\Incoming", "", 0, true, "C:\\work\\Incoming"},
        {"C:\\work", "\\", "abcdef", 3, true, "C:\\work\\abc"},
        {folder200, "\\Share\\", nameOf(47), 47, true, folder200 + "\\Share\\" + nameOf(47)},
        {folder200, "\\Share\\", nameOf(48), 48, false, ""},
        {nameOf(255), "", "", 0, false, ""},
    };
    for (size_t i = 0; i < std::size(rows); ++i) {
        const Row& row = rows[i];
        SCOPED_TRACE(testing::Message() << "row " << i);
        char out[PATH_CAPACITY];
        memset(out, 'x', sizeof out);
        EXPECT_EQ(joinPath(row.folder.c_str(), row.subfolder, row.name.data(), row.nameLength, out), row.ok);
        EXPECT_EQ(std::string(out), row.expected);
    }
}


TEST(IsOfferedName, OffersOnlyNamesARequestReadsBackAndReaches)
{
    struct Row {
        std::string folder;
        std::string name;
        bool offered;
    };
    // "Z:\" and 200 characters: with "\Share\" (7) a name of up to 47 characters keeps the
    // path within 254.
    const std::string deep = "Z:\\" + nameOf(197);
    const Row rows[] = {
        {"C:\\work", "lead.txt", true},
        {"C:\\work", "my file.txt", true},
        {"C:\\work", ".hidden", true},
        {"C:\\work", "caf\xE9.txt", true},
        {"C:\\work", nameOf(206), true},
        // A record pads on the left and its reader skips every leading space.
        {"C:\\work", " lead.txt", false},
        {"C:\\work", "  x", false},
        {"C:\\work", " ", false},
        // Whatever the name check refuses, superscript device names included.
        {"C:\\work", "", false},
        {"C:\\work", ".", false},
        {"C:\\work", "..", false},
        {"C:\\work", "COM\xB9", false},
        {"C:\\work", "lpt\xB2.txt", false},
        {"C:\\work", "COM\xB3 .log", false},
        {"C:\\work", "NUL", false},
        {"C:\\work", "a?", false},
        {"C:\\work", "trailing ", false},
        // The request's path must fit, as well as the record.
        {deep, nameOf(47), true},
        {deep, nameOf(48), false},
        {deep, " " + nameOf(46), false},
    };
    for (const Row& row : rows)
        EXPECT_EQ(isOfferedName(row.folder.c_str(), "\\Share\\", row.name.data(), row.name.size()), row.offered)
            << '"' << row.name << "\" in " << row.folder.size() << "-character folder";
}

TEST(IsDeviceNameUtf16, FindsDevicesAsTheSystemSeesTheName)
{
    struct Row {
        std::u16string name;
        bool device;
    };
    const Row rows[] = {
        {u"COM\u00B9", true},      {u"lpt\u00B2.txt", true}, {u"Com\u00B3 .log", true}, {u"LPT\u00B9", true},
        {u"COM1", true},           {u"nul", true},           {u"aux.tar.gz", true},     {u"CONIN$", true},
        {u"clock$.x", true},       {u"COM\u00B4", false},    {u"COM\u2071", false},     {u"COM\u00B9\u00B9", false},
        {u"COM\uFF11", false},     {u"NUL\u00B9", false},    {u"\u00B9COM", false},     {u"console", false},
        {u"lead.txt", false},      {u"", false},             {u"C\u00D6M1", false},     {u"LPT", false},
    };
    for (const Row& row : rows) {
        std::string shown;
        for (char16_t c : row.name) shown += c < 128 ? static_cast<char>(c) : '#';
        EXPECT_EQ(isDeviceNameUtf16(row.name.data(), row.name.size()), row.device) << '"' << shown << '"';
    }
}
