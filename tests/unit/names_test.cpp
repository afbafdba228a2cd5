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

