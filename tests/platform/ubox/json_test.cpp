// JSON text <-> blobmsg: parsing through json-c, the compact and indented text forms, escaping,
// number typing, and refusal of malformed input on both sides.

#include <libubox/blobmsg_json.h>

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <memory>
#include <string>

namespace
{

struct Buf {
    blob_buf b{};
    Buf() { blob_buf_init(&b, 0); }
    ~Buf() { blob_buf_free(&b); }
};

std::string take(char *s)
{
    std::unique_ptr<char, decltype(&free)> own(s, free);
    return s ? std::string(s) : std::string("<null>");
}

std::string compact(const char *json)
{
    Buf m;
    if (!blobmsg_add_json_from_string(&m.b, json))
        return "<rejected>";
    return take(blobmsg_format_json(m.b.head, true));
}

TEST(JsonFormat, CompactFormHasNoSpaces)
{
    Buf m;
    blobmsg_add_u32(&m.b, "connection_index", 1);
    blobmsg_add_string(&m.b, "b", "x");
    EXPECT_EQ(take(blobmsg_format_json(m.b.head, true)), R"({"connection_index":1,"b":"x"})");
}

TEST(JsonFormat, EveryTypeAsText)
{
    Buf m;
    blobmsg_add_u8(&m.b, "t", 1);
    blobmsg_add_u8(&m.b, "f", 0);
    blobmsg_add_u16(&m.b, "i16", static_cast<uint16_t>(-300));
    blobmsg_add_u32(&m.b, "i32", static_cast<uint32_t>(-5));
    blobmsg_add_u64(&m.b, "i64", 5000000000ULL);
    blobmsg_add_u64(&m.b, "neg64", static_cast<uint64_t>(-5000000000LL));
    blobmsg_add_double(&m.b, "d", 1.5);
    blobmsg_add_double(&m.b, "nan", NAN);
    blobmsg_add_field(&m.b, BLOBMSG_TYPE_UNSPEC, "n", nullptr, 0);
    blobmsg_add_string(&m.b, "s", "");
    EXPECT_EQ(take(blobmsg_format_json(m.b.head, true)),
              R"({"t":true,"f":false,"i16":-300,"i32":-5,"i64":5000000000,"neg64":-5000000000,)"
              R"("d":1.500000,"nan":null,"n":null,"s":""})");
}

TEST(JsonFormat, StringsAreEscaped)
{
    Buf m;
    blobmsg_add_string(&m.b, "q\"k", "a\"b\\c\n\r\t\b\f\x01\x1f/\xc3\xa9\x7f");
    EXPECT_EQ(take(blobmsg_format_json(m.b.head, true)),
              "{\"q\\\"k\":\"a\\\"b\\\\c\\n\\r\\t\\b\\f\\u0001\\u001f/\xc3\xa9\x7f\"}");
}

TEST(JsonFormat, IndentedFormUsesTabsAndColonSpace)
{
    Buf m;
    void *t = blobmsg_open_table(&m.b, "t");
    blobmsg_add_u32(&m.b, "x", 1);
    blobmsg_close_table(&m.b, t);
    void *a = blobmsg_open_array(&m.b, "arr");
    blobmsg_add_u32(&m.b, nullptr, 1);
    blobmsg_add_string(&m.b, nullptr, "two");
    blobmsg_close_array(&m.b, a);
    EXPECT_EQ(take(blobmsg_format_json_indent(m.b.head, true, 0)),
              "{\n\t\"t\": {\n\t\t\"x\": 1\n\t},\n\t\"arr\": [\n\t\t1,\n\t\t\"two\"\n\t]\n}");
    EXPECT_EQ(take(blobmsg_format_json(m.b.head, true)), R"({"t":{"x":1},"arr":[1,"two"]})");
    // Starting one level in indents every line once more, except the opening brace.
    EXPECT_EQ(take(blobmsg_format_json_indent(m.b.head, true, 1)),
              "{\n\t\t\"t\": {\n\t\t\t\"x\": 1\n\t\t},\n\t\t\"arr\": [\n\t\t\t1,\n\t\t\t\"two\"\n\t\t]\n\t}");
}

TEST(JsonFormat, EmptyContainers)
{
    Buf m;
    EXPECT_EQ(take(blobmsg_format_json(m.b.head, true)), "{}");
    EXPECT_EQ(take(blobmsg_format_json_indent(m.b.head, true, 0)), "{\n\t\n}");
    void *a = blobmsg_open_array(&m.b, "a");
    blobmsg_close_array(&m.b, a);
    EXPECT_EQ(take(blobmsg_format_json(m.b.head, true)), R"({"a":[]})");
}

TEST(JsonFormat, SingleElementAndValueForms)
{
    Buf m;
    void *t = blobmsg_open_table(&m.b, "t");
    blobmsg_add_u32(&m.b, "x", 1);
    blobmsg_close_table(&m.b, t);
    void *a = blobmsg_open_array(&m.b, "a");
    blobmsg_add_u8(&m.b, nullptr, 1);
    blobmsg_close_array(&m.b, a);
    const blobmsg_policy pol[2] = {{"t", BLOBMSG_TYPE_TABLE}, {"a", BLOBMSG_TYPE_ARRAY}};
    blob_attr *tb[2];
    ASSERT_EQ(blobmsg_parse(pol, 2, tb, blob_data(m.b.head), blob_len(m.b.head)), 0);
    ASSERT_TRUE(tb[0] && tb[1]);
    EXPECT_EQ(take(blobmsg_format_json(tb[0], false)), R"("t":{"x":1})");
    EXPECT_EQ(take(blobmsg_format_json(tb[0], true)), R"({"x":1})");
    EXPECT_EQ(take(blobmsg_format_json_value(tb[0])), R"({"x":1})");
    EXPECT_EQ(take(blobmsg_format_json(tb[1], true)), "[true]");
    EXPECT_EQ(take(blobmsg_format_json(nullptr, true)), "<null>");
}

TEST(JsonFormat, CustomFormatterReplacesValues)
{
    Buf m;
    blobmsg_add_string(&m.b, "secret", "pw");
    blobmsg_add_u32(&m.b, "n", 3);
    auto cb = [](void *priv, blob_attr *attr) -> const char * {
        ++*static_cast<int *>(priv);
        return blobmsg_type(attr) == BLOBMSG_TYPE_STRING ? "\"***\"" : nullptr;
    };
    int calls = 0;
    EXPECT_EQ(take(blobmsg_format_json_with_cb(m.b.head, true, cb, &calls, -1)), R"({"secret":"***","n":3})");
    EXPECT_EQ(calls, 2);
}

TEST(JsonFormat, MalformedBufferGivesNoText)
{
    Buf m;
    blobmsg_add_string(&m.b, "s", "abc");
    // Overwrite the string's terminator: a reader would run on into whatever follows.
    auto *attr = static_cast<blob_attr *>(blob_data(m.b.head));
    char *value = static_cast<char *>(blobmsg_data(attr));
    value[3] = 'd';
    EXPECT_EQ(take(blobmsg_format_json(m.b.head, true)), "<null>");

    Buf n;
    blobmsg_add_u32(&n.b, "v", 1);
    attr = static_cast<blob_attr *>(blob_data(n.b.head));
    blob_set_raw_len(attr, blob_raw_len(attr) - 2);     // an int32 with two bytes
    blob_set_raw_len(n.b.head, blob_raw_len(n.b.head)); // head still covers the padded child
    EXPECT_EQ(take(blobmsg_format_json(n.b.head, true)), "<null>");
}

TEST(JsonParse, RoundTripKeepsOrderTypesAndNesting)
{
    EXPECT_EQ(compact(R"({"z":1,"a":"x","m":{"k":[1,2.5,"s",true,null,{"d":false}]},"e":[]})"),
              R"({"z":1,"a":"x","m":{"k":[1,2.500000,"s",true,null,{"d":false}]},"e":[]})");
    EXPECT_EQ(compact(" {\n\"a\" : 1 }\n"), R"({"a":1})");
    EXPECT_EQ(compact("{}"), "{}");
    // The widest doubles are written out in full, not cut to a different number.
    std::string huge = compact(R"({"e":1e308})");
    EXPECT_EQ(huge.rfind("{\"e\":1000000000000000010979", 0), 0u) << huge;
    EXPECT_EQ(huge.size(), std::string(R"({"e":.000000})").size() + 309) << huge;
    EXPECT_EQ(compact(R"({"u":"\u00e9\n\"q\""})"), "{\"u\":\"\xc3\xa9\\n\\\"q\\\"\"}");
}

TEST(JsonParse, IntegersPickTheirWidth)
{
    Buf m;
    ASSERT_TRUE(blobmsg_add_json_from_string(
        &m.b, R"({"small":-2147483648,"max":2147483647,"big":2147483648,"huge":-9000000000})"));
    const blobmsg_policy pol[4] = {{"small", BLOBMSG_TYPE_INT32},
                                   {"max", BLOBMSG_TYPE_INT32},
                                   {"big", BLOBMSG_TYPE_INT64},
                                   {"huge", BLOBMSG_TYPE_INT64}};
    blob_attr *tb[4];
    ASSERT_EQ(blobmsg_parse(pol, 4, tb, blob_data(m.b.head), blob_len(m.b.head)), 0);
    ASSERT_TRUE(tb[0] && tb[1] && tb[2] && tb[3]);
    EXPECT_EQ(blobmsg_get_s32(tb[0]), INT32_MIN);
    EXPECT_EQ(blobmsg_get_s32(tb[1]), INT32_MAX);
    EXPECT_EQ(blobmsg_get_s64(tb[2]), 2147483648LL);
    EXPECT_EQ(blobmsg_get_s64(tb[3]), -9000000000LL);
}

TEST(JsonParse, MalformedOrNonObjectTextIsRefused)
{
    const char *bad[] = {"",        "   ",         "{",          R"({"a":})", R"({"a" 1})",     "[1,2]",
                         R"("s")",  "42",          "true",       "null",      "{} x",           R"({"a":1}})",
                         "{\"a\":", R"({"a":[1,)", R"({"a":"x)", R"({"":1})", R"({"a":{"":1}})"};
    for (const char *text : bad) {
        Buf m;
        EXPECT_FALSE(blobmsg_add_json_from_string(&m.b, text)) << text;
    }
    Buf m;
    EXPECT_FALSE(blobmsg_add_json_from_string(&m.b, nullptr));
}

TEST(JsonParse, RefusedDocumentLeavesTheMessageAsItWas)
{
    Buf m;
    blobmsg_add_string(&m.b, "kept", "1");
    void *t = blobmsg_open_table(&m.b, "data");
    // Fails on the empty key after "a" and the nested table were already added.
    EXPECT_FALSE(blobmsg_add_json_from_string(&m.b, R"({"a":1,"n":{"x":[1,2]},"":2})"));
    blobmsg_add_u32(&m.b, "b", 2);
    blobmsg_close_table(&m.b, t);
    EXPECT_EQ(take(blobmsg_format_json(m.b.head, true)), R"({"kept":"1","data":{"b":2}})");
}

TEST(JsonParse, AddsToAnOpenTable)
{
    Buf m;
    blobmsg_add_string(&m.b, "first", "1");
    void *t = blobmsg_open_table(&m.b, "data");
    ASSERT_TRUE(blobmsg_add_json_from_string(&m.b, R"({"v":3})"));
    blobmsg_close_table(&m.b, t);
    EXPECT_EQ(take(blobmsg_format_json(m.b.head, true)), R"({"first":"1","data":{"v":3}})");
}

TEST(JsonParse, ObjectAndElementApi)
{
    json_object *obj = json_tokener_parse(R"({"a":[1,{"b":null}],"c":1.25})");
    ASSERT_NE(obj, nullptr);
    Buf m;
    ASSERT_TRUE(blobmsg_add_object(&m.b, obj));
    EXPECT_EQ(take(blobmsg_format_json(m.b.head, true)), R"({"a":[1,{"b":null}],"c":1.250000})");

    Buf e;
    ASSERT_TRUE(blobmsg_add_json_element(&e.b, "whole", obj));
    ASSERT_TRUE(blobmsg_add_json_element(&e.b, "nothing", nullptr));
    EXPECT_EQ(take(blobmsg_format_json(e.b.head, true)),
              R"({"whole":{"a":[1,{"b":null}],"c":1.250000},"nothing":null})");

    json_object *arr = json_object_new_array();
    Buf f;
    EXPECT_FALSE(blobmsg_add_object(&f.b, arr));
    json_object_put(arr);
    json_object_put(obj);
}

} // namespace
