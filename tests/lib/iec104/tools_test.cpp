// The two programs as built: the simulated station started as a process on a free loopback port,
// and the client program run against it.
#include <gtest/gtest.h>

#include <regex>

#include "fbtest/support.h"
#include "iec104/client.h"

using namespace std::chrono_literals;

namespace {

size_t count(const std::string &text, const std::string &what)
{
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

struct SimStation {
    int port = fbtest::free_tcp_port();
    fbtest::Process process{{fbtest::bin("iec104_sim_server"), "-a", "127.0.0.1", "-p", std::to_string(port), "-n",
                             "4", "-i", "100", "-c", "7"}};
    ~SimStation() { process.stop(); }

    std::string client(std::vector<std::string> args, int &rc)
    {
        std::vector<std::string> argv = {fbtest::bin("iec104_client"), "--ca", "7", "--wait", "300"};
        argv.insert(argv.end(), {"127.0.0.1", std::to_string(port)});
        argv.insert(argv.end(), args.begin(), args.end());
        std::string out;
        rc = fbtest::run(argv, &out, 10000ms);
        return out;
    }
};

} // namespace

TEST(Iec104Tools, ClientInterrogatesTheSimulatedStation)
{
    SimStation sim;
    ASSERT_TRUE(fbtest::wait_for_port(sim.port));
    int rc = -1;
    const std::string out = sim.client({"gi"}, rc);
    EXPECT_EQ(0, rc) << out;
    EXPECT_EQ(1u, count(out, "C_IC_NA_1(100) cause actcon(7)")) << out;
    EXPECT_EQ(1u, count(out, "C_IC_NA_1(100) cause actterm(10)")) << out;
    // Four points of each of the five families, all with cause 20.
    const std::regex interrogated(
        R"((M_SP_NA_1|M_DP_NA_1|M_ME_NA_1|M_ME_NB_1|M_ME_NC_1)\(\d+\) cause inrogen\(20\) OA 0 CA 7 4 objects)");
    EXPECT_EQ(5, std::distance(std::sregex_iterator(out.begin(), out.end(), interrogated), std::sregex_iterator()))
        << out;
    // Values keep changing after the interrogation and arrive time-tagged and spontaneous.
    EXPECT_NE(std::string::npos, out.find("cause spont(3)")) << out;
    EXPECT_NE(std::string::npos, out.find(" time 20")) << out;
}

TEST(Iec104Tools, ClientCommandsAndClockSync)
{
    SimStation sim;
    ASSERT_TRUE(fbtest::wait_for_port(sim.port));
    int rc = -1;
    std::string out = sim.client({"sc", "1", "on"}, rc);
    EXPECT_EQ(0, rc) << out;
    EXPECT_NE(std::string::npos,
              out.find("C_SC_NA_1(45) cause actcon(7) OA 0 CA 7 1 object\n  IOA 1: single command on"))
        << out;
    EXPECT_NE(std::string::npos, out.find("C_SC_NA_1(45) cause actterm(10)")) << out;

    out = sim.client({"setf", "17", "42.5"}, rc);
    EXPECT_EQ(0, rc) << out;
    EXPECT_NE(std::string::npos, out.find("IOA 17: set point float 42.5")) << out;

    out = sim.client({"sc", "999", "on"}, rc);
    EXPECT_EQ(1, rc) << out;
    EXPECT_NE(std::string::npos, out.find("unknown object address(47) negative")) << out;

    out = sim.client({"cs"}, rc);
    EXPECT_EQ(0, rc) << out;
    EXPECT_NE(std::string::npos, out.find("C_CS_NA_1(103) cause actcon(7)")) << out;
    EXPECT_TRUE(sim.process.wait_err("clock synchronisation 20"));
    EXPECT_TRUE(sim.process.wait_err("command C_SC_NA_1(45)"));

    out = sim.client({"sc", "1"}, rc);
    EXPECT_EQ(2, rc) << "usage error";
}

TEST(Iec104Tools, SimulatedStationRefusesASecondMaster)
{
    SimStation sim;
    ASSERT_TRUE(fbtest::wait_for_port(sim.port));
    iec104::Client first;
    ASSERT_TRUE(first.connect("127.0.0.1", static_cast<uint16_t>(sim.port)));
    int rc = -1;
    const std::string out = sim.client({"gi"}, rc);
    EXPECT_EQ(1, rc) << out;
    EXPECT_TRUE(sim.process.wait_err("connection limit reached"));
}
