// modbus_sim: a Modbus slave on libmodbus for tests, benchmarks and the demo.
//
//   modbus_sim (--tcp PORT | --rtu DEVICE [--baud N]) [--slave ID] [--hr ADDR=V,V,...] [--ir ...]
//              [--co ADDR=B,B,...] [--di ...] [--control FILE] [--demo] [--quiet]
//
// TCP listens on 127.0.0.1 only and serves any number of clients at once. Registers can be changed
// while it runs with command lines, read from standard input and from the control file (the file is
// applied and then removed, so a writer knows its commands took effect once it is gone):
//
//   hr ADDR V...     holding registers        ir ADDR V...   input registers
//   co ADDR B...     coils                    di ADDR B...   discrete inputs
//   get hr|ir|co|di ADDR N                    prints "hr ADDR: V V ..." on standard output
//
// Every write a master makes is printed as "write fc=F addr=A data=HEX" (the value bytes).
// --demo changes values over time: holding register 0 a temperature in tenths of a degree (int16),
// 1 a counter (+1 per second), coil 0 a status bit (toggles every 5 s), and holding registers 2-3 a
// float (a voltage around 230 V) in "cd_ab" order (low word first).
#include <modbus/modbus.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <sstream>
#include <string>
#include <vector>

namespace
{

constexpr int kTableSize = 10000;
volatile sig_atomic_t g_stop = 0;

void on_signal(int)
{
    g_stop = 1;
}

struct Options {
    int tcp_port = 0;
    std::string rtu_device;
    int baud = 9600;
    int slave = 1;
    std::string control;
    bool demo = false;
    bool quiet = false;
    std::vector<std::string> preset; // command lines applied at start
};

void usage()
{
    fprintf(stderr, "usage: modbus_sim (--tcp PORT | --rtu DEVICE [--baud N]) [--slave ID] [--hr ADDR=V,...] "
                    "[--ir ADDR=V,...] [--co ADDR=B,...] [--di ADDR=B,...] [--control FILE] [--demo] [--quiet]\n");
}

// Applies one command line; returns false for a malformed one.
bool apply(modbus_mapping_t *map, const std::string &line)
{
    std::istringstream in(line);
    std::string table;
    long addr;
    if (!(in >> table))
        return true; // blank line
    if (!(in >> addr) || addr < 0 || addr >= kTableSize)
        return false;
    long v;
    long a = addr;
    while (in >> v && a < kTableSize) {
        if (table == "hr")
            map->tab_registers[a] = uint16_t(v);
        else if (table == "ir")
            map->tab_input_registers[a] = uint16_t(v);
        else if (table == "co")
            map->tab_bits[a] = v ? 1 : 0;
        else if (table == "di")
            map->tab_input_bits[a] = v ? 1 : 0;
        else
            return false;
        ++a;
    }
    return true;
}

void get(modbus_mapping_t *map, const std::string &line)
{
    std::istringstream in(line);
    std::string word, table;
    long addr = 0, n = 1;
    in >> word >> table >> addr >> n;
    if (addr < 0 || addr >= kTableSize || n < 0)
        return;
    n = std::min<long>(n, kTableSize - addr);
    printf("%s %ld:", table.c_str(), addr);
    for (long i = addr; i < addr + n; ++i) {
        if (table == "hr")
            printf(" %u", map->tab_registers[i]);
        else if (table == "ir")
            printf(" %u", map->tab_input_registers[i]);
        else if (table == "co")
            printf(" %u", map->tab_bits[i]);
        else if (table == "di")
            printf(" %u", map->tab_input_bits[i]);
    }
    printf("\n");
}

void command(modbus_mapping_t *map, const std::string &line)
{
    if (line.rfind("get", 0) == 0)
        get(map, line);
    else if (!apply(map, line))
        fprintf(stderr, "modbus_sim: bad command: %s\n", line.c_str());
}

void run_control_file(modbus_mapping_t *map, const std::string &path)
{
    if (path.empty())
        return;
    FILE *f = fopen(path.c_str(), "r");
    if (!f)
        return;
    char line[4096];
    while (fgets(line, sizeof line, f)) {
        line[strcspn(line, "\r\n")] = 0;
        command(map, line);
    }
    fclose(f);
    unlink(path.c_str());
}

// "ADDR=V,V,..." into the command "TABLE ADDR V V ...".
std::string preset(const char *table, const char *values)
{
    std::string s = std::string(table) + " " + values;
    std::replace(s.begin(), s.end(), '=', ' ');
    std::replace(s.begin(), s.end(), ',', ' ');
    return s;
}

void demo_step(modbus_mapping_t *map, time_t start)
{
    const double t = double(time(nullptr) - start);
    map->tab_registers[0] = uint16_t(int16_t(lround(215 + 20 * sin(t / 30.0))));
    map->tab_registers[1] = uint16_t(map->tab_registers[1] + 1);
    map->tab_bits[0] = (long(t) / 5) % 2;
    float volts = float(230.0 + 3.0 * sin(t / 7.0));
    uint32_t bits;
    memcpy(&bits, &volts, sizeof bits);
    map->tab_registers[2] = uint16_t(bits & 0xFFFF); // "cd_ab": low word first
    map->tab_registers[3] = uint16_t(bits >> 16);
}

void report_write(modbus_t *ctx, const uint8_t *query, int length, bool quiet)
{
    if (quiet)
        return;
    const int h = modbus_get_header_length(ctx);
    if (length < h + 5)
        return;
    const int fc = query[h];
    if (fc != 5 && fc != 6 && fc != 15 && fc != 16)
        return;
    const int addr = query[h + 1] << 8 | query[h + 2];
    int from = h + 3, to = h + 5;
    if (fc == 15 || fc == 16) {
        from = h + 6;
        to = std::min(from + query[h + 5], length);
    }
    printf("write fc=%d addr=%d data=", fc, addr);
    for (int i = from; i < to && i < length; ++i)
        printf("%02X", query[i]);
    printf("\n");
}

} // namespace

int main(int argc, char **argv)
{
    Options o;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto next = [&]() -> const char * {
            if (i + 1 >= argc) {
                usage();
                exit(2);
            }
            return argv[++i];
        };
        if (a == "--tcp")
            o.tcp_port = atoi(next());
        else if (a == "--rtu")
            o.rtu_device = next();
        else if (a == "--baud")
            o.baud = atoi(next());
        else if (a == "--slave")
            o.slave = atoi(next());
        else if (a == "--hr")
            o.preset.push_back(preset("hr", next()));
        else if (a == "--ir")
            o.preset.push_back(preset("ir", next()));
        else if (a == "--co")
            o.preset.push_back(preset("co", next()));
        else if (a == "--di")
            o.preset.push_back(preset("di", next()));
        else if (a == "--control")
            o.control = next();
        else if (a == "--demo")
            o.demo = true;
        else if (a == "--quiet")
            o.quiet = true;
        else {
            usage();
            return 2;
        }
    }
    if ((o.tcp_port <= 0) == o.rtu_device.empty()) {
        usage();
        return 2;
    }
    setvbuf(stdout, nullptr, _IOLBF, 0);
    signal(SIGTERM, on_signal);
    signal(SIGINT, on_signal);
    signal(SIGPIPE, SIG_IGN);

    modbus_mapping_t *map = modbus_mapping_new(kTableSize, kTableSize, kTableSize, kTableSize);
    if (!map) {
        fprintf(stderr, "modbus_sim: mapping: %s\n", modbus_strerror(errno));
        return 1;
    }
    for (const std::string &p : o.preset)
        if (!apply(map, p)) {
            fprintf(stderr, "modbus_sim: bad preset: %s\n", p.c_str());
            return 2;
        }

    modbus_t *ctx = o.tcp_port > 0 ? modbus_new_tcp("127.0.0.1", o.tcp_port)
                                   : modbus_new_rtu(o.rtu_device.c_str(), o.baud, 'N', 8, 1);
    if (!ctx) {
        fprintf(stderr, "modbus_sim: %s\n", modbus_strerror(errno));
        return 1;
    }
    modbus_set_slave(ctx, o.slave);

    int listen_fd = -1;
    std::vector<int> clients;
    if (o.tcp_port > 0) {
        listen_fd = modbus_tcp_listen(ctx, 16);
        if (listen_fd < 0) {
            fprintf(stderr, "modbus_sim: listen on 127.0.0.1:%d: %s\n", o.tcp_port, modbus_strerror(errno));
            return 1;
        }
    } else {
        if (modbus_connect(ctx) != 0) {
            fprintf(stderr, "modbus_sim: open %s: %s\n", o.rtu_device.c_str(), modbus_strerror(errno));
            return 1;
        }
        clients.push_back(modbus_get_socket(ctx));
    }
    fprintf(stderr, "modbus_sim: ready\n");

    bool stdin_open = true;
    std::string stdin_line;
    const time_t start = time(nullptr);
    time_t last_demo = start;
    uint8_t query[MODBUS_TCP_MAX_ADU_LENGTH > MODBUS_RTU_MAX_ADU_LENGTH ? MODBUS_TCP_MAX_ADU_LENGTH
                                                                        : MODBUS_RTU_MAX_ADU_LENGTH];
    while (!g_stop) {
        fd_set rd;
        FD_ZERO(&rd);
        int maxfd = -1;
        auto watch = [&](int fd) {
            FD_SET(fd, &rd);
            maxfd = std::max(maxfd, fd);
        };
        if (listen_fd >= 0)
            watch(listen_fd);
        for (int fd : clients)
            watch(fd);
        if (stdin_open)
            watch(0);
        timeval tv{0, 50000};
        int r = select(maxfd + 1, &rd, nullptr, nullptr, &tv);
        if (r < 0 && errno != EINTR)
            break;
        run_control_file(map, o.control);
        if (o.demo && time(nullptr) != last_demo) {
            last_demo = time(nullptr);
            demo_step(map, start);
        }
        if (r <= 0)
            continue;
        if (stdin_open && FD_ISSET(0, &rd)) {
            char buf[1024];
            ssize_t n = read(0, buf, sizeof buf);
            if (n <= 0) {
                stdin_open = false;
            } else {
                stdin_line.append(buf, size_t(n));
                size_t nl;
                while ((nl = stdin_line.find('\n')) != std::string::npos) {
                    command(map, stdin_line.substr(0, nl));
                    stdin_line.erase(0, nl + 1);
                }
            }
        }
        if (listen_fd >= 0 && FD_ISSET(listen_fd, &rd)) {
            int fd = accept(listen_fd, nullptr, nullptr);
            if (fd >= 0)
                clients.push_back(fd);
        }
        for (size_t i = 0; i < clients.size();) {
            int fd = clients[i];
            if (!FD_ISSET(fd, &rd)) {
                ++i;
                continue;
            }
            modbus_set_socket(ctx, fd);
            int n = modbus_receive(ctx, query);
            if (n > 0) {
                report_write(ctx, query, n, o.quiet);
                modbus_reply(ctx, query, n, map);
                ++i;
            } else if (n == -1 && listen_fd >= 0) {
                // The client went away or sent garbage: drop the connection.
                close(fd);
                clients.erase(clients.begin() + long(i));
            } else {
                if (n == -1)
                    modbus_flush(ctx);
                ++i;
            }
        }
    }
    for (int fd : clients)
        if (listen_fd >= 0)
            close(fd);
    if (listen_fd >= 0)
        close(listen_fd);
    else
        modbus_close(ctx);
    modbus_free(ctx);
    modbus_mapping_free(map);
    return 0;
}
