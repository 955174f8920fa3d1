// blob/blobmsg: wire layout, typed round trips, nesting, policy parsing and the checks that keep
// readers inside malformed or truncated buffers.

#include <libubox/blobmsg.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

namespace
{

struct Buf {
    blob_buf b{};
    Buf() { blob_buf_init(&b, 0); }
    ~Buf() { blob_buf_free(&b); }
    blob_attr *head() const { return b.head; }
};

std::string hex(const void *p, size_t n)
{
    std::string out;
    char tmp[4];
    for (size_t i = 0; i < n; i++) {
        snprintf(tmp, sizeof(tmp), i ? " %02x" : "%02x", static_cast<const unsigned char *>(p)[i]);
        out += tmp;
    }
    return out;
}

std::vector<unsigned char> bytes(const std::string &hexstr)
{
    std::vector<unsigned char> out;
    unsigned v;
    int used;
    const char *p = hexstr.c_str();
    while (sscanf(p, "%2x%n", &v, &used) == 1) {
        out.push_back(static_cast<unsigned char>(v));
        p += used;
        while (*p == ' ')
            p++;
    }
    return out;
}

// Copies a message into an exactly sized heap block so that ASan flags any read past its end.
struct Exact {
    std::vector<unsigned char> data;
    explicit Exact(std::vector<unsigned char> d) : data(std::move(d)) {}
    blob_attr *attr() { return reinterpret_cast<blob_attr *>(data.data()); }
};

TEST(BlobWire, HeadersAreBigEndianWithNamePaddingAndZeroedPad)
{
    Buf m;
    blobmsg_add_u32(&m.b, "ab", 0x01020304);
    blobmsg_add_string(&m.b, "s", "xyz");
    blobmsg_add_u8(&m.b, "", 1);
    // head: id 0, 4 + 16 + 12 + 12 bytes
    // u32 "ab": extended | type 5, length 16; name length 2, "ab", NUL, pad to 8; value
    // string "s": extended | type 3, length 4 + 4 + 4 = 12 (name "s" NUL in 4, value "xyz" NUL)
    // u8 "": extended | type 7, length 4 + 4 + 1 = 9, padded to 12 with zeroes
    EXPECT_EQ(hex(m.head(), blob_pad_len(m.head())), "00 00 00 2c "
                                                     "85 00 00 10 00 02 61 62 00 00 00 00 01 02 03 04 "
                                                     "83 00 00 0c 00 01 73 00 78 79 7a 00 "
                                                     "87 00 00 09 00 00 00 00 01 00 00 00");
}

TEST(BlobWire, ForeignMessageParses)
{
    // Built by hand as another host would send it: {"id": 7 (int16), "on": true, "v": -2 (int64)}
    Exact msg(bytes("00 00 00 34 "
                    "86 00 00 0e 00 02 69 64 00 00 00 00 00 07 00 00 "
                    "87 00 00 0d 00 02 6f 6e 00 00 00 00 01 00 00 00 "
                    "84 00 00 10 00 01 76 00 ff ff ff ff ff ff ff fe"));
    ASSERT_TRUE(blobmsg_check_attr_list_len(msg.attr(), BLOBMSG_TYPE_UNSPEC, msg.data.size()));
    enum { ID, ON, V, N };
    const blobmsg_policy pol[N] = {{"id", BLOBMSG_TYPE_INT16}, {"on", BLOBMSG_TYPE_BOOL}, {"v", BLOBMSG_TYPE_INT64}};
    blob_attr *tb[N];
    ASSERT_EQ(blobmsg_parse(pol, N, tb, blob_data(msg.attr()), blob_len(msg.attr())), 0);
    ASSERT_TRUE(tb[ID] && tb[ON] && tb[V]);
    EXPECT_EQ(blobmsg_get_u16(tb[ID]), 7);
    EXPECT_TRUE(blobmsg_get_bool(tb[ON]));
    EXPECT_EQ(blobmsg_get_s64(tb[V]), -2);
}

TEST(Blobmsg, EveryTypeRoundTrips)
{
    Buf m;
    blobmsg_add_u8(&m.b, "u8", 0xfe);
    blobmsg_add_u8(&m.b, "bool", 1);
    blobmsg_add_u16(&m.b, "u16", 0xbeef);
    blobmsg_add_u32(&m.b, "u32", 0xdeadbeef);
    blobmsg_add_u64(&m.b, "u64", 0x0123456789abcdefULL);
    blobmsg_add_double(&m.b, "dbl", -1234.5625);
    blobmsg_add_string(&m.b, "str", "h\xc3\xa9llo");
    blobmsg_add_string(&m.b, "empty", "");
    blobmsg_add_field(&m.b, BLOBMSG_TYPE_UNSPEC, "nil", nullptr, 0);

    enum { U8, BOOL, U16, U32, U64, DBL, STR, EMPTY, NIL, N };
    const blobmsg_policy pol[N] = {
        {"u8", BLOBMSG_TYPE_INT8},    {"bool", BLOBMSG_TYPE_BOOL},    {"u16", BLOBMSG_TYPE_INT16},
        {"u32", BLOBMSG_TYPE_INT32},  {"u64", BLOBMSG_TYPE_INT64},    {"dbl", BLOBMSG_TYPE_DOUBLE},
        {"str", BLOBMSG_TYPE_STRING}, {"empty", BLOBMSG_TYPE_STRING}, {"nil", BLOBMSG_TYPE_UNSPEC}};
    blob_attr *tb[N];
    ASSERT_EQ(blobmsg_parse(pol, N, tb, blob_data(m.head()), blob_len(m.head())), 0);
    for (int i = 0; i < N; i++)
        ASSERT_NE(tb[i], nullptr) << pol[i].name;

    EXPECT_EQ(blobmsg_get_u8(tb[U8]), 0xfe);
    EXPECT_TRUE(blobmsg_get_bool(tb[BOOL]));
    EXPECT_EQ(blobmsg_get_u16(tb[U16]), 0xbeef);
    EXPECT_EQ(blobmsg_get_s16(tb[U16]), static_cast<int16_t>(0xbeef));
    EXPECT_EQ(blobmsg_get_u32(tb[U32]), 0xdeadbeefu);
    EXPECT_EQ(blobmsg_get_u64(tb[U64]), 0x0123456789abcdefULL);
    EXPECT_EQ(blobmsg_get_double(tb[DBL]), -1234.5625);
    EXPECT_STREQ(blobmsg_get_string(tb[STR]), "h\xc3\xa9llo");
    EXPECT_STREQ(blobmsg_get_string(tb[EMPTY]), "");
    EXPECT_EQ(blobmsg_type(tb[NIL]), BLOBMSG_TYPE_UNSPEC);
    EXPECT_EQ(blobmsg_data_len(tb[NIL]), 0u);
    EXPECT_STREQ(blobmsg_name(tb[U64]), "u64");
    EXPECT_EQ(blobmsg_data_len(tb[U64]), 8u);

    // Integers of any width through the casting policy, sign kept by cast_s64.
    EXPECT_EQ(blobmsg_cast_u64(tb[U16]), 0xbeefu);
    EXPECT_EQ(blobmsg_cast_s64(tb[U16]), static_cast<int16_t>(0xbeef));
    EXPECT_EQ(blobmsg_get_string(nullptr), nullptr);
}

TEST(Blobmsg, NestedTablesAndArraysIterateInOrder)
{
    Buf m;
    blobmsg_add_string(&m.b, "before", "b");
    void *t = blobmsg_open_table(&m.b, "tbl");
    blobmsg_add_u32(&m.b, "x", 1);
    void *a = blobmsg_open_array(&m.b, "arr");
    for (uint32_t i = 0; i < 5; i++)
        blobmsg_add_u32(&m.b, nullptr, i * 10);
    void *inner = blobmsg_open_table(&m.b, nullptr);
    blobmsg_add_string(&m.b, "deep", "yes");
    blobmsg_close_table(&m.b, inner);
    blobmsg_close_array(&m.b, a);
    blobmsg_add_u32(&m.b, "y", 2);
    blobmsg_close_table(&m.b, t);
    blobmsg_add_string(&m.b, "after", "z");

    EXPECT_TRUE(blobmsg_check_attr_list(m.head(), BLOBMSG_TYPE_UNSPEC));

    std::vector<std::string> names;
    blob_attr *cur;
    int rem; // callers use both int and size_t counters
    blobmsg_for_each_attr(cur, m.head(), rem) names.push_back(blobmsg_name(cur));
    EXPECT_EQ(names, (std::vector<std::string>{"before", "tbl", "after"}));

    enum { TBL, N };
    const blobmsg_policy top[N] = {{"tbl", BLOBMSG_TYPE_TABLE}};
    blob_attr *tb[N];
    ASSERT_EQ(blobmsg_parse(top, N, tb, blob_data(m.head()), blob_len(m.head())), 0);
    ASSERT_NE(tb[TBL], nullptr);

    enum { X, ARR, Y, M };
    const blobmsg_policy in[M] = {{"x", BLOBMSG_TYPE_INT32}, {"arr", BLOBMSG_TYPE_ARRAY}, {"y", BLOBMSG_TYPE_INT32}};
    blob_attr *tb2[M];
    ASSERT_EQ(blobmsg_parse_attr(in, M, tb2, tb[TBL]), 0);
    ASSERT_TRUE(tb2[X] && tb2[ARR] && tb2[Y]);
    EXPECT_EQ(blobmsg_get_u32(tb2[Y]), 2u);

    EXPECT_EQ(blobmsg_check_array(tb2[ARR], BLOBMSG_TYPE_UNSPEC), 6);
    EXPECT_EQ(blobmsg_check_array(tb2[ARR], BLOBMSG_TYPE_INT32), -1); // the last element is a table
    std::vector<uint32_t> nums;
    blob_attr *last = nullptr;
    blobmsg_for_each_attr(cur, tb2[ARR], rem)
    {
        if (blobmsg_type(cur) == BLOBMSG_TYPE_INT32)
            nums.push_back(blobmsg_get_u32(cur));
        last = cur;
    }
    EXPECT_EQ(nums, (std::vector<uint32_t>{0, 10, 20, 30, 40}));
    ASSERT_NE(last, nullptr);
    EXPECT_EQ(blobmsg_type(last), BLOBMSG_TYPE_TABLE);

    const blobmsg_policy by_pos[2] = {{nullptr, BLOBMSG_TYPE_INT32}, {nullptr, BLOBMSG_TYPE_STRING}};
    blob_attr *tb3[2];
    ASSERT_EQ(blobmsg_parse_array_attr(by_pos, 2, tb3, tb2[ARR]), 0);
    ASSERT_NE(tb3[0], nullptr);
    EXPECT_EQ(blobmsg_get_u32(tb3[0]), 0u);
    EXPECT_EQ(tb3[1], nullptr); // second element is an int, not a string
}

TEST(Blobmsg, ParseLeavesMismatchedAndMissingSlotsNull)
{
    Buf m;
    blobmsg_add_string(&m.b, "num", "12");
    blobmsg_add_u32(&m.b, "count", 3);
    blobmsg_add_u16(&m.b, "small", 9);
    blobmsg_add_u32(&m.b, "count", 4); // a repeated name keeps the first

    enum { NUM, COUNT, SMALL, ANY, MISSING, N };
    const blobmsg_policy pol[N] = {{"num", BLOBMSG_TYPE_INT32},
                                   {"count", BLOBMSG_TYPE_INT32},
                                   {"small", BLOBMSG_CAST_INT64},
                                   {"num", BLOBMSG_TYPE_UNSPEC},
                                   {"missing", BLOBMSG_TYPE_STRING}};
    blob_attr *tb[N];
    ASSERT_EQ(blobmsg_parse(pol, N, tb, blob_data(m.head()), blob_len(m.head())), 0);
    EXPECT_EQ(tb[NUM], nullptr);
    ASSERT_NE(tb[COUNT], nullptr);
    EXPECT_EQ(blobmsg_get_u32(tb[COUNT]), 3u);
    ASSERT_NE(tb[SMALL], nullptr);
    EXPECT_EQ(blobmsg_cast_u64(tb[SMALL]), 9u);
    ASSERT_NE(tb[ANY], nullptr);
    EXPECT_STREQ(blobmsg_get_string(tb[ANY]), "12");
    EXPECT_EQ(tb[MISSING], nullptr);

    // Names are compared whole, not by prefix.
    const blobmsg_policy prefix[1] = {{"coun", BLOBMSG_TYPE_INT32}};
    blob_attr *one[1];
    blobmsg_parse(prefix, 1, one, blob_data(m.head()), blob_len(m.head()));
    EXPECT_EQ(one[0], nullptr);

    // Nothing to parse clears the slots and says so.
    blob_attr *stale[1] = {m.head()};
    EXPECT_LT(blobmsg_parse(prefix, 1, stale, nullptr, 0), 0);
    EXPECT_EQ(stale[0], nullptr);
}

TEST(Blobmsg, BufferGrowsAndReuseKeepsContentsCorrect)
{
    Buf m;
    // Enough to force several reallocations; nest cookies must survive them.
    void *outer = blobmsg_open_table(&m.b, "outer");
    std::string name;
    for (int i = 0; i < 5000; i++) {
        name = "k" + std::to_string(i);
        blobmsg_add_u32(&m.b, name.c_str(), static_cast<uint32_t>(i));
    }
    void *arr = blobmsg_open_array(&m.b, "big");
    std::string text(3000, 'q');
    for (int i = 0; i < 20; i++)
        blobmsg_add_string(&m.b, nullptr, text.c_str());
    blobmsg_close_array(&m.b, arr);
    blobmsg_close_table(&m.b, outer);
    blobmsg_add_string(&m.b, "tail", "t");

    ASSERT_TRUE(blobmsg_check_attr_list(m.head(), BLOBMSG_TYPE_UNSPEC));
    const blobmsg_policy pol[2] = {{"outer", BLOBMSG_TYPE_TABLE}, {"tail", BLOBMSG_TYPE_STRING}};
    blob_attr *tb[2];
    ASSERT_EQ(blobmsg_parse(pol, 2, tb, blob_data(m.head()), blob_len(m.head())), 0);
    ASSERT_TRUE(tb[0] && tb[1]);
    EXPECT_STREQ(blobmsg_get_string(tb[1]), "t");
    blob_attr *cur;
    size_t rem;
    int count = 0;
    blobmsg_for_each_attr(cur, tb[0], rem)
    {
        if (blobmsg_type(cur) == BLOBMSG_TYPE_INT32) {
            EXPECT_EQ(blobmsg_get_u32(cur), static_cast<uint32_t>(count));
            count++;
        }
    }
    EXPECT_EQ(count, 5000);

    // Re-initialising starts an empty message in the same allocation.
    void *before = m.b.buf;
    blob_buf_init(&m.b, 0);
    EXPECT_EQ(m.b.buf, before);
    EXPECT_EQ(blob_len(m.head()), 0u);
    blobmsg_add_u8(&m.b, "only", 0);
    int n = 0;
    blobmsg_for_each_attr(cur, m.head(), rem) n++;
    EXPECT_EQ(n, 1);
}

TEST(Blobmsg, MessageLargerThanTheLengthFieldIsRefused)
{
    Buf m;
    std::string big(1 << 20, 'a');
    int added = 0;
    for (int i = 0; i < 20; i++) {
        if (blobmsg_add_string(&m.b, "s", big.c_str()) == 0)
            added++;
    }
    // 24-bit lengths cap a message below 16 MiB; what was accepted is still a sound message.
    EXPECT_LT(added, 16);
    EXPECT_GT(added, 10);
    EXPECT_TRUE(blobmsg_check_attr_list(m.head(), BLOBMSG_TYPE_STRING));
}

TEST(Blobmsg, StringBufferAndPrintf)
{
    Buf m;
    char *s = static_cast<char *>(blobmsg_alloc_string_buffer(&m.b, "sb", 16));
    ASSERT_NE(s, nullptr);
    snprintf(s, 16, "%s", "short");
    blobmsg_add_string_buffer(&m.b);

    char *g = static_cast<char *>(blobmsg_alloc_string_buffer(&m.b, "grown", 4));
    ASSERT_NE(g, nullptr);
    g = static_cast<char *>(blobmsg_realloc_string_buffer(&m.b, 10000));
    ASSERT_NE(g, nullptr);
    memset(g, 'x', 9999);
    g[9999] = 0;
    blobmsg_add_string_buffer(&m.b);

    blobmsg_printf(&m.b, "pf", "%d-%s", 42, "z");
    blobmsg_add_u32(&m.b, "after", 5);

    const blobmsg_policy pol[4] = {{"sb", BLOBMSG_TYPE_STRING},
                                   {"grown", BLOBMSG_TYPE_STRING},
                                   {"pf", BLOBMSG_TYPE_STRING},
                                   {"after", BLOBMSG_TYPE_INT32}};
    blob_attr *tb[4];
    ASSERT_EQ(blobmsg_parse(pol, 4, tb, blob_data(m.head()), blob_len(m.head())), 0);
    ASSERT_TRUE(tb[0] && tb[1] && tb[2] && tb[3]);
    EXPECT_STREQ(blobmsg_get_string(tb[0]), "short");
    EXPECT_EQ(strlen(blobmsg_get_string(tb[1])), 9999u);
    EXPECT_STREQ(blobmsg_get_string(tb[2]), "42-z");
    EXPECT_EQ(blobmsg_get_u32(tb[3]), 5u);
}

TEST(Blob, PlainAttributesParseWithInfoTable)
{
    blob_buf b{};
    blob_buf_init(&b, 0);
    enum { A_STR = 1, A_U32, A_NEST, A_MAX };
    blob_put_string(&b, A_STR, "hi");
    blob_put_u32(&b, A_U32, 77);
    void *n = blob_nest_start(&b, A_NEST);
    blob_put_u32(&b, A_U32, 88);
    blob_nest_end(&b, n);
    blob_put_u8(&b, A_U32, 1); // wrong size for its id: ignored by the checked parse

    const blob_attr_info info[A_MAX] = {
        {}, {BLOB_ATTR_STRING, 0, 0, nullptr}, {BLOB_ATTR_INT32, 0, 0, nullptr}, {BLOB_ATTR_NESTED, 0, 0, nullptr}};
    blob_attr *tb[A_MAX];
    EXPECT_EQ(blob_parse(b.head, tb, info, A_MAX), 3);
    ASSERT_TRUE(tb[A_STR] && tb[A_U32] && tb[A_NEST]);
    EXPECT_STREQ(blob_get_string(tb[A_STR]), "hi");
    EXPECT_EQ(blob_get_u32(tb[A_U32]), 77u);
    blob_attr *inner[A_MAX];
    EXPECT_EQ(blob_parse(tb[A_NEST], inner, info, A_MAX), 1);
    ASSERT_NE(inner[A_U32], nullptr);
    EXPECT_EQ(blob_get_u32(inner[A_U32]), 88u);

    blob_attr *copy = blob_memdup(tb[A_NEST]);
    ASSERT_NE(copy, nullptr);
    EXPECT_TRUE(blob_attr_equal(copy, tb[A_NEST]));
    EXPECT_FALSE(blob_attr_equal(copy, tb[A_STR]));
    free(copy);
    blob_buf_free(&b);
}

// ---- data from outside --------------------------------------------------------------------------

std::vector<unsigned char> sample_message()
{
    Buf m;
    blobmsg_add_string(&m.b, "name", "value");
    void *t = blobmsg_open_table(&m.b, "t");
    blobmsg_add_u64(&m.b, "n", 5);
    void *a = blobmsg_open_array(&m.b, "a");
    blobmsg_add_double(&m.b, nullptr, 1.5);
    blobmsg_close_array(&m.b, a);
    blobmsg_close_table(&m.b, t);
    auto *p = reinterpret_cast<unsigned char *>(m.head());
    return {p, p + blob_pad_len(m.head())};
}

TEST(BlobUntrusted, EveryTruncationIsRejectedWithoutOverread)
{
    std::vector<unsigned char> whole = sample_message();
    {
        Exact full(whole);
        EXPECT_TRUE(blobmsg_check_attr_list_len(full.attr(), BLOBMSG_TYPE_UNSPEC, full.data.size()));
        blob_attr *tb[1];
        EXPECT_EQ(blob_parse_untrusted(full.attr(), full.data.size(), tb, nullptr, 1), 0);
    }
    for (size_t len = 0; len < whole.size(); len++) {
        Exact cut(std::vector<unsigned char>(whole.begin(), whole.begin() + static_cast<long>(len)));
        if (len >= sizeof(blob_attr)) {
            EXPECT_FALSE(blobmsg_check_attr_list_len(cut.attr(), BLOBMSG_TYPE_UNSPEC, len)) << len;
        }
        blob_attr *tb[4] = {};
        EXPECT_EQ(blob_parse_untrusted(len ? cut.attr() : nullptr, len, tb, nullptr, 4), 0) << len;
    }
}

TEST(BlobUntrusted, ForgedLengthsAndFieldsAreRejected)
{
    std::vector<unsigned char> whole = sample_message();
    // Offsets in the sample: head 0, "name" string at 4 (namelen at 8, value at 16),
    // table "t" at 24.
    struct Case {
        const char *what;
        size_t at;
        std::vector<unsigned char> patch;
    };
    const Case cases[] = {
        {"child claims more than the head", 7, {0xff}},
        {"child length below a header", 4, {0x83, 0x00, 0x00, 0x02}},
        {"name length beyond the attribute", 8, {0x00, 0x40}},
        {"name length disagrees with its text", 8, {0x00, 0x05}},
        {"name not terminated", 14, {'!'}},
        {"string not terminated", 21, {'!'}},
        {"unknown type", 4, {0x8f}},
        {"int64 of wrong size", 31, {0x13}},
    };
    for (const Case &c : cases) {
        std::vector<unsigned char> bad = whole;
        ASSERT_LE(c.at + c.patch.size(), bad.size());
        std::copy(c.patch.begin(), c.patch.end(), bad.begin() + static_cast<long>(c.at));
        Exact e(bad);
        EXPECT_FALSE(blobmsg_check_attr_list_len(e.attr(), BLOBMSG_TYPE_UNSPEC, e.data.size())) << c.what;
        // The policy parser refuses too and never hands out the bad attribute.
        const blobmsg_policy pol[2] = {{"name", BLOBMSG_TYPE_STRING}, {"t", BLOBMSG_TYPE_TABLE}};
        blob_attr *tb[2];
        if (blob_raw_len(e.attr()) <= e.data.size()) {
            int r = blobmsg_parse(pol, 2, tb, blob_data(e.attr()), blob_len(e.attr()));
            EXPECT_LT(r, 0) << c.what;
        }
    }
}

TEST(BlobUntrusted, HeaderClaimingMoreThanReceivedIsRejected)
{
    std::vector<unsigned char> whole = sample_message();
    whole[2] = 0x10; // head now claims 4 KiB more than there is
    Exact e(whole);
    blob_attr *tb[4];
    EXPECT_EQ(blob_parse_untrusted(e.attr(), e.data.size(), tb, nullptr, 4), 0);
    EXPECT_FALSE(blobmsg_check_attr_list_len(e.attr(), BLOBMSG_TYPE_UNSPEC, e.data.size()));
    EXPECT_FALSE(blobmsg_check_attr_len(e.attr(), false, e.data.size()));
}

TEST(BlobUntrusted, DeepNestingIsRejectedNotRecursedForever)
{
    Buf m;
    std::vector<void *> cookies;
    for (int i = 0; i < 1000; i++)
        cookies.push_back(blobmsg_open_array(&m.b, nullptr));
    for (auto it = cookies.rbegin(); it != cookies.rend(); ++it)
        blobmsg_close_array(&m.b, *it);
    EXPECT_FALSE(blobmsg_check_attr_list(m.head(), BLOBMSG_TYPE_UNSPEC));

    Buf shallow;
    cookies.clear();
    for (int i = 0; i < 20; i++)
        cookies.push_back(blobmsg_open_table(&shallow.b, "t"));
    for (auto it = cookies.rbegin(); it != cookies.rend(); ++it)
        blobmsg_close_table(&shallow.b, *it);
    EXPECT_TRUE(blobmsg_check_attr_list(shallow.head(), BLOBMSG_TYPE_UNSPEC));
}

TEST(BlobUntrusted, TableMembersNeedNamesArrayElementsDoNot)
{
    Buf m;
    void *t = blobmsg_open_table(&m.b, "t");
    blobmsg_add_u32(&m.b, nullptr, 1);
    blobmsg_close_table(&m.b, t);
    void *a = blobmsg_open_array(&m.b, "a");
    blobmsg_add_u32(&m.b, nullptr, 1);
    blobmsg_close_array(&m.b, a);
    const blobmsg_policy pol[2] = {{"t", BLOBMSG_TYPE_TABLE}, {"a", BLOBMSG_TYPE_ARRAY}};
    blob_attr *tb[2];
    // The table with an unnamed member makes the whole message unsound.
    EXPECT_LT(blobmsg_parse(pol, 2, tb, blob_data(m.head()), blob_len(m.head())), 0);

    Buf ok;
    a = blobmsg_open_array(&ok.b, "a");
    blobmsg_add_u32(&ok.b, nullptr, 1);
    blobmsg_close_array(&ok.b, a);
    ASSERT_EQ(blobmsg_parse(pol, 2, tb, blob_data(ok.head()), blob_len(ok.head())), 0);
    EXPECT_NE(tb[1], nullptr);
    EXPECT_TRUE(blobmsg_check_attr(tb[1], true));
    EXPECT_TRUE(blobmsg_check_attr(tb[1], false));

    // A plain attribute has no name header; inside a container a reader would take its value
    // bytes for a name.
    Buf plain;
    a = blobmsg_open_array(&plain.b, "a");
    blob_put_string(&plain.b, BLOBMSG_TYPE_STRING, "no name header");
    blobmsg_close_array(&plain.b, a);
    EXPECT_LT(blobmsg_parse(pol, 2, tb, blob_data(plain.head()), blob_len(plain.head())), 0);
    EXPECT_EQ(tb[1], nullptr);
}

} // namespace
