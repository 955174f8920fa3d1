// Bus benchmark: a real ubusd, one sender (this process) and two listener processes.
//
//   bus_bench [-n EVENTS] [-w WINDOW] [-c CLIENTS]
//
// Throughput: the sender sends EVENTS events of the size modbus_poll sends, keeping at most WINDOW
// events ahead of the slower listener (the daemon drops a listener that falls too far behind, as
// it should; a benchmark that measured that would measure nothing). Reported: delivered events
// per second, and CPU time of daemon, listeners and sender per delivered event (getrusage).
// Memory: a fresh daemon with CLIENTS clients, each listening and each owning an object, after
// a round of events to all of them; reported from /proc/PID/status.
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <libubox/blobmsg.h>
#include <libubox/uloop.h>
#include <libubus.h>

namespace {

struct Shared {
    std::atomic<uint64_t> received[2];
    std::atomic<uint64_t> out_of_order[2];
    std::atomic<int> ready;
};

Shared *g_shared;
int g_index;
uint64_t g_expect_n;

std::string find_daemon()
{
    if (const char *dir = std::getenv("FB_BIN_DIR"))
        return std::string(dir) + "/ubusd";
    char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof(self) - 1);
    if (n <= 0)
        return "ubusd";
    self[n] = 0;
    std::string path(self);
    path = path.substr(0, path.rfind('/')); // build/bench
    path = path.substr(0, path.rfind('/')); // build
    return path + "/bin/ubusd";
}

pid_t start_daemon(const std::string &socket)
{
    std::string bin = find_daemon();
    pid_t pid = fork();
    if (pid == 0) {
        int null = open("/dev/null", O_WRONLY);
        dup2(null, 2);
        execl(bin.c_str(), "ubusd", "-s", socket.c_str(), static_cast<char *>(nullptr));
        _exit(127);
    }
    for (int i = 0; i < 500; ++i) {
        struct stat st {};
        if (stat(socket.c_str(), &st) == 0)
            return pid;
        usleep(10000);
    }
    std::fprintf(stderr, "ubusd (%s) did not start\n", bin.c_str());
    std::exit(1);
}

long status_kb(pid_t pid, const char *field)
{
    char path[64];
    std::snprintf(path, sizeof(path), "/proc/%d/status", static_cast<int>(pid));
    FILE *f = std::fopen(path, "r");
    if (!f)
        return -1;
    char line[256];
    long kb = -1;
    std::size_t flen = std::strlen(field);
    while (std::fgets(line, sizeof(line), f))
        if (std::strncmp(line, field, flen) == 0 && line[flen] == ':')
            kb = std::strtol(line + flen + 1, nullptr, 10);
    std::fclose(f);
    return kb;
}

double cpu_ms(const rusage &r)
{
    return (r.ru_utime.tv_sec + r.ru_stime.tv_sec) * 1e3 + (r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1e3;
}

uint32_t get_n(blob_attr *msg)
{
    static const blobmsg_policy p{"n", BLOBMSG_TYPE_INT32};
    blob_attr *tb = nullptr;
    blobmsg_parse(&p, 1, &tb, blob_data(msg), blob_len(msg));
    return tb ? blobmsg_get_u32(tb) : 0;
}

void listener_cb(ubus_context *, ubus_event_handler *, const char *type, blob_attr *msg)
{
    if (type[6] == 'e') { // bench_end
        uloop_end();
        return;
    }
    if (get_n(msg) != g_expect_n)
        g_shared->out_of_order[g_index]++;
    g_expect_n = get_n(msg) + 1;
    g_shared->received[g_index].fetch_add(1, std::memory_order_relaxed);
}

pid_t start_listener(int index, const std::string &socket)
{
    pid_t pid = fork();
    if (pid != 0)
        return pid;
    g_index = index;
    uloop_init();
    ubus_context *ctx = ubus_connect(socket.c_str());
    if (!ctx)
        _exit(1);
    static ubus_event_handler ev;
    ev.cb = listener_cb;
    if (ubus_register_event_handler(ctx, &ev, "bench_*") != UBUS_STATUS_OK)
        _exit(1);
    ubus_add_uloop(ctx);
    g_shared->ready++;
    uloop_run();
    ubus_free(ctx);
    uloop_done();
    _exit(0);
}

void fill_reading(blob_buf *b, uint32_t n)
{
    // The shape of a modbus_poll reading.
    blob_buf_init(b, 0);
    blobmsg_add_u32(b, "connection_index", 1);
    blobmsg_add_u32(b, "channel_index", 3);
    blobmsg_add_u32(b, "n", n);
    blobmsg_add_string(b, "value", "12.5");
    blobmsg_add_string(b, "status", "ok");
}

void throughput(const std::string &socket, uint64_t events, uint64_t window)
{
    pid_t daemon = start_daemon(socket);
    pid_t listeners[2] = {start_listener(0, socket), start_listener(1, socket)};
    while (g_shared->ready < 2)
        usleep(1000);

    ubus_context *tx = ubus_connect(socket.c_str());
    if (!tx) {
        std::fprintf(stderr, "sender cannot connect\n");
        std::exit(1);
    }
    blob_buf b{};
    rusage self0{}, self1{};
    getrusage(RUSAGE_SELF, &self0);
    auto t0 = std::chrono::steady_clock::now();
    auto slowest = [] { return std::min(g_shared->received[0].load(), g_shared->received[1].load()); };
    for (uint64_t i = 0; i < events; ++i) {
        while (i - slowest() > window)
            usleep(20); // sleeping, not spinning: the sender's CPU time stays its own work
        fill_reading(&b, static_cast<uint32_t>(i));
        if (ubus_send_event(tx, "bench_data", b.head) != UBUS_STATUS_OK) {
            std::fprintf(stderr, "send failed at %llu\n", static_cast<unsigned long long>(i));
            std::exit(1);
        }
    }
    while (slowest() < events)
        usleep(20);
    auto t1 = std::chrono::steady_clock::now();
    getrusage(RUSAGE_SELF, &self1);
    ubus_send_event(tx, "bench_end", nullptr);

    rusage lr[2]{}, dr{};
    for (int i = 0; i < 2; ++i)
        wait4(listeners[i], nullptr, 0, &lr[i]);
    ubus_free(tx);
    blob_buf_free(&b);
    kill(daemon, SIGTERM);
    wait4(daemon, nullptr, 0, &dr);

    double secs = std::chrono::duration<double>(t1 - t0).count();
    uint64_t delivered = 2 * events;
    double sender_ms = cpu_ms(self1) - cpu_ms(self0);
    double listen_ms = cpu_ms(lr[0]) + cpu_ms(lr[1]);
    double daemon_ms = cpu_ms(dr);
    double total_us = (sender_ms + listen_ms + daemon_ms) * 1e3;
    std::printf("throughput: %llu events from 1 sender to 2 listeners (window %llu)\n",
                static_cast<unsigned long long>(events), static_cast<unsigned long long>(window));
    std::printf("  delivered events:        %llu in %.3f s = %.0f delivered events/s (target >= 50000)\n",
                static_cast<unsigned long long>(delivered), secs, delivered / secs);
    std::printf("  out of order:            %llu\n",
                static_cast<unsigned long long>(g_shared->out_of_order[0] + g_shared->out_of_order[1]));
    std::printf("  cpu daemon/listeners/sender: %.0f / %.0f / %.0f ms\n", daemon_ms, listen_ms, sender_ms);
    std::printf("  cpu per delivered event: %.2f us (daemon alone %.2f us)\n", total_us / delivered,
                daemon_ms * 1e3 / delivered);
}

void memory(const std::string &socket, int clients)
{
    pid_t daemon = start_daemon(socket);
    long idle = status_kb(daemon, "VmRSS");
    std::vector<ubus_context *> ctxs;
    std::vector<ubus_event_handler> handlers(static_cast<std::size_t>(clients));
    std::vector<ubus_object> objects(static_cast<std::size_t>(clients));
    std::vector<std::string> names;
    static const ubus_method methods[] = {{"status", nullptr, 0, 0, nullptr, 0}};
    static int received = 0;
    for (int i = 0; i < clients; ++i)
        names.push_back("bench.client" + std::to_string(i));
    for (int i = 0; i < clients; ++i) {
        ubus_context *c = ubus_connect(socket.c_str());
        if (!c) {
            std::fprintf(stderr, "client %d cannot connect\n", i);
            std::exit(1);
        }
        handlers[i].cb = [](ubus_context *, ubus_event_handler *, const char *, blob_attr *) { ++received; };
        ubus_register_event_handler(c, &handlers[i], "bench_*");
        objects[i].name = names[i].c_str();
        objects[i].methods = methods;
        objects[i].n_methods = 1;
        ubus_add_object(c, &objects[i]);
        ctxs.push_back(c);
    }
    blob_buf b{};
    for (uint32_t round = 0; round < 50; ++round) {
        fill_reading(&b, round);
        ubus_send_event(ctxs[0], "bench_data", b.head);
    }
    while (received < 50 * clients) {
        for (ubus_context *c : ctxs)
            ubus_handle_event(c);
    }
    long rss = status_kb(daemon, "VmRSS");
    long hwm = status_kb(daemon, "VmHWM");
    long anon = status_kb(daemon, "RssAnon");
    std::printf("memory: ubusd with %d clients (each listening and owning an object)\n", clients);
    std::printf("  VmRSS idle:              %ld kB\n", idle);
    std::printf("  VmRSS with clients:      %ld kB (target < 2048 kB), RssAnon %ld kB, VmHWM %ld kB\n", rss,
                anon, hwm);
    for (ubus_context *c : ctxs)
        ubus_free(c);
    blob_buf_free(&b);
    kill(daemon, SIGTERM);
    waitpid(daemon, nullptr, 0);
}

} // namespace

int main(int argc, char **argv)
{
    uint64_t events = 200000, window = 2000;
    int clients = 20;
    int opt;
    while ((opt = getopt(argc, argv, "n:w:c:")) != -1) {
        switch (opt) {
        case 'n': events = std::strtoull(optarg, nullptr, 10); break;
        case 'w': window = std::strtoull(optarg, nullptr, 10); break;
        case 'c': clients = std::atoi(optarg); break;
        default:
            std::fprintf(stderr, "usage: %s [-n EVENTS] [-w WINDOW] [-c CLIENTS]\n", argv[0]);
            return 1;
        }
    }
    signal(SIGPIPE, SIG_IGN);
    char dir[] = "/tmp/fbbench.XXXXXX";
    if (!mkdtemp(dir))
        return 1;
    std::string socket = std::string(dir) + "/ubus.sock";
    g_shared = static_cast<Shared *>(
        mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
    new (g_shared) Shared{};

    throughput(socket, events, window);
    memory(socket, clients);
    rmdir(dir);
    return 0;
}
