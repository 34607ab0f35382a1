// Part 3.1: reading and validating product files (readJsonFile, jsParse).
#include "support.h"

namespace {

std::string product(const std::string& name, const std::string& version)
{
    return "{\"product info\": {\"product name\": \"" + name + "\", \"file version\": \"" + version + "\"}}";
}

}  // namespace

class ProductFileTest : public ServiceTest {
protected:
    int parse(const std::string& text)
    {
        std::memset(prod, 0, sizeof prod);
        std::memset(version, 0, sizeof version);
        return T::jsParse(*service, text, prod, version);
    }
    std::string debug_output_of(const std::string& text)
    {
        T::set_debug(*service, 1);
        testing::internal::CaptureStdout();
        result = parse(text);
        return testing::internal::GetCapturedStdout();
    }
    char prod[60];
    char version[25];
    int result = 0;
};

TEST_F(ProductFileTest, ValidFileYieldsNameAndVersion)
{
    EXPECT_EQ(parse(product("Alpha", "v1.2.3.4")), 0);
    EXPECT_STREQ(prod, "Alpha");
    EXPECT_STREQ(version, "v1.2.3.4");
}

TEST_F(ProductFileTest, DebugLinesOfASuccess)
{
    EXPECT_EQ(debug_output_of(product("Alpha", "v1.2.3.4")),
              "[jsParse]Parse file success\nNow verify file version: v1.2.3.4\nThe first char is: v\nVerify success\n");
}

TEST_F(ProductFileTest, EachRefusalPrintsItsLine)
{
    EXPECT_EQ(debug_output_of("not json"), "Parse file failed\n");
    EXPECT_EQ(result, -1);
    EXPECT_EQ(debug_output_of("{\"x\": 1}"), "[jsParse]Parse file success\nNo product info\n");
    EXPECT_EQ(debug_output_of("{\"product info\": {\"file version\": \"v1.0.0.0\"}}"),
              "[jsParse]Parse file success\nNo product name\n");
    EXPECT_EQ(debug_output_of("{\"product info\": {\"product name\": \"A\"}}"),
              "[jsParse]Parse file success\nNo file version\n");
    EXPECT_EQ(debug_output_of(product("A", "v1.2.3")),
              "[jsParse]Parse file success\nNow verify file version: v1.2.3\nThe first char is: v\nInvalid file version\n");
    EXPECT_EQ(result, -1);
}

TEST_F(ProductFileTest, TopLevelArrayOrNonObjectInfoFails)
{
    EXPECT_EQ(parse("[" + product("A", "v1.0.0.0") + "]"), -1);
    EXPECT_EQ(parse("{\"product info\": \"A\"}"), -1);
    EXPECT_EQ(parse("{\"product info\": [\"product name\", \"A\"]}"), -1);
}

TEST_F(ProductFileTest, MemberNamesMatchInAnyCase)
{
    EXPECT_EQ(parse("{\"Product Info\": {\"PRODUCT NAME\": \"A\", \"File Version\": \"v1.0.0.0\"}}"), 0);
    EXPECT_STREQ(prod, "A");
}

TEST_F(ProductFileTest, FirstOfTwoNamesWins)
{
    EXPECT_EQ(parse("{\"product info\": {\"product name\": \"First\", \"Product Name\": \"Second\", "
                    "\"file version\": \"v1.0.0.0\"}}"),
              0);
    EXPECT_STREQ(prod, "First");
}

TEST_F(ProductFileTest, TextAfterTheValueIsNotExamined)
{
    EXPECT_EQ(parse(product("A", "v1.0.0.0") + " trailing garbage {"), 0);
}

TEST_F(ProductFileTest, VersionFormIsChecked)
{
    EXPECT_EQ(parse(product("A", "v1.2.3.4")), 0);
    EXPECT_EQ(parse(product("A", "v01.00.00.000")), 0);
    EXPECT_EQ(parse(product("A", "V1.2.3.4")), -1);
    EXPECT_EQ(parse(product("A", "v1.2.3")), -1);
    EXPECT_EQ(parse(product("A", "v1.2.3.4.5")), -1);
}

TEST_F(ProductFileTest, InvalidVersionStillFillsBothBuffers)
{
    EXPECT_EQ(parse(product("Alpha", "v1.2")), -1);
    EXPECT_STREQ(prod, "Alpha");
    EXPECT_STREQ(version, "v1.2");
}

TEST_F(ProductFileTest, EmptyNameIsAccepted)
{
    EXPECT_EQ(parse(product("", "v1.0.0.0")), 0);
    EXPECT_STREQ(prod, "");
}

TEST_F(ProductFileTest, NonStringMembersFail)
{
    EXPECT_EQ(debug_output_of("{\"product info\": {\"product name\": 7, \"file version\": \"v1.0.0.0\"}}"),
              "[jsParse]Parse file success\nNo product name\n");
    EXPECT_EQ(result, -1);
    EXPECT_EQ(debug_output_of("{\"product info\": {\"product name\": \"A\", \"file version\": null}}"),
              "[jsParse]Parse file success\nNo file version\n");
    EXPECT_EQ(result, -1);
}

TEST_F(ProductFileTest, OverlongOrSlashedNamesAndLongVersionsAreRefusedNotCut)
{
    EXPECT_EQ(parse(product(std::string(59, 'n'), "v1.0.0.0")), 0);
    EXPECT_EQ(parse(product(std::string(60, 'n'), "v1.0.0.0")), -1);
    EXPECT_EQ(parse(product("a/b", "v1.0.0.0")), -1);
    EXPECT_EQ(parse(product("A", "v1.0.0." + std::string(17, '1'))), 0);
    EXPECT_EQ(parse(product("A", "v1.0.0." + std::string(18, '1'))), -1);
}

TEST_F(ProductFileTest, NulEscapeInANameEndsTheName)
{
    EXPECT_EQ(parse(product("ab\\u0000cd", "v1.0.0.0")), 0);
    EXPECT_STREQ(prod, "ab");
}

TEST_F(ProductFileTest, DeepNestingIsRefusedWithoutCrashing)
{
    EXPECT_EQ(parse(std::string(100000, '[') + std::string(100000, ']')), -1);
}

TEST_F(ProductFileTest, ReadReportsSizes)
{
    int size = -5;
    char p[60] = {}, v[25] = {};
    EXPECT_EQ(T::readJsonFile(*service, "/tmp/missing.json", p, v, &size), -1);
    EXPECT_EQ(size, 0);
    write_file("/tmp/empty.json", "");
    EXPECT_EQ(T::readJsonFile(*service, "/tmp/empty.json", p, v, &size), -1);
    EXPECT_EQ(size, 0);
    write_file("/tmp/bad.json", product("A", "v1"));
    EXPECT_EQ(T::readJsonFile(*service, "/tmp/bad.json", p, v, &size), -1);
    EXPECT_EQ(size, static_cast<int>(product("A", "v1").size()));
    write_file("/tmp/good.json", product("A", "v1.0.0.0"));
    EXPECT_EQ(T::readJsonFile(*service, "/tmp/good.json", p, v, &size), 0);
    EXPECT_EQ(size, static_cast<int>(product("A", "v1.0.0.0").size()));
    EXPECT_EQ(T::readJsonFile(*service, "/tmp/good.json", p, v, nullptr), 0);
}

TEST_F(ProductFileTest, ReadDebugLines)
{
    write_file("/tmp/bad.json", "xx");
    T::set_debug(*service, 1);
    char p[60] = {}, v[25] = {};
    int size = 0;
    testing::internal::CaptureStdout();
    T::readJsonFile(*service, "/tmp/missing.json", p, v, &size);
    T::readJsonFile(*service, "/tmp/bad.json", p, v, &size);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "readJsonFile(): cannot open /tmp/missing.json\n"
              "Length of jsonfile /tmp/bad.json:  2\n"
              "[readJsonFile]Now parse json file /tmp/bad.json\n"
              "Parse file failed\n"
              "Parse [/tmp/bad.json] failed\n");
}

TEST_F(ProductFileTest, OnlyRegularFilesAreOpened)
{
    write_file("/tmp/good.json", product("A", "v1.0.0.0"));
    symlink("/tmp/good.json", "/tmp/link.json");
    mkfifo("/tmp/fifo.json", 0644);
    mkdir("/tmp/dir.json", 0755);
    char p[60] = {}, v[25] = {};
    for (const char* path : {"/tmp/link.json", "/tmp/fifo.json", "/tmp/dir.json", "/dev/null"}) {
        int size = -5;
        EXPECT_EQ(T::readJsonFile(*service, path, p, v, &size), -1) << path;
        EXPECT_EQ(size, 0) << path;
    }
}

TEST_F(ProductFileTest, FilesOver16MiBAreRefused)
{
    std::string big = product("A", "v1.0.0.0");
    big.resize(16 * 1024 * 1024 + 1, ' ');
    write_file("/tmp/big.json", big);
    char p[60] = {}, v[25] = {};
    int size = 0;
    EXPECT_EQ(T::readJsonFile(*service, "/tmp/big.json", p, v, &size), -1);
    EXPECT_EQ(size, 16 * 1024 * 1024 + 1);
    big.resize(16 * 1024 * 1024);
    write_file("/tmp/big.json", big);
    EXPECT_EQ(T::readJsonFile(*service, "/tmp/big.json", p, v, &size), 0);
}
