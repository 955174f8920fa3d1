// Naming, URL and header rules of the HTTP and FTP senders that need no server.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

#include "modbus_transport/modbus_flavour.h"
#include "mt_util.h"
#include "transport/ftp.h"
#include "transport/http.h"

using namespace transport;

namespace {

// 2024-03-05 07:08:09 in the zone the test sets.
time_t sample_time()
{
    setenv("TZ", "UTC", 1);
    tzset();
    struct tm tm {};
    tm.tm_year = 124;
    tm.tm_mon = 2;
    tm.tm_mday = 5;
    tm.tm_hour = 7;
    tm.tm_min = 8;
    tm.tm_sec = 9;
    return timegm(&tm);
}

TransportConfig ftp_cfg(const std::string &file_name)
{
    TransportConfig cfg;
    cfg.protocol = Protocol::Ftp;
    cfg.index = 2;
    cfg.server_address = "server";
    cfg.server_port = 21;
    cfg.serial_number = "SN42";
    cfg.has_file_name = true;
    cfg.file_name = file_name;
    return cfg;
}

} // namespace

TEST(FtpNaming, VariablesDateAndUrl)
{
    bool time_ok = false;
    TransportConfig cfg = ftp_cfg("data_$DATE.csv");
    std::string name = ftp_file_name(cfg, sample_time(), time_ok);
    EXPECT_TRUE(time_ok);
    EXPECT_EQ(name, "data_2024-03-05_07-08-09.csv");
    EXPECT_EQ(ftp_local_name(name), "data_2024-03-05_07-08-09.csv");
    EXPECT_EQ(ftp_url(cfg, name), "ftp://server:21/data_2024-03-05_07-08-09.csv");

    cfg = ftp_cfg("$SERIAL_NUMBER-$TRANSPORT_INDEX-$TRANSPORT_DESC-$VALUE");
    EXPECT_EQ(ftp_file_name(cfg, sample_time(), time_ok), "SN42-2- -$VALUE"); // others stay as written
    cfg.has_desc = true;
    cfg.desc = "pump";
    EXPECT_EQ(ftp_file_name(cfg, sample_time(), time_ok), "SN42-2-pump-$VALUE");

    cfg = ftp_cfg(std::string(200, 'x') + "$DATE");
    EXPECT_EQ(ftp_file_name(cfg, sample_time(), time_ok), std::string(127, 'x'));

    cfg = ftp_cfg("");
    EXPECT_EQ(ftp_file_name(cfg, sample_time(), time_ok), "");
    cfg.has_file_name = false;
    EXPECT_EQ(ftp_file_name(cfg, sample_time(), time_ok), "");
}

TEST(FtpNaming, NamesCannotLeaveTheSpoolOrBendTheUrl)
{
    TransportConfig cfg = ftp_cfg("x");
    // Directories stay directories on the server, but the local copy is one flat file.
    EXPECT_EQ(ftp_local_name("../../etc/passwd"), ".._.._etc_passwd");
    EXPECT_EQ(ftp_local_name("site a/2024/f.csv"), "site a_2024_f.csv");
    EXPECT_EQ(ftp_url(cfg, "site a/2024/f#1.csv"), "ftp://server:21/site%20a/2024/f%231.csv");
    EXPECT_EQ(ftp_url(cfg, "SN- -x"), "ftp://server:21/SN-%20-x");
}

TEST(FtpUpload, NoAttemptsOrNoLocalFileFailWithoutContactingAnyone)
{
    mttest::Root root;
    TransportConfig cfg = ftp_cfg("x");
    cfg.server_address = "127.0.0.1";
    cfg.server_port = fbtest::free_tcp_port();
    cfg.connect_retry = 0;
    root.root.write("/tmp/up.csv", "1,a\n");
    FtpResult r = ftp_put(cfg, root.root.path("/tmp/up.csv"), ftp_url(cfg, "up.csv"));
    EXPECT_EQ(r.code, CURLE_GOT_NOTHING);
    EXPECT_EQ(r.attempts, 0);

    cfg.connect_retry = 2;
    r = ftp_put(cfg, root.root.path("/tmp/missing.csv"), ftp_url(cfg, "up.csv"));
    EXPECT_TRUE(r.local_unreadable);
    EXPECT_NE(r.code, CURLE_OK);
    EXPECT_EQ(r.attempts, 0);

    // A refused connection is tried connect_retry times and never reported as success.
    r = ftp_put(cfg, root.root.path("/tmp/up.csv"), ftp_url(cfg, "up.csv"));
    EXPECT_EQ(r.code, CURLE_COULDNT_CONNECT);
    EXPECT_EQ(r.attempts, 2);
}

TEST(SenderTexts, CsvHeaderAndHttpHeaders)
{
    const modbus_transport::ModbusFlavour flavour;
    TransportConfig cfg;
    cfg.data_format = "$DATE,$SLAVE_ID,$VALUE";
    EXPECT_EQ(flavour.csv_header(cfg), "Date,Slave ID,Value");
    cfg.data_format = "$REGISTER_ADDRE;$TRANSPORT_DESC;$NOT_A_VARIABLE";
    EXPECT_EQ(flavour.csv_header(cfg), "Register Address;Transport Desc;$NOT_A_VARIABLE");

    EXPECT_EQ(http_headers(cfg), (std::vector<std::string>{"Content-Type: application/json", "Accept: text/plain"}));
    cfg.has_auth_header = true;
    cfg.auth_header = "Authorization: Bearer t";
    EXPECT_EQ(http_headers(cfg), (std::vector<std::string>{"Content-Type: application/json", "Accept: text/plain",
                                                            "Authorization: Bearer t"}));
}
