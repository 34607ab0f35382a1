// SPDX-License-Identifier: MIT
// The table in print: after every change the history file is exactly the document's
// formatted print, and its gzip copy decompresses to it under the gzip header.
#include <gtest/gtest.h>

#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>
#include <zlib.h>

#include "table_file.h"

namespace {

// op: 'a' append, 'd' delete, 'r' replace: delete, then append.
struct Step { char op; std::string name, version; };
// rows: the printed "aaData" array at the end; nullptr: only the print is checked.
struct Case { const char* what; std::vector<Step> steps; const char* rows; };

std::string read_file(const std::string& name)
{
    std::ifstream in("/tmp/table/" + name, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::string gunzip(const std::string& data)
{
    z_stream zs{};
    inflateInit2(&zs, 15 + 16);
    std::string out(1 << 20, '\0');
    zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    zs.avail_in = static_cast<uInt>(data.size());
    zs.next_out = reinterpret_cast<Bytef*>(&out[0]);
    zs.avail_out = static_cast<uInt>(out.size());
    const int rc = inflate(&zs, Z_FINISH);
    out.resize(rc == Z_STREAM_END && zs.avail_in == 0 ? zs.total_out : 0);
    inflateEnd(&zs);
    return out;
}

// A gzip member: deflate, a name only (FNAME), the mtime, XFL 0 of level 6, OS 3 (Unix).
void expect_member(const std::string& gz, const std::string& text, const char* name, time_t mtime)
{
    const auto t = static_cast<uint32_t>(mtime);
    const char fixed[10] = {'\x1f', '\x8b', 8, 8, char(t), char(t >> 8), char(t >> 16), char(t >> 24), 0, 3};
    EXPECT_EQ(gz.substr(0, 10), std::string(fixed, 10));
    EXPECT_EQ(gz.substr(10, strlen(name) + 1), std::string(name, strlen(name) + 1));
    EXPECT_EQ(gunzip(gz), text);
}

std::vector<Step> many_rows()
{
    std::vector<Step> steps;
    for (int i = 1; i <= 150; ++i) steps.push_back({'a', "p" + std::to_string(i), "v1.0.0.0"});
    steps[9].name = "q\"\\\t\x01\xc3\xa9";  // a name that prints escaped
    steps.insert(steps.end(), {{'d', "p3", ""}, {'r', "p70", "v2"}, {'d', "p150", ""}, {'d', "p1", ""}});
    return steps;
}

const Case kCases[] = {
    {"no rows", {}, "[]"},
    {"one row", {{'a', "Alpha", "v1.0.0.1"}}, R"([["1", "Alpha", "v1.0.0.1"]])"},
    {"two rows", {{'a', "Alpha", "v1.0.0.1"}, {'a', "Beta", "v2.3.0.0"}}, R"([["1", "Alpha", "v1.0.0.1"], ["2", "Beta", "v2.3.0.0"]])"},
    {"deletion renumbers", {{'a', "A", "1"}, {'a', "B", "2"}, {'a', "C", "3"}, {'d', "A", ""}},
     R"([["1", "B", "2"], ["2", "C", "3"]])"},
    {"replacement moves to the end", {{'a', "Alpha", "v1"}, {'a', "Beta", "v2"}, {'r', "Alpha", "v3"}},
     R"([["1", "Beta", "v2"], ["2", "Alpha", "v3"]])"},
    {"the lower duplicate goes", {{'a', "A", "1"}, {'a', "B", "2"}, {'a', "A", "9"}, {'d', "A", ""}},
     R"([["1", "B", "2"], ["2", "A", "9"]])"},
    {"ids grow, segments are reused", many_rows(), nullptr},
};

TEST(TableFile, HistoryIsTheDocumentsPrintAfterEveryChange)
{
    mkdir("/tmp/table", 0755);
    const int dir = open("/tmp/table", O_RDONLY | O_DIRECTORY);
    static const char* const columns[3] = {"ID", "Product Name", "File Version"};
    for (const Case& c : kCases) {
        std::unique_ptr<cJSON, void (*)(cJSON*)> doc(cJSON_CreateObject(), cJSON_Delete);
        cJSON_AddItemToObject(doc.get(), "iTotalRecords", cJSON_CreateNumber(3));
        cJSON_AddItemToObject(doc.get(), "sColumns", cJSON_CreateStringArray(columns, 3));
        cJSON* aa_data = cJSON_AddArrayToObject(doc.get(), "aaData");
        TableRows rows;
        HistoryWriter writer;
        ASSERT_TRUE(rows.reset(doc.get())) << c.what;
        std::vector<Step> steps = c.steps;
        steps.insert(steps.begin(), {'w', "", ""});  // the empty table is written first
        for (const Step& step : steps) {
            SCOPED_TRACE(std::string(c.what) + ", after " + step.op + " " + step.name);
            const int found = rows.find(step.name.c_str());
            if (step.op != 'a' && found >= 0) rows.remove(aa_data, static_cast<size_t>(found));
            const bool appends = step.op == 'a' || step.op == 'r';
            ASSERT_TRUE(!appends || rows.append(aa_data, step.name.c_str(), step.version.c_str()));
            time_t mtime = 0;
            ASSERT_EQ(writer.write_text(dir, "h.json", rows, &mtime), 0);
            ASSERT_TRUE(writer.compress(rows));
            ASSERT_EQ(writer.write_gzip(dir, "h.gz", "h.json", mtime), 0);
            std::unique_ptr<char, void (*)(void*)> print(cJSON_Print(doc.get()), cJSON_free);
            const std::string text = read_file("h.json");
            ASSERT_EQ(text, print.get());
            expect_member(read_file("h.gz"), text, "h.json", mtime);
        }
        const std::string head = "{\n\t\"iTotalRecords\":\t3,\n\t\"sColumns\":\t[\"ID\", \"Product Name\", "
                                 "\"File Version\"],\n\t\"aaData\":\t";
        EXPECT_TRUE(!c.rows || read_file("h.json") == head + c.rows + "\n}") << c.what;
    }
    close(dir);
}

// The copy of a history file that the table did not write (its last rewrite failed).
TEST(TableFile, GzipOfAnyText)
{
    HistoryWriter writer;
    std::string member;
    ASSERT_TRUE(writer.gzip("some text", "json_history.json", 0x5a0b0c0d, member));
    expect_member(member, "some text", "json_history.json", 0x5a0b0c0d);
}

}  // namespace
