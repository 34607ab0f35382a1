// Part 2.2 and Part 3.4/3.5 cases that need a service object in a particular state.
#include "support.h"

#include <sys/resource.h>
#include <syslog.h>

TEST(ServiceLife, RunWithoutInitRefusesAndLogs)
{
    reset_tmp();
    SyslogCapture log;
    Menuhold m;
    EXPECT_EQ(m.run(), -1);
    EXPECT_TRUE(log.has(6, "Menuhold is not init yet\n"));
}

TEST(ServiceLife, RecoveryWithoutInitReturnsMinus81AndChangesNothing)
{
    reset_tmp();
    write_file("/tmp/json_menu/0-panelpush_local_A_0.0.0.json",
               "{\"product info\": {\"product name\": \"A\", \"file version\": \"v1.0.0.0\"}}");
    Menuhold m;
    testing::internal::CaptureStdout();
    EXPECT_EQ(m.recovery(false), -81);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Menuhold is not init yet\n");
    EXPECT_FALSE(file_exists("/tmp/panel_push/0-panelpush_local_A_0.0.0.json"));
    EXPECT_FALSE(file_exists("/tmp/json_history.json"));
}

TEST(ServiceLife, ConstructorRemovesAStaleSocketPath)
{
    reset_tmp();
    write_file("/tmp/.cjsonsock", "stale");
    Menuhold m;
    EXPECT_FALSE(file_exists("/tmp/.cjsonsock"));
}

TEST(ServiceLife, DestructorReleasesEverythingAndLogsTheExit)
{
    reset_tmp();
    SyslogCapture log;
    {
        Menuhold m;
        ASSERT_EQ(m.init(0), 0);
        MenuholdTestAccess::update_list(m, DO_ADD, "A", "v1.0.0.0", 1);
        EXPECT_TRUE(file_exists("/tmp/.cjsonsock"));
    }
    EXPECT_FALSE(file_exists("/tmp/.cjsonsock"));
    EXPECT_TRUE(log.has(6, "Menuhold (PID: " + std::to_string(getpid()) + ") exit\n"));
}

TEST(ServiceLife, UninitTwiceIsHarmless)
{
    reset_tmp();
    Menuhold m;
    ASSERT_EQ(m.init(0), 0);
    m.uninit();
    m.uninit();
    EXPECT_EQ(m.run(), -1);
}

class DeleteTest : public ServiceTest {};

TEST_F(DeleteTest, RowWithoutListEntryIsRefusedAndStays)
{
    SyslogCapture log;
    T::modifyTabrixTable(*service, DO_ADD, "Ghost", "v1.0.0.0");
    EXPECT_EQ(T::delete_json(*service, 0), -1);
    EXPECT_TRUE(log.has(3, "Strange: cannot find product Ghost on the Json List\n"));
    EXPECT_EQ(rows(), (std::vector<std::string>{"1|Ghost|v1.0.0.0"}));
}

TEST_F(DeleteTest, NotFoundDebugLine)
{
    T::modifyTabrixTable(*service, DO_ADD, "Ghost", "v1.0.0.0");
    T::set_debug(*service, 1);
    testing::internal::CaptureStdout();
    T::delete_json(*service, 0);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("Could not find product [Ghost] in list\n"), std::string::npos) << out;
}

TEST_F(DeleteTest, HigherRowOfADuplicateNameDropsTheLowerRow)
{
    // Two rows of one name: the list entry is erased and the lower row is dropped; the
    // named row stays, renumbered, and a later delete of it is refused.
    SyslogCapture log;
    add_rows({"A", "B"});
    T::modifyTabrixTable(*service, DO_ADD, "A", "v9.0.0.0");
    write_file("/tmp/json_menu/0-panelpush_local_A_0.0.0.json", "x");
    write_file("/tmp/panel_push/0-panelpush_local_A_0.0.0.json", "x");
    EXPECT_EQ(T::delete_json(*service, 2), 0);
    EXPECT_EQ(history_rows(), (std::vector<std::string>{"1|B|v1.0.0.0", "2|A|v9.0.0.0"}));
    EXPECT_FALSE(file_exists("/tmp/json_menu/0-panelpush_local_A_0.0.0.json"));
    EXPECT_FALSE(file_exists("/tmp/panel_push/0-panelpush_local_A_0.0.0.json"));
    EXPECT_EQ(T::delete_json(*service, 1), -1);
    EXPECT_TRUE(log.has(3, "Strange: cannot find product A on the Json List\n"));
}

TEST_F(DeleteTest, InvalidIndexIsLogged)
{
    SyslogCapture log;
    add_rows({"A"});
    EXPECT_EQ(T::delete_json(*service, 1), -1);
    EXPECT_EQ(T::delete_json(*service, -1), -1);
    EXPECT_EQ(T::delete_json(*service, INT_MIN), -1);
    EXPECT_TRUE(log.has(3, "delete_json():Invalid index[1]\n"));
    EXPECT_TRUE(log.has(3, "delete_json():Invalid index[-1]\n"));
    EXPECT_TRUE(log.has(3, "delete_json():Invalid index[-2147483648]\n"));
}

TEST_F(DeleteTest, OnlyTheNameDecidesWhichFilesGo)
{
    T::update_list(*service, DO_ADD, "A", "v1.0.0.0", 1);
    write_file("/tmp/json_menu/0-panelpush_local_A_0.0.0.json", "x");
    write_file("/tmp/json_menu/0-panelpush_local_A_1.0.0.0.json", "y");
    EXPECT_EQ(T::delete_json(*service, 0), 0);
    EXPECT_FALSE(file_exists("/tmp/json_menu/0-panelpush_local_A_0.0.0.json"));
    EXPECT_TRUE(file_exists("/tmp/json_menu/0-panelpush_local_A_1.0.0.0.json"));
}

TEST(ServiceLife, SocketThatCannotBeCreatedFailsInit)
{
    reset_tmp();
    SyslogCapture log;
    syslog(LOG_INFO, "connect the syslog socket before descriptors run out");
    Menuhold m;
    testing::internal::CaptureStdout();
    struct rlimit old;
    getrlimit(RLIMIT_NOFILE, &old);
    const int lowest_free = dup(0);
    close(lowest_free);
    const struct rlimit tight = {static_cast<rlim_t>(lowest_free), old.rlim_max};
    setrlimit(RLIMIT_NOFILE, &tight);
    const int result = m.init(1);
    setrlimit(RLIMIT_NOFILE, &old);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(result, -1);
    EXPECT_EQ(MenuholdTestAccess::ctrl_socket(m), -1);
    EXPECT_NE(out.find("Server open sock: sock create failed: [Too many open files]\n"), std::string::npos) << out;
    bool logged = false;
    for (const auto& r : log.records())
        logged |= r.message.rfind("[refresh_table][", 0) == 0 && r.message.find("]fail to create json table\n") != std::string::npos;
    EXPECT_TRUE(logged);
    EXPECT_EQ(m.run(), -1);
}
