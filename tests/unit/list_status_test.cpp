// Part 4.1 (the product list) and Part 4.3 (the status text of one slot).
#include "support.h"

class ListTest : public ServiceTest {};

TEST_F(ListTest, AddOnEmptyListGivesOneEntryAndRowOne)
{
    T::set_debug(*service, 1);
    testing::internal::CaptureStdout();
    T::update_list(*service, DO_ADD, "Alpha", "v1.0.0.1", 302);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "update_list(): add\n");
    auto& list = T::list(*service);
    ASSERT_EQ(list.size(), 1u);
    EXPECT_STREQ(list["Alpha"].prod_name, "Alpha");
    EXPECT_STREQ(list["Alpha"].version, "v1.0.0.1");
    EXPECT_EQ(list["Alpha"].file_size, 302);
    EXPECT_EQ(history_rows(), (std::vector<std::string>{"1|Alpha|v1.0.0.1"}));
}

TEST_F(ListTest, ReplaceOfAnUnheldNameIsLoggedAndChangesNothing)
{
    SyslogCapture log;
    add_rows({"A"});
    const ino_t before = inode_of("/tmp/json_history.json");
    T::update_list(*service, DO_REPLACE, "B", "v2.0.0.0", 1);
    EXPECT_TRUE(log.has(6, "update_list(): nothing to replace\n"));
    EXPECT_EQ(inode_of("/tmp/json_history.json"), before);
    EXPECT_EQ(T::list(*service).count("B"), 0u);
    EXPECT_EQ(rows(), (std::vector<std::string>{"1|A|v1.0.0.0"}));
}

TEST_F(ListTest, ReplaceOfAnEmptyListIsLogged)
{
    SyslogCapture log;
    T::update_list(*service, DO_REPLACE, "B", "v2.0.0.0", 1);
    EXPECT_TRUE(log.has(6, "update_list(): nothing to replace\n"));
}

TEST_F(ListTest, ReplaceKeepsTheListOrderAndMovesTheRow)
{
    T::set_debug(*service, 1);
    add_rows({"A", "B"});
    testing::internal::CaptureStdout();
    T::update_list(*service, DO_REPLACE, "A", "v2.0.0.0", 99);
    EXPECT_EQ(testing::internal::GetCapturedStdout().rfind("update_list(): replace\n", 0), 0u);
    auto& list = T::list(*service);
    EXPECT_EQ(list.begin()->first, "A");
    EXPECT_STREQ(list["A"].version, "v2.0.0.0");
    EXPECT_EQ(list["A"].file_size, 99);
    EXPECT_EQ(history_rows(), (std::vector<std::string>{"1|B|v1.0.0.0", "2|A|v2.0.0.0"}));
}

TEST_F(ListTest, DeleteOfAnUnknownNameChangesNothingAndDoesNotRewrite)
{
    add_rows({"A"});
    const ino_t before = inode_of("/tmp/json_history.json");
    T::update_list(*service, DO_DELETE, "Z", "", 0);
    EXPECT_EQ(inode_of("/tmp/json_history.json"), before);
    EXPECT_EQ(T::list(*service).size(), 1u);
}

TEST_F(ListTest, DeleteErasesTheEntryAndTheRow)
{
    add_rows({"A", "B"});
    T::update_list(*service, DO_DELETE, "A", "", 0);
    EXPECT_EQ(T::list(*service).count("A"), 0u);
    EXPECT_EQ(history_rows(), (std::vector<std::string>{"1|B|v1.0.0.0"}));
}

TEST_F(ListTest, NothingAndOtherValuesDoNothingAtAll)
{
    add_rows({"A"});
    const ino_t before = inode_of("/tmp/json_history.json");
    for (int req : {0, 7, -3}) T::update_list(*service, req, "A", "v9.0.0.0", 1);
    EXPECT_EQ(inode_of("/tmp/json_history.json"), before);
    EXPECT_STREQ(T::list(*service)["A"].version, "v1.0.0.0");
}

TEST_F(ListTest, NamesAreOrderedByteWiseAndCaseMatters)
{
    add_rows({"abc", "Abc", "ab"});
    std::vector<std::string> keys;
    for (const auto& entry : T::list(*service)) keys.push_back(entry.first);
    EXPECT_EQ(keys, (std::vector<std::string>{"Abc", "ab", "abc"}));
}

TEST_F(ListTest, LongestNameAndVersionAreStoredWhole)
{
    const std::string name(59, 'n');
    const std::string version = "v1.0.0." + std::string(17, '9');
    ASSERT_EQ(version.size(), 24u);
    T::update_list(*service, DO_ADD, name, version, 1);
    EXPECT_EQ(T::list(*service)[name].prod_name, name);
    EXPECT_EQ(T::list(*service)[name].version, version);
}

TEST_F(ListTest, AddOfAHeldNameKeepsTheEntryAndAddsARow)
{
    add_rows({"A"});
    T::update_list(*service, DO_ADD, "A", "v5.0.0.0", 7);
    EXPECT_STREQ(T::list(*service)["A"].version, "v1.0.0.0");
    EXPECT_EQ(rows().size(), 2u);
}

class StatusTest : public ServiceTest {};

TEST_F(StatusTest, EmptyTableSlotZeroIsFree)
{
    EXPECT_EQ(T::status(*service, 0), "Availability: Yes\nProduct name: No product\nFile version:[ ]");
}

TEST_F(StatusTest, TakenAndFreeSlots)
{
    T::update_list(*service, DO_ADD, "Alpha", "v1.0.0.1", 1);
    T::update_list(*service, DO_ADD, "Beta", "v2.3.0.0", 1);
    EXPECT_EQ(T::status(*service, 0), "Availability: No\nProduct name: Alpha\nFile version:[v1.0.0.1]");
    EXPECT_EQ(T::status(*service, 1), "Availability: No\nProduct name: Beta\nFile version:[v2.3.0.0]");
    EXPECT_EQ(T::status(*service, 2), "Availability: Yes\nProduct name: No product\nFile version:[ ]");
    EXPECT_EQ(T::status(*service, 5), "Availability: Yes\nProduct name: No product\nFile version:[ ]");
    EXPECT_EQ(T::status(*service, -1), "Availability: Yes\nProduct name: No product\nFile version:[ ]");
}

TEST_F(StatusTest, AfterTheFirstRowIsRemovedSlotZeroHoldsTheSecond)
{
    add_rows({"A", "B"});
    T::modifyTabrixTable(*service, DO_DELETE, "A", "");
    EXPECT_EQ(T::status(*service, 0), "Availability: No\nProduct name: B\nFile version:[v1.0.0.0]");
    EXPECT_EQ(T::status(*service, 1), "Availability: Yes\nProduct name: No product\nFile version:[ ]");
}

TEST_F(StatusTest, AReplacedProductIsAtTheLastSlot)
{
    add_rows({"A", "B", "C"});
    T::update_list(*service, DO_REPLACE, "A", "v2.0.0.0", 1);
    EXPECT_EQ(T::status(*service, 2), "Availability: No\nProduct name: A\nFile version:[v2.0.0.0]");
}

TEST_F(StatusTest, LongestAnswerFits)
{
    const std::string name(59, 'n');
    const std::string version = "v1.0.0." + std::string(17, '9');
    T::update_list(*service, DO_ADD, name, version, 1);
    const std::string text = T::status(*service, 0);
    EXPECT_EQ(text.size(), 130u);
    EXPECT_EQ(text, "Availability: No\nProduct name: " + name + "\nFile version:[" + version + "]");
}
