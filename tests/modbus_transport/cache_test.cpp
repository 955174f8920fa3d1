#include <gtest/gtest.h>

#include <sqlite3.h>

#include <string>
#include <vector>

#include "modbus_transport/modbus_flavour.h"
#include "mt_util.h"
#include "transport/cache.h"

using namespace transport;
using mttest::LogCapture;
using mttest::Root;

namespace {

const modbus_transport::ModbusFlavour kFlavour;

Reading reading(int reg, const std::string &value, int scan_end = 0)
{
    Reading r;
    r.connection_index = 1;
    r.channel_index = 2;
    r.slave_id = 3;
    r.func_code = 4;
    r.register_addr = reg;
    r.timestamp = 1700000000 + reg;
    r.data = value;
    r.scan_end = uint8_t(scan_end);
    return r;
}

struct Rows {
    long count = 0;
    long min_id = 0;
};

Rows rows_of(const std::string &path)
{
    Db db;
    EXPECT_EQ(db.open(path), SQLITE_OK);
    Stmt st;
    EXPECT_EQ(st.prepare(db, "select count(*), min(id) from modbus"), SQLITE_OK);
    EXPECT_EQ(sqlite3_step(st.get()), SQLITE_ROW);
    return {long(sqlite3_column_int64(st.get(), 0)), long(sqlite3_column_int64(st.get(), 1))};
}

// Fills the cache file directly, in one transaction, as an earlier run would have left it.
void prefill(const Cache &cache, int rows)
{
    ASSERT_EQ(cache.create(cache.path()), 1);
    Db db;
    ASSERT_EQ(db.open(cache.path()), SQLITE_OK);
    ASSERT_EQ(db.exec("begin"), SQLITE_OK);
    Stmt st;
    ASSERT_EQ(st.prepare(db, "insert into modbus values(null, 1, 2, 3, 4, ?, 0, 0, 'v')"), SQLITE_OK);
    for (int i = 0; i < rows; ++i) {
        sqlite3_bind_int(st.get(), 1, i);
        ASSERT_EQ(sqlite3_step(st.get()), SQLITE_DONE);
        sqlite3_reset(st.get());
    }
    ASSERT_EQ(db.exec("commit"), SQLITE_OK);
}

struct CacheTest : testing::Test {
    Root root;
    TransportConfig cfg;
    void SetUp() override
    {
        cfg.index = 1;
        cfg.protocol = Protocol::Mqtt;
        cfg.data_location = DataLocation::Ram;
    }
};

} // namespace

TEST_F(CacheTest, FreshCacheIsCreatedUnderTheRoot)
{
    Cache cache(kFlavour, cfg);
    bool pending = false;
    ASSERT_TRUE(cache.startup(pending));
    EXPECT_FALSE(pending);
    EXPECT_EQ(cache.path(), root.root.path("/tmp/database/modbus_transport/connection_1"));
    EXPECT_EQ(cache.max_rows(), 16666);
    EXPECT_EQ(root.quantity(), "0");

    cfg.data_location = DataLocation::Flash;
    cfg.connection_count = 3;
    Cache flash(kFlavour, cfg);
    ASSERT_TRUE(flash.startup(pending));
    EXPECT_EQ(flash.path(), root.root.path("/flash/database/modbus_transport/connection_1"));
    EXPECT_EQ(flash.max_rows(), 33333);
}

TEST_F(CacheTest, StartupCountsAndTrimsTheOldestRows)
{
    {
        Cache cache(kFlavour, cfg);
        bool pending = false;
        ASSERT_TRUE(cache.startup(pending));
        prefill(cache, 20000);
    }
    Cache cache(kFlavour, cfg);
    bool pending = false;
    ASSERT_TRUE(cache.startup(pending));
    EXPECT_TRUE(pending);
    EXPECT_EQ(root.quantity(), "16666");
    Rows r = rows_of(cache.path());
    EXPECT_EQ(r.count, 16666);
    EXPECT_EQ(r.min_id, 3335); // the 3334 oldest rows are gone
}

TEST_F(CacheTest, InsertKeepsTheSharedLimit)
{
    cfg.connection_count = 2;
    Cache cache(kFlavour, cfg);
    bool pending = false;
    ASSERT_TRUE(cache.startup(pending));
    prefill(cache, 50000);
    cache.insert(false, reading(7, "new"), 0);
    Rows r = rows_of(cache.path());
    EXPECT_EQ(r.count, 50000);
    EXPECT_EQ(r.min_id, 2);
    EXPECT_EQ(root.quantity(), "50000");
}

TEST_F(CacheTest, ValueTextIsStoredAsDataWhateverItHolds)
{
    Cache cache(kFlavour, cfg);
    bool pending = false;
    ASSERT_TRUE(cache.startup(pending));
    const std::string hostile = "1'); drop table modbus; --";
    cache.insert(false, reading(1, hostile), 0);
    cache.insert(false, reading(2, "it's"), 0);
    Db db;
    ASSERT_EQ(db.open(cache.path()), SQLITE_OK);
    Stmt st;
    ASSERT_EQ(st.prepare(db, "select * from modbus order by id"), SQLITE_OK);
    std::vector<Reading> got;
    while (sqlite3_step(st.get()) == SQLITE_ROW)
        got.push_back(kFlavour.decode_row(st.get()));
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].data, hostile);
    EXPECT_EQ(got[1].data, "it's");
    EXPECT_EQ(got[1].register_addr, 2);
    EXPECT_EQ(got[1].timestamp, 1700000002);
    EXPECT_EQ(root.quantity(), "2");
}

TEST_F(CacheTest, NewestFirstBatchComesBackInArrivalOrder)
{
    Cache cache(kFlavour, cfg);
    bool pending = false;
    ASSERT_TRUE(cache.startup(pending));
    Batch b = {reading(1, "a"), reading(2, "b"), reading(3, "c"), reading(4, "d", 1), reading(5, "after")};
    cache.insert_batch(b, true);
    Db db;
    ASSERT_EQ(db.open(cache.path()), SQLITE_OK);
    Stmt st;
    ASSERT_EQ(st.prepare(db, "select * from modbus order by id DESC limit 0,10;"), SQLITE_OK);
    std::string order;
    std::vector<int> marks;
    while (sqlite3_step(st.get()) == SQLITE_ROW) {
        Reading r = kFlavour.decode_row(st.get());
        order += r.data;
        marks.push_back(r.scan_end);
    }
    EXPECT_EQ(order, "abcd"); // nothing after the mark is stored
    EXPECT_EQ(marks, (std::vector<int>{0, 0, 0, 1}));
}

TEST_F(CacheTest, NullLocationRemovesBothCachesAndStoresNothing)
{
    root.root.write("/tmp/database/modbus_transport/connection_1", "x");
    root.root.write("/flash/database/modbus_transport/connection_1", "x");
    root.root.write("/tmp/database/modbus_transport/connection_2", "x");
    cfg.data_location = DataLocation::Null;
    Cache cache(kFlavour, cfg);
    bool pending = false;
    ASSERT_TRUE(cache.startup(pending));
    EXPECT_FALSE(cache.enabled());
    EXPECT_FALSE(root.root.exists("/tmp/database/modbus_transport/connection_1"));
    EXPECT_FALSE(root.root.exists("/flash/database/modbus_transport/connection_1"));
    EXPECT_TRUE(root.root.exists("/tmp/database/modbus_transport/connection_2"));
    EXPECT_EQ(root.quantity(), "0");
}

TEST_F(CacheTest, UnreadableCacheIsReplacedAndFtpStagingIsRecreated)
{
    root.root.write("/tmp/database/modbus_transport/connection_1", std::string(4096, 'z'));
    root.root.write("/tmp/database/modbus_transport/connection_ftp_1", std::string(4096, 'z'));
    cfg.protocol = Protocol::Ftp;
    Cache cache(kFlavour, cfg);
    bool pending = false;
    LogCapture log;
    ASSERT_TRUE(cache.startup(pending));
    EXPECT_FALSE(pending);
    EXPECT_TRUE(log.has("get row error"));
    EXPECT_EQ(rows_of(cache.path()).count, 0);
    EXPECT_EQ(rows_of(cache.staging_path()).count, 0);
    for (int i = 0; i < 3; ++i)
        cache.insert(true, reading(i, "s"), 0);
    EXPECT_EQ(rows_of(cache.staging_path()).count, 3);
    EXPECT_EQ(root.quantity(), "0"); // the staging queue is never published
}
