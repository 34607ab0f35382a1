// Part 4.2: the product table, its edits and the history file's bytes.
#include "support.h"

#include <zlib.h>

namespace {

const char kEmptyHistory[] =
    "{\n\t\"iTotalRecords\":\t3,\n\t\"sColumns\":\t[\"ID\", \"Product Name\", \"File Version\"],\n\t\"aaData\":\t[]\n}";

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
    out.resize(rc == Z_STREAM_END ? zs.total_out : 0);
    inflateEnd(&zs);
    return out;
}

}  // namespace

class TableTest : public ServiceTest {};

TEST_F(TableTest, EmptyTableIsWrittenByInitExactly)
{
    EXPECT_EQ(read_file("/tmp/json_history.json"), kEmptyHistory);
    EXPECT_EQ(gunzip(read_file("/tmp/json_history.gz")), kEmptyHistory);
}

TEST_F(TableTest, TwoProductsGiveThePartsFiveLineExample)
{
    T::update_list(*service, DO_ADD, "Alpha", "v1.0.0.1", 1);
    T::update_list(*service, DO_ADD, "Beta", "v2.3.0.0", 1);
    EXPECT_EQ(read_file("/tmp/json_history.json"),
              "{\n\t\"iTotalRecords\":\t3,\n\t\"sColumns\":\t[\"ID\", \"Product Name\", \"File Version\"],\n"
              "\t\"aaData\":\t[[\"1\", \"Alpha\", \"v1.0.0.1\"], [\"2\", \"Beta\", \"v2.3.0.0\"]]\n}");
    T::update_list(*service, DO_REPLACE, "Alpha", "v1.0.0.2", 1);
    EXPECT_EQ(read_file("/tmp/json_history.json"),
              "{\n\t\"iTotalRecords\":\t3,\n\t\"sColumns\":\t[\"ID\", \"Product Name\", \"File Version\"],\n"
              "\t\"aaData\":\t[[\"1\", \"Beta\", \"v2.3.0.0\"], [\"2\", \"Alpha\", \"v1.0.0.2\"]]\n}");
    EXPECT_EQ(gunzip(read_file("/tmp/json_history.gz")), read_file("/tmp/json_history.json"));
}

TEST_F(TableTest, GzipHeaderCarriesNameMtimeAndUnix)
{
    const std::string gz = read_file("/tmp/json_history.gz");
    ASSERT_GT(gz.size(), 30u);
    EXPECT_EQ(static_cast<unsigned char>(gz[0]), 0x1f);
    EXPECT_EQ(static_cast<unsigned char>(gz[1]), 0x8b);
    EXPECT_EQ(gz[2], 8);        // deflate
    EXPECT_EQ(gz[3], 0x08);     // FNAME only
    EXPECT_EQ(gz[8], 0);        // XFL of level 6
    EXPECT_EQ(gz[9], 3);        // OS: Unix
    EXPECT_EQ(std::string(gz.c_str() + 10), "json_history.json");
    struct stat st;
    ASSERT_EQ(stat("/tmp/json_history.json", &st), 0);
    const uint32_t mtime = static_cast<unsigned char>(gz[4]) | static_cast<unsigned char>(gz[5]) << 8 |
                           static_cast<unsigned char>(gz[6]) << 16 | static_cast<uint32_t>(static_cast<unsigned char>(gz[7])) << 24;
    EXPECT_EQ(mtime, static_cast<uint32_t>(st.st_mtime));
}

TEST_F(TableTest, TenRowsKeepTotalRecordsAtThree)
{
    add_rows({"a", "b", "c", "d", "e", "f", "g", "h", "i", "j"});
    CJsonPtr doc(cJSON_Parse(read_file("/tmp/json_history.json").c_str()));
    EXPECT_EQ(cJSON_GetObjectItem(doc.get(), "iTotalRecords")->valueint, 3);
    EXPECT_EQ(cJSON_GetArraySize(cJSON_GetObjectItem(doc.get(), "aaData")), 10);
}

TEST_F(TableTest, DeleteFirstOfThreeRenumbers)
{
    add_rows({"A", "B", "C"});
    T::modifyTabrixTable(*service, DO_DELETE, "A", "");
    EXPECT_EQ(history_rows(), (std::vector<std::string>{"1|B|v1.0.0.0", "2|C|v1.0.0.0"}));
}

TEST_F(TableTest, DeleteMiddleOfThreeKeepsTheFirstId)
{
    add_rows({"A", "B", "C"});
    T::modifyTabrixTable(*service, DO_DELETE, "B", "");
    EXPECT_EQ(history_rows(), (std::vector<std::string>{"1|A|v1.0.0.0", "2|C|v1.0.0.0"}));
}

TEST_F(TableTest, DeleteLastChangesNoOtherId)
{
    add_rows({"A", "B", "C"});
    T::modifyTabrixTable(*service, DO_DELETE, "C", "");
    EXPECT_EQ(history_rows(), (std::vector<std::string>{"1|A|v1.0.0.0", "2|B|v1.0.0.0"}));
}

TEST_F(TableTest, ReplaceOnlyRow)
{
    add_rows({"A"});
    T::modifyTabrixTable(*service, DO_REPLACE, "A", "v2.0.0.0");
    EXPECT_EQ(history_rows(), (std::vector<std::string>{"1|A|v2.0.0.0"}));
}

TEST_F(TableTest, ReplaceFirstOfTwoMovesItToTheEnd)
{
    add_rows({"A", "B"});
    T::modifyTabrixTable(*service, DO_REPLACE, "A", "v2.0.0.0");
    EXPECT_EQ(history_rows(), (std::vector<std::string>{"1|B|v1.0.0.0", "2|A|v2.0.0.0"}));
}

TEST_F(TableTest, NameInOtherCaseIsNotFoundAndTheFileIsNotRewritten)
{
    SyslogCapture log;
    T::set_debug(*service, 1);
    add_rows({"Alpha"});
    const ino_t before = inode_of("/tmp/json_history.json");
    testing::internal::CaptureStdout();
    T::modifyTabrixTable(*service, DO_REPLACE, "alpha", "v2.0.0.0");
    T::modifyTabrixTable(*service, DO_DELETE, "ALPHA", "");
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("[modifyTabrixTable]["), std::string::npos);
    EXPECT_NE(out.find("] Cannot find [alpha] in Tabrix Table\n"), std::string::npos);
    EXPECT_NE(out.find("] Cannot find [ALPHA] in Tabrix Table\n"), std::string::npos);
    EXPECT_EQ(inode_of("/tmp/json_history.json"), before);
    EXPECT_EQ(rows(), (std::vector<std::string>{"1|Alpha|v1.0.0.0"}));
}

TEST_F(TableTest, DeleteOnEmptyTableIsNotFound)
{
    const ino_t before = inode_of("/tmp/json_history.json");
    T::modifyTabrixTable(*service, DO_DELETE, "A", "");
    EXPECT_EQ(inode_of("/tmp/json_history.json"), before);
}

TEST_F(TableTest, DeleteAndReplacePrintTheFoundPosition)
{
    T::set_debug(*service, 1);
    add_rows({"A", "B"});
    testing::internal::CaptureStdout();
    T::modifyTabrixTable(*service, DO_REPLACE, "B", "v2.0.0.0");
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("] Delete [1] in Tabrix Table\n"), std::string::npos) << out;
}

TEST_F(TableTest, AddOfAHeldNameGivesASecondRow)
{
    add_rows({"A"});
    T::modifyTabrixTable(*service, DO_ADD, "A", "v9.0.0.0");
    EXPECT_EQ(history_rows(), (std::vector<std::string>{"1|A|v1.0.0.0", "2|A|v9.0.0.0"}));
}

TEST_F(TableTest, DeleteOfADuplicateNameRemovesTheLowerRow)
{
    add_rows({"A", "B"});
    T::modifyTabrixTable(*service, DO_ADD, "A", "v9.0.0.0");
    T::modifyTabrixTable(*service, DO_DELETE, "A", "");
    EXPECT_EQ(history_rows(), (std::vector<std::string>{"1|B|v1.0.0.0", "2|A|v9.0.0.0"}));
}

TEST_F(TableTest, NothingAndUnknownValuesRewriteTheUnchangedTable)
{
    add_rows({"A"});
    const std::string before = read_file("/tmp/json_history.json");
    for (int req : {0, -1, 4, 7}) {
        const ino_t inode = inode_of("/tmp/json_history.json");
        T::modifyTabrixTable(*service, req, "A", "v2.0.0.0");
        EXPECT_NE(inode_of("/tmp/json_history.json"), inode) << req;
        EXPECT_EQ(read_file("/tmp/json_history.json"), before);
    }
}

TEST_F(TableTest, IdsGrowPastTwoDigits)
{
    for (int i = 1; i <= 120; ++i) T::modifyTabrixTable(*service, DO_ADD, "p" + std::to_string(i), "v1.0.0.0");
    std::vector<std::string> rows = history_rows();
    ASSERT_EQ(rows.size(), 120u);
    for (int i = 1; i <= 120; ++i)
        EXPECT_EQ(rows[i - 1], std::to_string(i) + "|p" + std::to_string(i) + "|v1.0.0.0");
    T::modifyTabrixTable(*service, DO_DELETE, "p1", "");
    rows = history_rows();
    EXPECT_EQ(rows.front(), "1|p2|v1.0.0.0");
    EXPECT_EQ(rows.back(), "119|p120|v1.0.0.0");
}

TEST_F(TableTest, StringsAreEscapedAsCJsonPrintsThem)
{
    T::modifyTabrixTable(*service, DO_ADD, "q\"b\\t\tc\x01\x7f\xc3\xa9\n", "v1.0.0.0");
    const std::string text = read_file("/tmp/json_history.json");
    EXPECT_NE(text.find("[[\"1\", \"q\\\"b\\\\t\\tc\\u0001\x7f\xc3\xa9\\n\", \"v1.0.0.0\"]]"), std::string::npos)
        << text;
}

TEST_F(TableTest, NewHistoryFileGetsMode0776LessTheUmask)
{
    const mode_t mask = umask(0);
    umask(mask);
    struct stat st;
    ASSERT_EQ(stat("/tmp/json_history.json", &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0776 & ~mask);
}

TEST_F(TableTest, ExistingHistoryFileKeepsItsMode)
{
    chmod("/tmp/json_history.json", 0600);
    T::refresh_table(*service);
    struct stat st;
    ASSERT_EQ(stat("/tmp/json_history.json", &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
}

TEST_F(TableTest, UnwritableHistoryIsLoggedAndTheGzipStepStillRuns)
{
    SyslogCapture log;
    std::remove("/tmp/json_history.json");
    mkdir("/tmp/json_history.json", 0755);
    write_file("/tmp/json_history.json/keep", "x");
    T::refresh_table(*service);
    bool logged = false;
    for (const auto& r : log.records())
        if ((r.priority & 7) == 6 && r.message.rfind("[refresh_table][", 0) == 0 &&
            r.message.find("]fail to create json table\n") != std::string::npos)
            logged = true;
    EXPECT_TRUE(logged);
    // The gzip step ran: it found no history file to compress and said so.
    EXPECT_TRUE(log.has(3, "cannot compress /tmp/json_history.json: Is a directory\n"));
    EXPECT_EQ(gunzip(read_file("/tmp/json_history.gz")), kEmptyHistory);  // the last good copy stays
}

TEST_F(TableTest, NoTemporaryIsLeftBehind)
{
    add_rows({"A", "B"});
    T::modifyTabrixTable(*service, DO_DELETE, "A", "");
    for (const char* dir : {"/tmp", "/tmp/json_menu", "/tmp/panel_push"}) {
        Directory d(dir);
        while (const char* name = d.next_name()) EXPECT_NE(std::string(name).rfind(".menuhold-", 0), 0u) << name;
    }
}
