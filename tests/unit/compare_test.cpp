// Part 3.2: compare against the product list.
#include "support.h"

class CompareTest : public ServiceTest {
protected:
    int compare(std::string name, std::string version)
    {
        return T::compare(*service, &name[0], &version[0]);
    }
};

TEST_F(CompareTest, EmptyListAddsEveryName)
{
    EXPECT_EQ(compare("Alpha", "v1.0.0.0"), DO_ADD);
    EXPECT_EQ(compare("", "v1.0.0.0"), DO_ADD);
}

TEST_F(CompareTest, PartTableAgainstAHeldProduct)
{
    struct Row {
        const char* held;
        const char* uploaded;
        int result;
    };
    const Row table[] = {
        {"v1.0.0.0", "v1.0.0.0", DO_NOTHING},  {"v1.0.0.0", "v1.0.0.1", DO_REPLACE},
        {"v1.0.0.1", "v1.0.0.0", DO_NOTHING},  {"v1.9.0.0", "v1.10.0.0", DO_REPLACE},
        {"v2.0.0.0", "v1.99.99.99", DO_NOTHING}, {"v1.0.0.5", "v1.0.1.0", DO_REPLACE},
        {"v1.0.0.0", "v01.00.00.00", DO_NOTHING}, {"v1.0.0.0", "v1..0.0.0", DO_NOTHING},
        {"v1.0.0.0", "vv1.0.0.1", DO_REPLACE},  {"v1.0.0.x", "v1.0.0.0", DO_NOTHING},
        {"v1.0.0.0", "v1.0.0.1rc", DO_REPLACE}, {"v1.0.0.0", "v1.0.0.-1", DO_NOTHING},
        {"v1.0.0.0", "v1.0.0.0v2", DO_NOTHING},
    };
    for (const Row& row : table) {
        T::list(*service).clear();
        T::update_list(*service, DO_ADD, "P", row.held, 1);
        EXPECT_EQ(compare("P", row.uploaded), row.result) << row.held << " vs " << row.uploaded;
    }
}

TEST_F(CompareTest, NamesInOtherCaseAreOtherProducts)
{
    T::update_list(*service, DO_ADD, "Panel", "v1.0.0.0", 1);
    EXPECT_EQ(compare("panel", "v1.0.0.0"), DO_ADD);
}

TEST_F(CompareTest, NothingIsChanged)
{
    T::update_list(*service, DO_ADD, "P", "vv1..0.0.5", 1);
    std::string name = "P", version = "v1.0.0.6v7";
    EXPECT_EQ(T::compare(*service, &name[0], &version[0]), DO_REPLACE);
    EXPECT_EQ(name, "P");
    EXPECT_EQ(version, "v1.0.0.6v7");
    EXPECT_STREQ(T::list(*service)["P"].version, "vv1..0.0.5");
}

TEST_F(CompareTest, DebugOutputOfAReplacement)
{
    T::update_list(*service, DO_ADD, "P", "v1.0.0.5", 1);
    T::set_debug(*service, 1);
    testing::internal::CaptureStdout();
    EXPECT_EQ(compare("P", "v1.0.1.0"), DO_REPLACE);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Compare file version old(v1.0.0.5) vs new(v1.0.1.0)\n"
              "Compare  [1] vs [1]\nCompare  [0] vs [0]\nCompare  [0] vs [1]\nNew version\n");
}

TEST_F(CompareTest, DebugOutputOfAnOlderAndANewProduct)
{
    T::update_list(*service, DO_ADD, "P", "v2.0.0.0", 1);
    T::set_debug(*service, 1);
    testing::internal::CaptureStdout();
    EXPECT_EQ(compare("P", "v1.0.0.0"), DO_NOTHING);
    EXPECT_EQ(compare("Q", "v1.0.0.0"), DO_ADD);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Compare file version old(v2.0.0.0) vs new(v1.0.0.0)\nCompare  [2] vs [1]\n"
              "No matched json file in memory, maybe a new product\n");
}
