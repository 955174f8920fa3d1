#include <gtest/gtest.h>

#include <string>

#include "modbus_transport/modbus_flavour.h"
#include "mt_util.h"
#include "transport/config.h"

using namespace transport;
using mttest::doc;
using mttest::LogCapture;
using mttest::Root;

namespace {

const modbus_transport::ModbusFlavour kFlavour;

bool load(int index, TransportConfig &cfg) { return conf_init(kFlavour, index, cfg); }

std::string encrypt(const std::string &flag, const std::string &plain)
{
    std::string out;
    std::vector<std::string> argv = {fbtest::bin("uci_encrypt")};
    if (!flag.empty())
        argv.push_back(flag);
    argv.push_back(plain);
    EXPECT_EQ(fbtest::run(argv, &out), 0);
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r'))
        out.pop_back();
    return out;
}

} // namespace

TEST(TransportConfig, SelectsTheElementWithTheIndexAndSkipsOthersAtTheirFirstKey)
{
    Root r(doc(R"({"id":"1","enable":"true","desc":"first","protocol":"mqtt","server_address":"10.0.0.1"},
                  {"id":"2","enable":"true","protocol":"mqtt","server_address":"10.0.0.2","server_port":1883,
                   "enable_ssl":"false"})"));
    TransportConfig cfg;
    ASSERT_TRUE(load(2, cfg));
    EXPECT_EQ(cfg.index, 2);
    EXPECT_EQ(cfg.server_address, "10.0.0.2");
    EXPECT_FALSE(cfg.has_desc);
    EXPECT_EQ(cfg.server_uri, "tcp://10.0.0.2:1883"); // a JSON number is read as its text
    EXPECT_EQ(cfg.client_id, "");

    EXPECT_FALSE(load(3, cfg)); // no element with that id

    r.write_config(doc(R"({"id":"1","enable":"false","protocol":"mqtt"})"));
    EXPECT_FALSE(load(1, cfg));
}

TEST(TransportConfig, ProtocolPresetsAndDefaults)
{
    TransportConfig cfg;
    Root r(doc(R"({"id":"1","enable":"true","protocol":"ubidos"})"));
    ASSERT_TRUE(load(1, cfg));
    EXPECT_EQ(cfg.protocol, Protocol::Mqtt);
    EXPECT_EQ(cfg.data_type, DataType::Combin1);
    EXPECT_EQ(cfg.send_order, SendOrder::LastInLastOut);
    EXPECT_EQ(cfg.data_location, DataLocation::Absent);

    r.write_config(doc(R"({"id":"1","enable":"true","protocol":"ubidos","data_type":"single"})"));
    ASSERT_TRUE(load(1, cfg));
    EXPECT_EQ(cfg.data_type, DataType::Single);

    r.write_config(doc(R"({"id":"1","enable":"true","protocol":"ftp","data_type":"combin-2"})"));
    ASSERT_TRUE(load(1, cfg));
    EXPECT_EQ(cfg.data_type, DataType::Single);

    r.write_config(doc(R"({"id":"1","enable":"true","protocol":"mqtt","client_id":""})"));
    ASSERT_TRUE(load(1, cfg));
    EXPECT_EQ(cfg.client_id, "SN0001");
}

TEST(TransportConfig, CloudIotAlwaysUsesTlsWithItsRootsAndResourcePath)
{
    Root r(doc(R"({"id":"1","enable":"true","protocol":"gcloud","server_address":"mqtt.example","server_port":"8883",
                  "enable_ssl":"false","project_id":"p","region":"r","registry_id":"g","device_id":"d",
                  "enable_lwt":"true","lwt_topic":"x"})"));
    r.root.write("/app/etc/gcloud_certs/roots.pem", "roots");
    TransportConfig cfg;
    LogCapture log;
    ASSERT_TRUE(load(1, cfg));
    EXPECT_TRUE(cfg.tls);
    EXPECT_EQ(cfg.server_uri, "ssl://mqtt.example:8883");
    EXPECT_EQ(cfg.ca_file, "/app/etc/gcloud_certs/roots.pem");
    EXPECT_EQ(cfg.client_key_file, "");
    EXPECT_TRUE(log.has("client.key file not exists"));
    EXPECT_EQ(cfg.client_id, "projects/p/locations/r/registries/g/devices/d");
    EXPECT_FALSE(cfg.enable_lwt);
}

TEST(TransportConfig, CertificatePathsAndMissingFiles)
{
    Root r(doc(R"({"id":"4","enable":"true","protocol":"mqtt","enable_ssl":"true","cert_type":"self_cert"})"));
    r.root.write("/flash/modbus_transport/connection_4/certs/client.key", "k");
    TransportConfig cfg;
    LogCapture log;
    ASSERT_TRUE(load(4, cfg));
    EXPECT_EQ(cfg.cert_type, CertType::SelfCert);
    EXPECT_EQ(cfg.ca_file, "");
    EXPECT_EQ(cfg.client_cert_file, "");
    EXPECT_EQ(cfg.client_key_file, "/flash/modbus_transport/connection_4/certs/client.key");
    EXPECT_TRUE(log.has("ca.crt file not exists"));
    EXPECT_TRUE(log.has("client.crt file not exists"));
    EXPECT_FALSE(log.has("client.key file not exists"));
}

TEST(TransportConfig, CredentialsAndEncryptedValues)
{
    std::string des3 = encrypt("", "s3cret");
    std::string aes = encrypt("--aes256", "t0ken");
    ASSERT_FALSE(des3.empty());
    Root r(doc(R"({"id":"1","enable":"true","protocol":"http","username":"","password":"pw","auth_token":")" + aes +
               R"("})"));
    TransportConfig cfg;
    ASSERT_TRUE(load(1, cfg));
    EXPECT_FALSE(cfg.has_credentials); // no basic authentication without a user name
    EXPECT_EQ(cfg.auth_header, "Authorization: t0ken");

    r.write_config(doc(R"({"id":"1","enable":"true","protocol":"http","username":"u","password":")" + des3 + R"("})"));
    ASSERT_TRUE(load(1, cfg));
    EXPECT_EQ(cfg.credentials, "u:s3cret");

    r.write_config(doc(R"({"id":"1","enable":"true","protocol":"mqtt","username":"u","password":"not-encrypted"})"));
    ASSERT_TRUE(load(1, cfg));
    EXPECT_EQ(cfg.password, "not-encrypted");
    EXPECT_FALSE(cfg.has_credentials);
}

TEST(TransportConfig, ChannelRules)
{
    Root r(doc(R"({"id":"1","enable":"true","protocol":"mqtt","data_type":"single","channel":[
                    {"enable":"true","topic":"t1","connection_index":"2","filter_items":"channel_index",
                     "channel_index":""},
                    {"enable":"false","topic":"skipped"},
                    {"enable":"true","topic":"","connection_index":"2","filter_items":"register_address",
                     "register_addr":"40001","channel_index":"7"}]})"));
    TransportConfig cfg;
    LogCapture log;
    ASSERT_TRUE(load(1, cfg));
    ASSERT_EQ(cfg.rules.size(), 2u);
    EXPECT_EQ(cfg.rules[0]->channel_index, 255);
    EXPECT_EQ(cfg.rules[0]->topic, "t1");
    EXPECT_EQ(cfg.rules[1]->filter, Filter::RegisterAddress);
    EXPECT_EQ(cfg.rules[1]->register_addr, 40001);
    EXPECT_EQ(cfg.rules[1]->channel_index, 0); // not read under another filter
    EXPECT_FALSE(cfg.rules[1]->has_topic);
    EXPECT_TRUE(log.has("publish topic is null"));

    // Combined types take every channel of the poller connection.
    r.write_config(doc(R"({"id":"1","enable":"true","protocol":"gcloud","data_type":"combin-3","channel":[
                    {"enable":"true","topic":"t","connection_index":"1","filter_items":"slave_id",
                     "channel_index":"4"}]})"));
    ASSERT_TRUE(load(1, cfg));
    EXPECT_EQ(cfg.rules[0]->filter, Filter::ChannelIndex);
    EXPECT_EQ(cfg.rules[0]->channel_index, 255);
    EXPECT_EQ(cfg.rules[0]->qos, 1);
}

TEST(TransportConfig, ConnectionCountPerStorageLocation)
{
    Root r(doc(R"({"id":"1","enable":"true","data_location":"flash"},
                  {"id":"2","enable":"true","data_location":"ram"},
                  {"id":"3","enable":"true","data_location":"flash"},
                  {"id":"4","enable":"false","data_location":"flash"},
                  {"id":"5","enable":"true","data_location":"flash"})"));
    TransportConfig cfg;
    ASSERT_TRUE(load(1, cfg));
    EXPECT_EQ(cfg.connection_count, 3);
    ASSERT_TRUE(load(2, cfg));
    EXPECT_EQ(cfg.connection_count, 1);
}

TEST(TransportConfig, OptionsLandInTheirFieldsOnlyWithinTheirProtocol)
{
    Root r(doc(R"({"id":"1","enable":"true","protocol":"mqtt","desc":"","subscribe_topic":"cmd","keepalive":"60",
                  "reconnect_interval":"15","connect_timeout":"20","enable_lwt":"on","lwt_topic":"will",
                  "testament":"gone","send_interval":"30","number_of_sent":"500","data_send_order":"last_in_first_out",
                  "data_format":"","line_break":"true","enable_csv":"true","upload_interval":"9","connect_retry":"4"})"));
    TransportConfig cfg;
    ASSERT_TRUE(load(1, cfg));
    EXPECT_TRUE(cfg.has_desc); // present, though empty
    EXPECT_EQ(cfg.subscribe_topic, "cmd");
    EXPECT_EQ(cfg.keepalive, 60);
    EXPECT_EQ(cfg.reconnect_interval, 15);
    EXPECT_EQ(cfg.connect_timeout, 20);
    EXPECT_EQ(cfg.lwt_topic, "will");
    EXPECT_EQ(cfg.testament, "gone");
    EXPECT_EQ(cfg.send_interval, 30);
    EXPECT_EQ(cfg.number_of_sent, 500);
    EXPECT_EQ(cfg.send_order, SendOrder::LastInFirstOut);
    EXPECT_TRUE(cfg.has_data_format);
    EXPECT_TRUE(cfg.line_break);
    EXPECT_FALSE(cfg.enable_csv); // the FTP options are not mqtt's
    EXPECT_EQ(cfg.upload_interval, 0);
    EXPECT_EQ(cfg.connect_retry, 0);

    r.write_config(doc(R"({"id":"1","enable":"true","protocol":"ftp","ftp_conn_mode":"passive","connect_retry":"3",
                  "file_name":"log.csv","upload_interval":"600","enable_csv":"true","keepalive":"60"})"));
    ASSERT_TRUE(load(1, cfg));
    EXPECT_TRUE(cfg.passive);
    EXPECT_EQ(cfg.connect_retry, 3);
    EXPECT_TRUE(cfg.has_file_name);
    EXPECT_EQ(cfg.file_name, "log.csv");
    EXPECT_EQ(cfg.upload_interval, 600);
    EXPECT_TRUE(cfg.enable_csv);
    EXPECT_EQ(cfg.keepalive, 0);
}

// The last-will texts wait for enable_lwt and the key password for TLS, each set by a key read before.
TEST(TransportConfig, GatedOptionsAreReadOnlyAfterTheirSwitch)
{
    Root r(doc(R"({"id":"1","enable":"true","protocol":"mqtt","lwt_topic":null,"cert_type":null,
                  "enable_lwt":"true","enable_ssl":"true","testament":"bye","private_key_password":"pw"})"));
    TransportConfig cfg;
    ASSERT_TRUE(load(1, cfg));
    EXPECT_EQ(cfg.testament, "bye");
    EXPECT_EQ(cfg.private_key_password, "pw");

    r.write_config(doc(R"({"id":"1","enable":"true","protocol":"mqtt","enable_lwt":"false","enable_ssl":"false",
                  "testament":null,"cert_type":null,"private_key_password":null})"));
    EXPECT_TRUE(load(1, cfg));
}

// Each null value and each unknown text fails the load with its own message.
TEST(TransportConfig, NullValuesAndUnknownTextsFailWithTheirMessages)
{
    struct Case {
        std::string protocol, option, message;
    };
    const Case cases[] = {
        {"mqtt", R"("desc":null)", "Can not get desc."},
        {"mqtt", R"("server_address":null)", "Can not get server_address"},
        {"mqtt", R"("server_port":null)", "Can not get server_port"},
        {"mqtt", R"("client_id":null)", "Can not get client_id"},
        {"mqtt", R"("subscribe_topic":null)", "Can not get subscribe_topic"},
        {"mqtt", R"("keepalive":null)", "Can not get keepalive"},
        {"mqtt", R"("reconnect_interval":null)", "Can not get reconnect_interval"},
        {"mqtt", R"("connect_timeout":null)", "Can not get connect_timeout"},
        {"mqtt", R"("enable_lwt":"true","lwt_topic":null)", "Can not get lwt_topic"},
        {"mqtt", R"("enable_lwt":"yes","testament":null)", "Can not get testament"},
        {"mqtt", R"("data_location":null)", "Can not get data_location"},
        {"mqtt", R"("send_interval":null)", "Can not get send interval"},
        {"mqtt", R"("number_of_sent":null)", "Can not get number_of_sent"},
        {"mqtt", R"("data_type":null)", "Can not get data_type"},
        {"mqtt", R"("data_send_order":null)", "Can not get data_send_order"},
        {"mqtt", R"("data_format":null)", "Can not get data_format"},
        {"mqtt", R"("enable_ssl":"true","cert_type":null)", "Can not get cert_type"},
        {"mqtt", R"("enable_ssl":"true","private_key_password":null)", "Can not get private_key_password"},
        {"ftp", R"("username":null)", "Can not get username"},
        {"ftp", R"("password":null)", "Can not get password"},
        {"ftp", R"("ftp_conn_mode":null)", "Can not get ftp_conn_type"},
        {"ftp", R"("connect_retry":null)", "Can not get connect_retry"},
        {"ftp", R"("file_name":null)", "Can not get file_name"},
        {"ftp", R"("upload_interval":null)", "Can not get upload_interval"},
        {"gcloud", R"("project_id":null)", "Can not get project_id"},
        {"gcloud", R"("region":null)", "Can not get region"},
        {"gcloud", R"("registry_id":null)", "Can not get registry_id"},
        {"gcloud", R"("device_id":null)", "Can not get device_id"},
        {"gcloud", R"("algorithm":null)", "Can not get algorithm"},
        {"mqtt", R"("data_location":"disk")", "Unkonw data location"},
        {"mqtt", R"("data_type":"combin-9")", "Unkonw data type"},
        {"mqtt", R"("data_send_order":"random")", "Unkonw data_send_order"},
        {"mqtt", R"("enable_ssl":"true","cert_type":"pkcs12")", "Unkonw cert_type"},
        {"mqtt", R"("channel":[{"enable":"true","topic":null}])", "Can not get publish_topic."},
        {"mqtt", R"("channel":[{"enable":"true","connection_index":null}])", "Can not get connection_index"},
        {"mqtt", R"("channel":[{"enable":"true","filter_items":"anything"}])", "Can not get filter_items"},
        {"mqtt", R"("channel":[{"enable":"true","filter_items":"slave_id","slave_id":null}])", "Can not get slave_id"},
        {"mqtt", R"("channel":[{"enable":"true","filter_items":"channel_index","channel_index":null}])",
         "Can not get channel_index"},
        {"mqtt", R"("channel":[{"enable":"true","filter_items":"register_address","register_addr":null}])",
         "Can not get register addr"},
        {"mqtt", R"("channel":[null])", "error in src/modbus_transport.c, mbt_conf_get_channel_para:99"},
    };
    Root r;
    for (const Case &c : cases) {
        r.write_config(doc(R"({"id":"1","enable":"true","protocol":")" + c.protocol + R"(",)" + c.option + "}"));
        TransportConfig cfg;
        LogCapture log;
        EXPECT_FALSE(load(1, cfg)) << c.option;
        EXPECT_TRUE(log.has(c.message)) << c.option << " logged: " << log.text();
    }

    r.write_config(doc(R"({"id":"1","enable":"true","protocol":"smtp"})"));
    TransportConfig cfg;
    {
        LogCapture log;
        EXPECT_FALSE(load(1, cfg));
        EXPECT_TRUE(log.has("Unkonw protocol"));
    }
    r.write_config(doc(R"(null)"));
    {
        LogCapture log;
        EXPECT_FALSE(load(1, cfg));
        EXPECT_TRUE(log.has("error in src/modbus_transport.c, mbt_conf_init:257"));
    }
    // Options out of their protocol's scope are not read at all, null or not.
    r.write_config(doc(R"({"id":"1","enable":"true","protocol":"mqtt","file_name":null,"project_id":null})"));
    EXPECT_TRUE(load(1, cfg));
    r.write_config("{\"connection\": [");
    EXPECT_FALSE(load(1, cfg));
}

TEST(TransportConfig, MissingSerialNumberFailsTheLoad)
{
    Root r(doc(R"({"id":"1","enable":"true","protocol":"mqtt"})"));
    usi_del("system.serial_number");
    TransportConfig cfg;
    LogCapture log;
    EXPECT_FALSE(load(1, cfg));
    EXPECT_TRUE(log.has("can no get devices serial number"));
}
