// The table in print: after every change the history file is exactly the document's
// formatted print, and its gzip copy decompresses to it under the gzip header.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>
#include <zlib.h>

#include "table_file.h"

namespace {

struct Step {
    char op;  // 'a' append, 'd' delete, 'r' replace: delete, then append
    std::string name, version;
};

struct Case {
    const char* what;
    std::vector<Step> steps;
    const char* rows;  // the printed "aaData" array at the end; nullptr: only the print is checked
};

std::string read_at(int dir, const char* name, time_t* mtime = nullptr)
{
    const int fd = openat(dir, name, O_RDONLY);
    struct stat st {};
    fstat(fd, &st);
    if (mtime) *mtime = st.st_mtime;
    std::string out(static_cast<size_t>(st.st_size), '\0');
    EXPECT_EQ(read(fd, &out[0], out.size()), static_cast<ssize_t>(out.size())) << name;
    close(fd);
    return out;
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

std::string gzip_le32(time_t t)
{
    const auto v = static_cast<uint32_t>(t);
    return {static_cast<char>(v), static_cast<char>(v >> 8), static_cast<char>(v >> 16), static_cast<char>(v >> 24)};
}

std::vector<Step> many_rows()
{
    std::vector<Step> steps;
    for (int i = 1; i <= 150; ++i) steps.push_back({'a', "p" + std::to_string(i), "v1.0.0.0"});
    steps.insert(steps.end(), {{'d', "p3", ""}, {'r', "p70", "v2"}, {'d', "p150", ""}, {'a', "q\"\\\t\x01\xc3\xa9", "v"}});
    return steps;
}

const Case kCases[] = {
    {"no rows", {}, "[]"},
    {"one row", {{'a', "Alpha", "v1.0.0.1"}}, R"([["1", "Alpha", "v1.0.0.1"]])"},
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

TEST(TableFile, HistoryIsTheDocumentsPrintAfterEveryChange)
{
    mkdir("/tmp/table", 0755);
    const int dir = open("/tmp/table", O_RDONLY | O_DIRECTORY);
    for (const Case& c : kCases) {
        static const char* const columns[3] = {"ID", "Product Name", "File Version"};
        cJSON* doc = cJSON_CreateObject();
        cJSON_AddItemToObject(doc, "iTotalRecords", cJSON_CreateNumber(3));
        cJSON_AddItemToObject(doc, "sColumns", cJSON_CreateStringArray(columns, 3));
        cJSON* aa_data = cJSON_AddArrayToObject(doc, "aaData");
        TableRows rows;
        HistoryWriter writer;
        ASSERT_TRUE(rows.reset(doc)) << c.what;
        std::vector<Step> steps = c.steps;
        steps.insert(steps.begin(), {'w', "", ""});  // the empty table is written first
        for (const Step& step : steps) {
            const int found = rows.find(step.name.c_str());
            if (step.op != 'a' && found >= 0) rows.remove(aa_data, static_cast<size_t>(found));
            const bool appends = step.op == 'a' || step.op == 'r';
            ASSERT_TRUE(!appends || rows.append(aa_data, step.name.c_str(), step.version.c_str()));
            time_t mtime = 0;
            ASSERT_EQ(writer.write_text(dir, "h.json", rows, &mtime), 0);
            ASSERT_TRUE(writer.compress(rows));
            ASSERT_EQ(writer.write_gzip(dir, "h.gz", "h.json", mtime), 0);
            char* print = cJSON_Print(doc);
            const std::string text = read_at(dir, "h.json");
            ASSERT_EQ(text, print) << c.what << ", after " << step.op << " " << step.name;
            cJSON_free(print);
            const std::string gz = read_at(dir, "h.gz");
            ASSERT_EQ(gunzip(gz), text) << c.what << ", after " << step.op << " " << step.name;
            ASSERT_EQ(gz.substr(4, 4), gzip_le32(mtime));
        }
        const std::string head = "{\n\t\"iTotalRecords\":\t3,\n\t\"sColumns\":\t[\"ID\", \"Product Name\", "
                                 "\"File Version\"],\n\t\"aaData\":\t";
        EXPECT_TRUE(!c.rows || read_at(dir, "h.json") == head + c.rows + "\n}") << c.what;
        cJSON_Delete(doc);
    }
    close(dir);
}

TEST(TableFile, GzipHeaderNamesTheFileItsMtimeAndUnix)
{
    HistoryWriter writer;
    std::string member;
    ASSERT_TRUE(writer.gzip("some text", "json_history.json", 0x5a0b0c0d, member));
    const std::string name = "json_history.json";
    const std::string fixed("\x1f\x8b\x08\x08", 4);  // deflate, FNAME only
    EXPECT_EQ(member.substr(0, 10), fixed + gzip_le32(0x5a0b0c0d) + std::string("\x00\x03", 2));  // XFL of level 6, Unix
    EXPECT_EQ(member.substr(10, name.size() + 1), name + '\0');
    EXPECT_EQ(gunzip(member), "some text");
}

}  // namespace
