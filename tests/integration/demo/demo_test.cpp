// The first command of the README: demo/demo.sh runs for a bounded time and shows what it promises
// (readings at the broker, an alarm through every service, a register write landing on the
// device), then leaves no process and no root behind. The README's configuration examples are the
// demo's files, byte for byte.
#include <gtest/gtest.h>
#include <json-c/json.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "fbtest/support.h"

namespace fs = std::filesystem;

namespace
{

constexpr int kDemoSeconds = 25;
constexpr int kDefaultMqttPort = 11883; // the example configuration's broker port
const std::string kEventPrefix = "eventd: event name=modbus_alarm level=applications timestamp=";
const std::string kAlarmOn = "Alarm 1 (boiler temperature) on boiler room/temperature: ";
const std::string kAlarmOff = "Clear 1 (boiler temperature): temperature is ";
const std::string kThreshold = " > 21.6";

std::string slurp(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

std::vector<std::string> lines_of(const std::string &text)
{
    std::vector<std::string> out;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line))
        out.push_back(line);
    return out;
}

std::vector<std::string> words(const std::string &line)
{
    std::vector<std::string> out;
    std::istringstream in(line);
    std::string w;
    while (in >> w)
        out.push_back(w);
    return out;
}

bool starts_with(const std::string &s, const std::string &prefix) { return s.compare(0, prefix.size(), prefix) == 0; }
bool ends_with(const std::string &s, const std::string &suffix)
{
    return s.size() >= suffix.size() && s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// Digits with an optional sign and fraction.
bool is_number(const std::string &s)
{
    size_t i = s.size() > 1 && s[0] == '-' ? 1 : 0;
    bool digits = false, point = false;
    for (; i < s.size(); ++i) {
        if (std::isdigit(static_cast<unsigned char>(s[i])))
            digits = true;
        else if (s[i] == '.' && digits && !point && i + 1 < s.size())
            point = true;
        else
            return false;
    }
    return digits;
}

// A number printed with exactly `places` digits after the point.
bool has_places(const std::string &s, size_t places)
{
    size_t dot = s.find('.');
    return is_number(s) && dot != std::string::npos && s.size() - dot - 1 == places;
}

// The text between `prefix` and `suffix` when `s` is exactly prefix + middle + suffix.
bool between(const std::string &s, const std::string &prefix, const std::string &suffix, std::string &middle)
{
    if (s.size() < prefix.size() + suffix.size() || !starts_with(s, prefix) || !ends_with(s, suffix))
        return false;
    middle = s.substr(prefix.size(), s.size() - prefix.size() - suffix.size());
    return true;
}

// One line of the demo's stream: "[ 12s] kind   text".
struct Entry {
    int second = -1;
    std::string kind;
    std::string text;
};

std::vector<Entry> entries(const std::string &out)
{
    std::vector<Entry> v;
    for (const auto &line : lines_of(out)) {
        size_t close = line.find("s] ");
        if (line.empty() || line[0] != '[' || close == std::string::npos)
            continue;
        std::string n = line.substr(1, close - 1);
        n.erase(0, n.find_first_not_of(' '));
        if (!is_number(n))
            continue;
        size_t kind_end = line.find(' ', close + 3);
        if (kind_end == std::string::npos)
            continue;
        size_t text = line.find_first_not_of(' ', kind_end);
        v.push_back({std::stoi(n), line.substr(close + 3, kind_end - close - 3),
                     text == std::string::npos ? "" : line.substr(text)});
    }
    return v;
}

// A JSON object parsed from text, freed on destruction.
struct Json {
    json_object *o = nullptr;
    explicit Json(const std::string &text) : o(json_tokener_parse(text.c_str())) {}
    ~Json() { json_object_put(o); }
    Json(const Json &) = delete;
    Json &operator=(const Json &) = delete;
    bool ok() const { return o && json_object_is_type(o, json_type_object); }
    std::string str(const char *key) const
    {
        json_object *v = nullptr;
        return ok() && json_object_object_get_ex(o, key, &v) && v ? json_object_get_string(v) : "<none>";
    }
    std::vector<std::string> keys() const
    {
        std::vector<std::string> k;
        if (ok()) {
            json_object_object_foreach(o, key, val)
            {
                (void)val;
                k.push_back(key);
            }
        }
        return k;
    }
};

// Processes whose environment names this root (everything the demo starts inherits it).
std::vector<int> processes_with_root(const std::string &root)
{
    std::vector<int> found;
    const std::string needle = "FIELDBRIDGE_ROOT=" + root;
    for (const auto &e : fs::directory_iterator("/proc")) {
        const std::string name = e.path().filename();
        if (name.find_first_not_of("0123456789") != std::string::npos)
            continue;
        std::string env = slurp(e.path().string() + "/environ");
        size_t pos = 0;
        while (pos < env.size()) {
            size_t end = env.find('\0', pos);
            if (end == std::string::npos)
                end = env.size();
            if (env.compare(pos, end - pos, needle) == 0) {
                found.push_back(std::stoi(name));
                break;
            }
            pos = end + 1;
        }
    }
    return found;
}

// Listens on a loopback port so that the demo has to find another one.
class PortHolder
{
  public:
    explicit PortHolder(int port)
    {
        fd_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(uint16_t(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        // When someone else has it already, the demo has to move all the same.
        if (bind(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0)
            listen(fd_, 1);
    }
    ~PortHolder() { close(fd_); }
    PortHolder(const PortHolder &) = delete;
    PortHolder &operator=(const PortHolder &) = delete;

  private:
    int fd_ = -1;
};

bool programs_built()
{
    for (const char *p : {"ubusd", "ubus", "usi", "install_into_root", "eventd", "smsd", "digital_io", "modbus_sim",
                          "modbus_poll", "modbus_transport", "modbus_alarm", "email_notifier"})
        if (access(fbtest::bin(p).c_str(), X_OK) != 0)
            return false;
    return true;
}

// What one run of the demo printed.
struct DemoOutput {
    int status = -1;
    std::string out, err;

    std::string context() const { return "\n--- demo output ---\n" + out + "\n--- errors ---\n" + err; }
    std::vector<Entry> of_kind(const std::string &kind) const
    {
        std::vector<Entry> v;
        for (auto &e : entries(out))
            if (e.kind == kind)
                v.push_back(e);
        return v;
    }
    // MQTT messages of one topic (second, payload).
    std::vector<std::pair<int, std::string>> messages(const std::string &topic) const
    {
        std::vector<std::pair<int, std::string>> v;
        for (auto &e : of_kind("mqtt"))
            if (starts_with(e.text, topic + " "))
                v.push_back({e.second, e.text.substr(topic.size() + 1)});
        return v;
    }
    // The words of the last status-table row `row` ({} when there is none).
    std::vector<std::string> last_row(const std::string &row) const
    {
        std::vector<std::string> found;
        for (const auto &line : lines_of(out)) {
            auto w = words(line);
            if (!w.empty() && w[0] == row && starts_with(line, "       "))
                found = w;
        }
        return found;
    }
};

// The first payload `fault` finds something wrong with, with what is wrong ("" when all are fine).
template <typename Fault>
std::string first_fault(const std::vector<std::pair<int, std::string>> &messages, Fault fault)
{
    for (const auto &[second, payload] : messages) {
        Json j(payload);
        std::string why = j.ok() ? fault(j) : "not a JSON object";
        if (!why.empty())
            return why + ": " + payload;
    }
    return "";
}

void ends_by_itself_after_the_given_time(const DemoOutput &run)
{
    ASSERT_NE(run.status, -1) << "the demo did not end within its time" << run.context();
    EXPECT_EQ(fbtest::exit_code(run.status), 0) << run.context();
    EXPECT_NE(run.out.find("demo time of " + std::to_string(kDemoSeconds) + "s is over"), std::string::npos)
        << run.context();
}

void moves_off_a_busy_broker_port(const DemoOutput &run)
{
    const std::string label = "MQTT broker 127.0.0.1:";
    size_t at = run.out.find(label);
    ASSERT_NE(at, std::string::npos) << run.context();
    const int port = std::atoi(run.out.c_str() + at + label.size());
    EXPECT_GT(port, 0);
    EXPECT_NE(port, kDefaultMqttPort) << run.context();
    // The write command it prints uses the port it moved to.
    EXPECT_NE(run.out.find("-p " + std::to_string(port) + " -t fieldbridge/write"), std::string::npos)
        << run.context();
}

void combined_documents_arrive_within_fifteen_seconds(const DemoOutput &run)
{
    auto docs = run.messages("fieldbridge/boiler");
    ASSERT_GE(docs.size(), 3u) << run.context();
    EXPECT_LE(docs[0].first, 15) << run.context();
    EXPECT_EQ(first_fault(docs,
                          [](const Json &j) -> std::string {
                              // The template's keys first, then one key per channel description, in
                              // scan order.
                              if (j.keys() != std::vector<std::string>{"serial", "site", "time", "temperature",
                                                                       "run seconds", "pump running", "setpoint"})
                                  return "keys";
                              if (j.str("serial") != "FB-DEMO-0001" || j.str("site") != "boiler room")
                                  return "header";
                              const double t = std::atof(j.str("temperature").c_str());
                              if (!has_places(j.str("temperature"), 1) || t < 19.5 || t > 23.5)
                                  return "temperature";
                              if (j.str("pump running") != "0" && j.str("pump running") != "1")
                                  return "status bit";
                              if (!is_number(j.str("run seconds")))
                                  return "counter";
                              return "";
                          }),
              "");
    // The counter advances from one scan to the next.
    Json first(docs.front().second), last(docs.back().second);
    EXPECT_GT(std::atoi(last.str("run seconds").c_str()), std::atoi(first.str("run seconds").c_str()));
}

void single_values_take_the_first_matching_rule(const DemoOutput &run)
{
    auto voltage = run.messages("fieldbridge/meter/voltage");
    auto meter = run.messages("fieldbridge/meter");
    ASSERT_GE(voltage.size(), 3u) << run.context();
    ASSERT_GE(meter.size(), 6u) << run.context();
    EXPECT_LE(voltage[0].first, 15);
    EXPECT_EQ(first_fault(voltage,
                          [](const Json &j) -> std::string {
                              if (j.str("channel") != "voltage" || j.str("register") != "2")
                                  return "channel";
                              // A float with its low word first: read in any other byte order it
                              // would not be near 230 V.
                              const double v = std::atof(j.str("value").c_str());
                              if (!has_places(j.str("value"), 2) || v < 226.9 || v > 233.1)
                                  return "value";
                              return "";
                          }),
              "");
    std::set<std::string> channels;
    EXPECT_EQ(first_fault(meter,
                          [&](const Json &j) -> std::string {
                              channels.insert(j.str("channel"));
                              return is_number(j.str("value")) && is_number(j.str("time")) ? "" : "value or time";
                          }),
              "");
    // The voltage went to its own rule's topic only.
    EXPECT_EQ(channels, (std::set<std::string>{"pulses", "breaker closed"}));
}

// The content of an eventd line of the alarm event ("" when it is not one).
std::string event_content(const std::string &text)
{
    const std::string content = " content=";
    if (!starts_with(text, kEventPrefix))
        return "";
    size_t at = text.find(content, kEventPrefix.size());
    return at == std::string::npos ? "" : text.substr(at + content.size());
}

void alarm_reaches_every_service_and_the_mailbox(const DemoOutput &run)
{
    std::vector<Entry> events, sms, outputs;
    for (auto &e : run.of_kind("alarm")) {
        if (starts_with(e.text, "eventd: "))
            events.push_back(e);
        else if (starts_with(e.text, "smsd: "))
            sms.push_back(e);
        else if (starts_with(e.text, "digital_io: "))
            outputs.push_back(e);
    }
    // The temperature rises through the threshold during the run. When the first reading is still
    // below it, "off" is reported once first; then the crossing reports "on", and only once.
    ASSERT_FALSE(events.empty()) << run.context();
    size_t i = 0;
    std::string value;
    if (between(event_content(events[0].text), kAlarmOff, "", value)) {
        EXPECT_TRUE(is_number(value) && std::atof(value.c_str()) <= 21.6) << events[0].text;
        i = 1;
    }
    ASSERT_EQ(events.size(), i + 1) << run.context();
    ASSERT_TRUE(between(event_content(events[i].text), kAlarmOn, kThreshold, value)) << events[i].text;
    EXPECT_TRUE(is_number(value) && std::atof(value.c_str()) > 21.6) << events[i].text;
    EXPECT_LE(events[i].second, 15) << "the alarm came late" << run.context();

    // The digital output follows the same edges.
    ASSERT_EQ(outputs.size(), i + 1) << run.context();
    if (i == 1) {
        EXPECT_EQ(outputs[0].text, "digital_io: do id=1 source=modbus_alarm action=alarm off");
    }
    EXPECT_EQ(outputs[i].text, "digital_io: do id=1 source=modbus_alarm action=alarm on");

    // The SMS action has no off text: one message per number for the "on" only (the two calls run
    // side by side, so in either order).
    ASSERT_EQ(sms.size(), 2u) << run.context();
    std::set<std::string> numbers;
    for (const auto &e : sms) {
        std::string number;
        const std::string content = " content=FB-DEMO-0001 ";
        size_t at = e.text.find(content);
        ASSERT_NE(at, std::string::npos) << e.text;
        ASSERT_TRUE(between(e.text.substr(0, at), "smsd: sendsms phonenum=", "", number)) << e.text;
        numbers.insert(number);
        // "<date> <time>: temperature <value> > 21.6"
        EXPECT_TRUE(ends_with(e.text, ": temperature " + value + kThreshold)) << e.text;
    }
    EXPECT_EQ(numbers, (std::set<std::string>{"+15550100", "+15550101"}));

    // eventd passed the events on to email_notifier, which mailed them through msmtp.
    bool mailed = false;
    for (const auto &e : run.of_kind("mail")) {
        EXPECT_TRUE(starts_with(e.text, "\"fieldbridge alarm\": ")) << e.text;
        mailed = mailed || ends_with(e.text, ", " + kAlarmOn + value + kThreshold);
    }
    EXPECT_TRUE(mailed) << run.context();
}

void write_from_the_broker_lands_on_the_device(const DemoOutput &run)
{
    EXPECT_NE(run.out.find("$ mosquitto_pub -h 127.0.0.1 -p "), std::string::npos) << run.context();
    // The device saw function 6 on register 10 with the value 25 (0x0019)...
    bool device = false, changed = false;
    for (auto &e : run.of_kind("write")) {
        device = device || e.text == "boiler (TCP) device received: write fc=6 addr=10 data=0019";
        changed = changed || starts_with(e.text, "setpoint changed on the device: 20 -> 25");
    }
    EXPECT_TRUE(device) << run.context();
    // ...the poller read it back and the transport published it...
    EXPECT_TRUE(changed) << run.context();
    auto docs = run.messages("fieldbridge/boiler");
    ASSERT_FALSE(docs.empty());
    EXPECT_EQ(Json(docs.back().second).str("setpoint"), "25");
    // ...and the result key the poller keeps says so.
    EXPECT_NE(run.out.find("last write ok;"), std::string::npos) << run.context();
}

void status_table_shows_connections_and_last_values(const DemoOutput &run)
{
    EXPECT_NE(run.out.find("transport 1  Connected     cached rows 0"), std::string::npos) << run.context();
    EXPECT_NE(run.out.find("transport 2  Connected     cached rows 0"), std::string::npos) << run.context();
    // RS485 rows come first, then TCP; each read successfully with its value.
    using Row = std::vector<std::string>;
    Row voltage = run.last_row("1"), temperature = run.last_row("4"), setpoint = run.last_row("7");
    ASSERT_EQ(voltage.size(), 10u) << run.context();
    EXPECT_EQ(Row(voltage.begin(), voltage.end() - 1),
              (Row{"1", "RS485", "2", "2", "3", "2", "voltage", "Read", "successfully"}));
    EXPECT_TRUE(has_places(voltage.back(), 2)) << voltage.back();
    ASSERT_EQ(temperature.size(), 10u) << run.context();
    EXPECT_EQ(Row(temperature.begin(), temperature.end() - 1),
              (Row{"4", "TCP", "1", "1", "3", "0", "temperature", "Read", "successfully"}));
    EXPECT_TRUE(has_places(temperature.back(), 1)) << temperature.back();
    EXPECT_EQ(setpoint, (Row{"7", "TCP", "1", "1", "3", "10", "setpoint", "Read", "successfully", "25"}));
}

void leaves_no_process_and_no_root(const DemoOutput &run)
{
    std::string root;
    for (const auto &line : lines_of(run.out))
        if (starts_with(line, "   root /tmp/fieldbridge-demo."))
            root = line.substr(8);
    ASSERT_FALSE(root.empty()) << run.context();
    EXPECT_FALSE(fs::exists(root)) << root;
    EXPECT_NE(run.out.find("removed " + root), std::string::npos);

    // Every process it announced ("   name   pid N   command") is gone, or its pid now belongs to
    // something unrelated.
    int announced = 0;
    for (const auto &line : lines_of(run.out)) {
        auto w = words(line);
        if (!starts_with(line, "   ") || w.size() < 4 || w[1] != "pid" || !is_number(w[2]))
            continue;
        ++announced;
        const int pid = std::stoi(w[2]);
        const bool exists = kill(pid, 0) == 0 || errno != ESRCH;
        const std::string env = slurp("/proc/" + std::to_string(pid) + "/environ");
        EXPECT_FALSE(exists && env.find("FIELDBRIDGE_ROOT=" + root) != std::string::npos)
            << line << " is still running";
    }
    EXPECT_GE(announced, 16) << run.context();
    // Nothing else it started, directly or not, either.
    EXPECT_TRUE(fbtest::wait_until([&] { return processes_with_root(root).empty(); }, fbtest::Millis(3000)))
        << processes_with_root(root).size() << " processes still use " << root;
}

TEST(DemoScript, RunsTheGatewayForAGivenTimeAndCleansUp)
{
    if (!programs_built())
        GTEST_SKIP() << "the demo's programs are not part of this build";
    DemoOutput run;
    {
        // Someone else holds the example's broker port: the demo must move to a free one.
        PortHolder busy(kDefaultMqttPort);
        fbtest::Process demo({"bash", fbtest::source("demo/demo.sh"), std::getenv("FB_BUILD_DIR")},
                             {{"DEMO_SECONDS", std::to_string(kDemoSeconds)}});
        run.status = demo.wait_exit(fbtest::Millis((kDemoSeconds + 60) * 1000));
        if (run.status == -1) // hung: let its own clean-up run rather than killing it outright
            demo.stop(SIGTERM, fbtest::Millis(20000));
        run.out = demo.out();
        run.err = demo.err();
    }
    {
        SCOPED_TRACE("ends by itself after the given time");
        ends_by_itself_after_the_given_time(run);
    }
    {
        SCOPED_TRACE("moves off a busy broker port");
        moves_off_a_busy_broker_port(run);
    }
    {
        SCOPED_TRACE("combined documents arrive within fifteen seconds");
        combined_documents_arrive_within_fifteen_seconds(run);
    }
    {
        SCOPED_TRACE("single values take the first matching rule");
        single_values_take_the_first_matching_rule(run);
    }
    {
        SCOPED_TRACE("alarm reaches every service and the mailbox");
        alarm_reaches_every_service_and_the_mailbox(run);
    }
    {
        SCOPED_TRACE("write from the broker lands on the device");
        write_from_the_broker_lands_on_the_device(run);
    }
    {
        SCOPED_TRACE("status table shows connections and last values");
        status_table_shows_connections_and_last_values(run);
    }
    {
        SCOPED_TRACE("leaves no process and no root");
        leaves_no_process_and_no_root(run);
    }
}

// The README's configuration examples are the files the demo runs with: each file of demo/config
// appears once, after a line "<!-- example: demo/config/PATH -->", as a fenced block.
TEST(DemoReadme, ExamplesAreTheDemoConfigurationFiles)
{
    const std::string readme = slurp(fbtest::source("README.md"));
    ASSERT_FALSE(readme.empty());
    const std::vector<std::string> lines = lines_of(readme);
    std::map<std::string, int> shown;
    for (size_t i = 0; i < lines.size(); ++i) {
        std::string rel;
        if (!between(lines[i], "<!-- example: ", " -->", rel))
            continue;
        ++shown[rel];
        ASSERT_LT(i + 1, lines.size());
        ASSERT_TRUE(starts_with(lines[i + 1], "```")) << "a fenced block must follow the marker of " << rel;
        std::string block;
        size_t j = i + 2;
        for (; j < lines.size() && lines[j] != "```"; ++j)
            block += lines[j] + "\n";
        ASSERT_LT(j, lines.size()) << "unterminated block for " << rel;
        EXPECT_EQ(block, slurp(fbtest::source(rel))) << rel << " differs from its README example";
    }
    std::set<std::string> files;
    for (const auto &e : fs::recursive_directory_iterator(fbtest::source("demo/config")))
        if (e.is_regular_file())
            files.insert(fs::relative(e.path(), fbtest::source("")).string());
    ASSERT_FALSE(files.empty());
    for (const auto &f : files)
        EXPECT_EQ(shown[f], 1) << f << " should appear once in the README";
    for (const auto &[f, n] : shown)
        EXPECT_TRUE(files.count(f)) << "the README shows " << f << ", which is not a demo file";
}

} // namespace
