// Costs on the bus's hot path: building, checking, parsing and printing one reading event, and the
// loop's timer and descriptor bookkeeping. The bus target is 50,000 events a second end to end.

#include <libubox/blobmsg_json.h>
#include <libubox/uloop.h>

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <vector>

#include <sys/socket.h>
#include <unistd.h>

namespace
{

void build_event(blob_buf *b)
{
    blob_buf_init(b, 0);
    blobmsg_add_u32(b, "connection_index", 1);
    blobmsg_add_u32(b, "channel_id", 12);
    blobmsg_add_u32(b, "slave_id", 3);
    blobmsg_add_u32(b, "register_addr", 40001);
    blobmsg_add_string(b, "value", "1234.56");
    blobmsg_add_u32(b, "status", 1);
}

enum { CONN, CHAN, SLAVE, ADDR, VALUE, STATUS, N };
const blobmsg_policy kPolicy[N] = {{"connection_index", BLOBMSG_TYPE_INT32}, {"channel_id", BLOBMSG_TYPE_INT32},
                                   {"slave_id", BLOBMSG_TYPE_INT32},         {"register_addr", BLOBMSG_TYPE_INT32},
                                   {"value", BLOBMSG_TYPE_STRING},           {"status", BLOBMSG_TYPE_INT32}};

void BM_BuildEvent(benchmark::State &state)
{
    blob_buf b{};
    for (auto _ : state) {
        build_event(&b);
        benchmark::DoNotOptimize(b.head);
    }
    blob_buf_free(&b);
}
BENCHMARK(BM_BuildEvent);

void BM_CheckAndParseEvent(benchmark::State &state)
{
    blob_buf b{};
    build_event(&b);
    blob_attr *tb[N];
    for (auto _ : state) {
        bool ok = blobmsg_check_attr_list_len(b.head, BLOBMSG_TYPE_UNSPEC, blob_pad_len(b.head));
        blobmsg_parse(kPolicy, N, tb, blob_data(b.head), blob_len(b.head));
        benchmark::DoNotOptimize(ok);
        benchmark::DoNotOptimize(tb[VALUE]);
    }
    blob_buf_free(&b);
}
BENCHMARK(BM_CheckAndParseEvent);

void BM_FormatEventJson(benchmark::State &state)
{
    blob_buf b{};
    build_event(&b);
    for (auto _ : state) {
        char *s = blobmsg_format_json(b.head, true);
        benchmark::DoNotOptimize(s);
        free(s);
    }
    blob_buf_free(&b);
}
BENCHMARK(BM_FormatEventJson);

void BM_JsonToBlob(benchmark::State &state)
{
    blob_buf b{};
    const char *text = R"({"connection_index":1,"channel_id":12,"slave_id":3,"register_addr":40001,)"
                       R"("value":"1234.56","status":1})";
    for (auto _ : state) {
        blob_buf_init(&b, 0);
        benchmark::DoNotOptimize(blobmsg_add_json_from_string(&b, text));
    }
    blob_buf_free(&b);
}
BENCHMARK(BM_JsonToBlob);

void BM_TimerRearmAmongOthers(benchmark::State &state)
{
    uloop_init();
    std::vector<uloop_timeout> others(static_cast<size_t>(state.range(0)));
    for (size_t i = 0; i < others.size(); i++)
        uloop_timeout_set(&others[i], 1000 + static_cast<int>(i));
    uloop_timeout t{};
    for (auto _ : state)
        uloop_timeout_set(&t, 1500);
    uloop_done();
}
BENCHMARK(BM_TimerRearmAmongOthers)->Arg(0)->Arg(50);

// One readiness round trip inside a running loop: the watcher's callback reads the byte and writes
// the next one, so each iteration is one epoll wake-up and one dispatch.
benchmark::State *g_state;
int g_peer;

void BM_LoopReadDispatch(benchmark::State &state)
{
    uloop_init();
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0) {
        state.SkipWithError("socketpair");
        return;
    }
    g_state = &state;
    g_peer = sv[1];
    uloop_fd u{};
    u.fd = sv[0];
    u.cb = [](uloop_fd *fd, unsigned int) {
        char c[64];
        while (read(fd->fd, c, sizeof(c)) > 0) {
        }
        if (g_state->KeepRunning() && write(g_peer, "x", 1) == 1)
            return;
        uloop_end();
    };
    uloop_fd_add(&u, ULOOP_READ);
    if (state.KeepRunning() && write(sv[1], "x", 1) == 1)
        uloop_run();
    uloop_fd_delete(&u);
    close(sv[0]);
    close(sv[1]);
    uloop_done();
}
BENCHMARK(BM_LoopReadDispatch);

} // namespace

BENCHMARK_MAIN();
