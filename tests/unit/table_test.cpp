// SPDX-License-Identifier: MIT
// The product table in print: after every change the history file is exactly the document's
// formatted print, and its gzip copy decompresses to it under the gzip header. How small the
// copy is against gzip -6 is the benchmark's to measure.
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

constexpr const char* kDir = "table-files";  // in the working directory, the build's

// op: 'a' append, 'd' delete, 'r' replace (the row moves to the end with a new version).
struct Step { char op; std::string name, version; };
// rows: the printed "aaData" array at the end; nullptr: only the print is checked.
struct Case { const char* what; std::vector<Step> steps; const char* rows; };

std::string read_file(const char* name)
{
    std::ifstream in(std::string(kDir) + "/" + name, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The text a gzip file decompresses to; empty if its data or its trailer is damaged.
std::string gunzip(const char* name)
{
    gzFile gz = gzopen((std::string(kDir) + "/" + name).c_str(), "rb");
    std::string out(1 << 20, '\0');
    const int size = gz ? gzread(gz, &out[0], static_cast<unsigned>(out.size())) : -1;
    const bool whole = gz && gzclose(gz) == Z_OK && size >= 0;
    out.resize(whole ? static_cast<size_t>(size) : 0);
    return out;
}

// The published pair: the history file is the document's print, and the gzip copy is one
// member of deflate, a name only (FNAME), the history file's mtime, XFL 0 of level 6 and
// OS 3 (Unix), which decompresses to it.
void expect_published(const ProductTable& table)
{
    std::unique_ptr<char, void (*)(void*)> print(cJSON_Print(table.root().get()), cJSON_free);
    const std::string text = read_file("json_history.json"), gz = read_file("json_history.gz");
    ASSERT_EQ(text, print.get());
    struct stat st;
    ASSERT_EQ(stat((std::string(kDir) + "/json_history.json").c_str(), &st), 0);
    const auto t = static_cast<uint32_t>(st.st_mtime);
    const char fixed[10] = {'\x1f', '\x8b', 8, 8, char(t), char(t >> 8), char(t >> 16), char(t >> 24), 0, 3};
    EXPECT_EQ(gz.substr(0, 10 + sizeof "json_history.json"), std::string(fixed, 10) + "json_history.json" + '\0');
    EXPECT_EQ(gunzip("json_history.gz"), text);
}

// Enough rows for several segments of the gzip copy; then changes at its start, in its
// middle and at its end.
std::vector<Step> many_rows()
{
    std::vector<Step> steps;
    for (int i = 1; i <= 300; ++i) steps.push_back({'a', "p" + std::to_string(i), "v1.0.0.0"});
    steps[9].name = "q\"\\\t\x01\xc3\xa9";  // a name that prints escaped
    steps.insert(steps.end(), {{'d', "p3", ""}, {'r', "p150", "v2"}, {'d', "p300", ""}, {'a', "p301", "v1"},
                               {'d', "p1", ""}, {'r', "p299", "v3"}});
    return steps;
}

const Case kCases[] = {
    {"no rows", {}, "[]"},
    {"two rows", {{'a', "Alpha", "v1.0.0.1"}, {'a', "Beta", "v2.3.0.0"}},
     R"([["1", "Alpha", "v1.0.0.1"], ["2", "Beta", "v2.3.0.0"]])"},
    {"deletion renumbers", {{'a', "A", "1"}, {'a', "B", "2"}, {'a', "C", "3"}, {'d', "A", ""}},
     R"([["1", "B", "2"], ["2", "C", "3"]])"},
    {"replacement moves to the end", {{'a', "Alpha", "v1"}, {'a', "Beta", "v2"}, {'r', "Alpha", "v3"}},
     R"([["1", "Beta", "v2"], ["2", "Alpha", "v3"]])"},
    {"the lower duplicate goes", {{'a', "A", "1"}, {'a', "B", "2"}, {'a', "A", "9"}, {'d', "A", ""}},
     R"([["1", "B", "2"], ["2", "A", "9"]])"},
    {"ids grow, segments are reused", many_rows(), nullptr},
};

class TableFile : public ::testing::Test {
protected:
    void SetUp() override
    {
        mkdir(kDir, 0755);
        dir_ = open(kDir, O_RDONLY | O_DIRECTORY);
        ASSERT_GE(dir_, 0);
    }
    void TearDown() override { close(dir_); }
    int dir_ = -1;
};

TEST_F(TableFile, HistoryIsTheDocumentsPrintAfterEveryChange)
{
    for (const Case& c : kCases) {
        ProductTable table;
        ASSERT_TRUE(table.build()) << c.what;
        table.publish(dir_);  // the empty table is written first
        expect_published(table);
        for (const Step& step : c.steps) {
            SCOPED_TRACE(std::string(c.what) + ", after " + step.op + " " + step.name);
            const int found = table.find(step.name.c_str());
            ASSERT_TRUE(step.op == 'a' || found >= 0);
            const size_t p = static_cast<size_t>(found);
            const char *name = step.name.c_str(), *version = step.version.c_str();
            if (step.op == 'a') {
                ASSERT_TRUE(table.append(name, version));
            } else if (step.op == 'r') {
                ASSERT_TRUE(table.replace(p, name, version));
            } else {
                table.remove(p);
            }
            table.publish(dir_);
            expect_published(table);
        }
        const std::string head = "{\n\t\"iTotalRecords\":\t3,\n\t\"sColumns\":\t[\"ID\", \"Product Name\", "
                                 "\"File Version\"],\n\t\"aaData\":\t";
        EXPECT_TRUE(!c.rows || read_file("json_history.json") == head + c.rows + "\n}") << c.what;
    }
}

}  // namespace
