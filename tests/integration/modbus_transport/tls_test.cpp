// TLS towards a real broker with certificates made by openssl, and the signed token of the cloud
// IoT core as a server sees it in the CONNECT packet.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <json-c/json.h>
#include <libubox/uloop.h>
#include <openssl/bio.h>
#include <openssl/ecdsa.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>

#include <ctime>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "chain_util.h"
#include "modbus_transport/modbus_flavour.h"
#include "transport/engine.h"

using namespace transport;
using mttest::Broker;
using mttest::LogCapture;
using mttest::Root;
using mttest::Subscriber;

namespace {

const modbus_transport::ModbusFlavour kFlavour;
const char *kCerts = "/flash/modbus_transport/connection_1/certs/";

void openssl(const std::vector<std::string> &args)
{
    std::vector<std::string> argv = {"openssl"};
    argv.insert(argv.end(), args.begin(), args.end());
    std::string out;
    ASSERT_EQ(fbtest::run(argv, &out), 0) << out;
}

// A CA, a server certificate for 127.0.0.1 and a client certificate, all on P-256 keys, in `dir`.
void make_pki(const std::string &dir)
{
    auto key = [&](const std::string &name) {
        openssl({"genpkey", "-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:P-256", "-out", dir + "/" + name});
    };
    key("ca.key");
    openssl({"req", "-x509", "-new", "-key", dir + "/ca.key", "-subj", "/CN=fieldbridge test CA", "-days", "2", "-out",
             dir + "/ca.crt"});
    FILE *ext = fopen((dir + "/san.ext").c_str(), "w");
    fputs("subjectAltName=IP:127.0.0.1\n", ext);
    fclose(ext);
    for (const std::string name : {"server", "client"}) {
        key(name + ".key");
        openssl({"req", "-new", "-key", dir + "/" + name + ".key", "-subj", "/CN=127.0.0.1", "-out",
                 dir + "/" + name + ".csr"});
        openssl({"x509", "-req", "-in", dir + "/" + name + ".csr", "-CA", dir + "/ca.crt", "-CAkey", dir + "/ca.key",
                 "-CAcreateserial", "-days", "2", "-extfile", dir + "/san.ext", "-out", dir + "/" + name + ".crt"});
    }
}

std::string slurp(const std::string &path)
{
    std::string s;
    FILE *f = fopen(path.c_str(), "rb");
    if (!f)
        return s;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0)
        s.append(buf, n);
    fclose(f);
    return s;
}

struct TlsTest : testing::Test {
    Root root;
    std::string pki;
    int plain = fbtest::free_tcp_port();
    int tls_any = fbtest::free_tcp_port();
    int tls_client_cert = fbtest::free_tcp_port();

    void SetUp() override
    {
        uloop_init();
        pki = root.root.path("/pki");
        std::filesystem::create_directories(pki);
        make_pki(pki);
    }
    std::string listeners() const
    {
        std::string common = "cafile " + pki + "/ca.crt\ncertfile " + pki + "/server.crt\nkeyfile " + pki +
                             "/server.key\n";
        return "listener " + std::to_string(tls_any) + " 127.0.0.1\n" + common + "listener " +
               std::to_string(tls_client_cert) + " 127.0.0.1\n" + common + "require_certificate true\n";
    }
    void install(const std::string &file, const std::string &as) const
    {
        root.root.write(std::string(kCerts) + as, slurp(pki + "/" + file));
    }
    // Loads the configuration and sends one reading; true when it reached the subscriber.
    bool deliver(int port, const std::string &cert_type, Subscriber &sub, size_t expect)
    {
        root.write_config(mttest::doc(
            R"({"id":"1","enable":"true","protocol":"mqtt","server_address":"127.0.0.1","server_port":")" +
            std::to_string(port) + R"(","enable_ssl":"true","cert_type":")" + cert_type +
            R"(","client_id":"tls-test","keepalive":"30","connect_timeout":"3","data_location":"null",)"
            R"("data_format":"$VALUE","channel":)" +
            mtchain::kAllChannels + "}"));
        TransportConfig cfg;
        if (!conf_init(kFlavour, 1, cfg))
            return false;
        Engine e(kFlavour, cfg);
        e.start_cache();
        e.open_server();
        if (e.connection_state() != 1)
            return false;
        Reading r;
        r.connection_index = 1;
        r.data = cert_type;
        e.handle_reading(false, r);
        return sub.wait_count(expect);
    }
};

} // namespace

TEST_F(TlsTest, SelfCertAndCaOnlyAgainstTheirListeners)
{
    Broker broker(root.root.dir(), listeners(), plain);
    Subscriber sub(plain, "data");
    install("ca.crt", "ca.crt");
    install("client.crt", "client.crt");
    install("client.key", "client.key");
    EXPECT_TRUE(deliver(tls_client_cert, "self_cert", sub, 1));
    EXPECT_TRUE(deliver(tls_any, "ca_only", sub, 2));
    {
        // Without its certificate the client is turned away by a listener that asks for one.
        LogCapture log;
        EXPECT_FALSE(deliver(tls_client_cert, "ca_only", sub, 3));
        EXPECT_TRUE(log.has("connect failed, return code"));
    }
    EXPECT_EQ(sub.messages(), (std::vector<std::string>{"self_cert", "ca_only"}));
    EXPECT_EQ(root.status(), "Connecting");
}

namespace {

// One TLS connection accepted on 127.0.0.1: the bytes of the client's first packet.
class PacketCatcher {
public:
    PacketCatcher(const std::string &pki) : port_(fbtest::free_tcp_port())
    {
        ctx_ = SSL_CTX_new(TLS_server_method());
        SSL_CTX_use_certificate_file(ctx_, (pki + "/server.crt").c_str(), SSL_FILETYPE_PEM);
        SSL_CTX_use_PrivateKey_file(ctx_, (pki + "/server.key").c_str(), SSL_FILETYPE_PEM);
        fd_ = socket(AF_INET, SOCK_STREAM, 0);
        int one = 1;
        setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(uint16_t(port_));
        bind(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a);
        listen(fd_, 1);
        thread_ = std::thread([this] { serve(); });
    }
    ~PacketCatcher()
    {
        shutdown(fd_, SHUT_RDWR);
        close(fd_);
        thread_.join();
        SSL_CTX_free(ctx_);
    }
    int port() const { return port_; }
    std::string packet()
    {
        thread_.join();
        thread_ = std::thread([] {});
        return packet_;
    }

private:
    void serve()
    {
        int c = accept(fd_, nullptr, nullptr);
        if (c < 0)
            return;
        timeval tv{5, 0};
        setsockopt(c, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        SSL *ssl = SSL_new(ctx_);
        SSL_set_fd(ssl, c);
        if (SSL_accept(ssl) == 1) {
            // Fixed header, then the remaining length as a variable-length integer.
            unsigned char b;
            std::string pkt;
            size_t remaining = 0, mult = 1;
            if (SSL_read(ssl, &b, 1) == 1) {
                pkt += char(b);
                do {
                    if (SSL_read(ssl, &b, 1) != 1)
                        break;
                    pkt += char(b);
                    remaining += (b & 127) * mult;
                    mult *= 128;
                } while ((b & 128) && mult < 128 * 128 * 128 * 128);
                std::string body(remaining, '\0');
                size_t got = 0;
                while (got < remaining) {
                    int n = SSL_read(ssl, body.data() + got, int(remaining - got));
                    if (n <= 0)
                        break;
                    got += size_t(n);
                }
                pkt += body.substr(0, got);
            }
            packet_ = pkt;
        }
        SSL_free(ssl);
        close(c);
    }

    int port_;
    int fd_ = -1;
    SSL_CTX *ctx_ = nullptr;
    std::thread thread_;
    std::string packet_;
};

struct Connect {
    std::string client_id, username, password;
    bool ok = false;
};

// The CONNECT packet of MQTT 3.1.1, read field by field with bounds checks.
Connect parse_connect(const std::string &p)
{
    Connect c;
    size_t i = 0;
    auto u8 = [&](unsigned &out) {
        if (i >= p.size())
            return false;
        out = static_cast<unsigned char>(p[i++]);
        return true;
    };
    auto str = [&](std::string &out) {
        unsigned hi, lo;
        if (!u8(hi) || !u8(lo) || i + (hi << 8 | lo) > p.size())
            return false;
        out = p.substr(i, hi << 8 | lo);
        i += hi << 8 | lo;
        return true;
    };
    unsigned type, b, level, flags, ka1, ka2;
    if (!u8(type) || type != 0x10)
        return c;
    do {
        if (!u8(b))
            return c;
    } while (b & 128);
    std::string proto, will_topic, will_msg;
    if (!str(proto) || proto != "MQTT" || !u8(level) || !u8(flags) || !u8(ka1) || !u8(ka2) || !str(c.client_id))
        return c;
    if ((flags & 0x04) && (!str(will_topic) || !str(will_msg)))
        return c;
    if ((flags & 0x80) && !str(c.username))
        return c;
    if ((flags & 0x40) && !str(c.password))
        return c;
    c.ok = true;
    return c;
}

std::string b64url_decode(std::string s)
{
    for (char &ch : s)
        ch = ch == '-' ? '+' : ch == '_' ? '/' : ch;
    while (s.size() % 4)
        s += '=';
    std::string out(s.size(), '\0');
    int n = EVP_DecodeBlock(reinterpret_cast<unsigned char *>(out.data()),
                            reinterpret_cast<const unsigned char *>(s.data()), int(s.size()));
    if (n < 0)
        return {};
    size_t pad = s.size() - s.find_last_not_of('=') - 1;
    out.resize(size_t(n) - pad);
    return out;
}

std::string member(json_object *obj, const char *key)
{
    json_object *v = nullptr;
    if (!json_object_object_get_ex(obj, key, &v))
        return "<missing>";
    return std::string(json_object_is_type(v, json_type_string) ? "" : "<not a string>") + json_object_get_string(v);
}

// Checks the signature over "header.payload" with the public half of the PEM private key.
bool signature_valid(const std::string &token, const std::string &key_pem, bool ecdsa)
{
    size_t dot2 = token.rfind('.');
    std::string signed_part = token.substr(0, dot2);
    std::string sig = b64url_decode(token.substr(dot2 + 1));
    BIO *bio = BIO_new_mem_buf(key_pem.data(), int(key_pem.size()));
    EVP_PKEY *key = PEM_read_bio_PrivateKey(bio, nullptr, nullptr, nullptr);
    BIO_free(bio);
    if (!key)
        return false;
    std::string der = sig;
    if (ecdsa) {
        // A token carries r || s; OpenSSL verifies the DER form.
        if (sig.size() != 64)
            return false;
        ECDSA_SIG *es = ECDSA_SIG_new();
        ECDSA_SIG_set0(es, BN_bin2bn(reinterpret_cast<const unsigned char *>(sig.data()), 32, nullptr),
                       BN_bin2bn(reinterpret_cast<const unsigned char *>(sig.data()) + 32, 32, nullptr));
        unsigned char *out = nullptr;
        int len = i2d_ECDSA_SIG(es, &out);
        der.assign(reinterpret_cast<char *>(out), size_t(len));
        OPENSSL_free(out);
        ECDSA_SIG_free(es);
    }
    EVP_MD_CTX *md = EVP_MD_CTX_new();
    bool ok = EVP_DigestVerifyInit(md, nullptr, EVP_sha256(), nullptr, key) == 1 &&
              EVP_DigestVerify(md, reinterpret_cast<const unsigned char *>(der.data()), der.size(),
                               reinterpret_cast<const unsigned char *>(signed_part.data()), signed_part.size()) == 1;
    EVP_MD_CTX_free(md);
    EVP_PKEY_free(key);
    return ok;
}

} // namespace

TEST_F(TlsTest, CloudTokenIsSignedWithTheDeviceKey)
{
    root.root.write("/app/etc/gcloud_certs/roots.pem", slurp(pki + "/ca.crt"));
    openssl({"genpkey", "-algorithm", "RSA", "-pkeyopt", "rsa_keygen_bits:2048", "-out", pki + "/rsa.key"});
    struct Case {
        const char *algorithm, *key;
    } cases[] = {{"RS256", "rsa.key"}, {"ES256", "client.key"}};
    for (const Case &c : cases) {
        install(c.key, "client.key");
        PacketCatcher server(pki);
        root.write_config(mttest::doc(
            R"({"id":"1","enable":"true","protocol":"gcloud","server_address":"127.0.0.1","server_port":")" +
            std::to_string(server.port()) +
            R"(","enable_ssl":"true","project_id":"proj-7","region":"europe-west1","registry_id":"reg",)"
            R"("algorithm":")" + c.algorithm + R"(","device_id":"dev-1","keepalive":"30","connect_timeout":"1",)"
            R"("data_location":"null"})"));
        TransportConfig cfg;
        ASSERT_TRUE(conf_init(kFlavour, 1, cfg));
        Engine e(kFlavour, cfg);
        e.start_cache();
        time_t before = time(nullptr);
        e.open_server(); // the catcher hangs up after the CONNECT: the attempt fails, as expected
        Connect connect = parse_connect(server.packet());
        ASSERT_TRUE(connect.ok) << c.algorithm;
        EXPECT_EQ(connect.client_id, "projects/proj-7/locations/europe-west1/registries/reg/devices/dev-1");
        EXPECT_EQ(connect.username, "unused");

        const std::string &token = connect.password;
        size_t d1 = token.find('.'), d2 = token.rfind('.');
        ASSERT_NE(d1, d2) << token;
        json_object *header = json_tokener_parse(b64url_decode(token.substr(0, d1)).c_str());
        json_object *claims = json_tokener_parse(b64url_decode(token.substr(d1 + 1, d2 - d1 - 1)).c_str());
        ASSERT_TRUE(header && claims) << token;
        EXPECT_EQ(member(header, "alg"), c.algorithm);
        EXPECT_EQ(member(header, "typ"), "JWT");
        std::string iat = member(claims, "iat"), exp = member(claims, "exp");
        EXPECT_EQ(member(claims, "aud"), "proj-7");
        long iat_v = atol(iat.c_str());
        EXPECT_GE(iat_v, long(before));
        EXPECT_LE(iat_v, long(time(nullptr)));
        EXPECT_EQ(exp, std::to_string(iat_v + 3600)); // both as strings of digits
        EXPECT_TRUE(signature_valid(token, slurp(pki + "/" + c.key), std::string(c.algorithm) == "ES256"));
        json_object_put(header);
        json_object_put(claims);
    }

    // Without a key file the connect goes ahead with an empty password.
    std::filesystem::remove(root.root.path(std::string(kCerts) + "client.key"));
    PacketCatcher server(pki);
    root.write_config(mttest::doc(
        R"({"id":"1","enable":"true","protocol":"gcloud","server_address":"127.0.0.1","server_port":")" +
        std::to_string(server.port()) + R"(","project_id":"p","algorithm":"RS256","device_id":"d",)"
        R"("enable_ssl":"true","connect_timeout":"1","data_location":"null"})"));
    TransportConfig cfg;
    LogCapture log;
    ASSERT_TRUE(conf_init(kFlavour, 1, cfg));
    Engine e(kFlavour, cfg);
    e.start_cache();
    e.open_server();
    Connect connect = parse_connect(server.packet());
    ASSERT_TRUE(connect.ok);
    EXPECT_EQ(connect.password, "");
    EXPECT_TRUE(log.has("Could not open file:"));
}
