#include <gtest/gtest.h>

#include <json-c/json.h>

#include <string>

#include "mt_util.h"
#include "transport/remote_write.h"

using namespace transport;
using mttest::LogCapture;

namespace {

struct Outcome {
    WriteReject reject;
    std::string log;
    WriteRequest req;
};

Outcome parse(const char *text)
{
    Outcome o;
    LogCapture log;
    o.reject = parse_write_request(text, o.req);
    o.log = log.text();
    return o;
}

} // namespace

TEST(RemoteWrite, JsonRequestBecomesTheFixedEventText)
{
    Outcome o = parse(R"({"connection_index":1,"slave_id":1,"func_code":6,"reg_addr":10,"endian":"ab","value":"12"})");
    ASSERT_EQ(o.reject, WriteReject::None) << o.log;
    EXPECT_EQ(write_event_text(o.req), R"({"connection_index": 1, "slave_id": 1, "func_code": 6, "reg_addr": 10, )"
                                       R"("endian": "ab", "value": "12" })");
}

TEST(RemoteWrite, CsvRequestsAndTheirChecks)
{
    Outcome ok = parse("1,1,5,0,ab,1");
    ASSERT_EQ(ok.reject, WriteReject::None);
    EXPECT_EQ(ok.req.endian, "ab");
    EXPECT_EQ(ok.req.value, "1");
    // strtok semantics: empty fields vanish, so two commas in a row still give six fields.
    EXPECT_EQ(parse("3,,255,16,65535,abcd,1.5").reject, WriteReject::None);

    struct Case {
        const char *text;
        WriteReject reject;
        const char *message;
    } cases[] = {
        {"1,1,5,0,ab,2", WriteReject::Value, "value does not match(2)"},
        {"1,1,6,0,ab,2.5", WriteReject::Value, "value does not match(2.5)"},
        {"1,1,3,0,ab,1", WriteReject::FuncCode, "func_code does not match(3)"},
        {"4,1,6,0,ab,1", WriteReject::ConnectionIndex, "connection_index does not match(4)"},
        {"0,1,6,0,ab,1", WriteReject::ConnectionIndex, "connection_index does not match(0)"},
        {"1,256,6,0,ab,1", WriteReject::SlaveId, "slave_id does not match(256)"},
        {"1,1,6,65536,ab,1", WriteReject::RegAddr, "reg_addr does not match(65536)"},
        {"1,1,6,-1,ab,1", WriteReject::RegAddr, "reg_addr does not match(-1)"},
        {"1,1,6,0,ab", WriteReject::CsvParameter, "csv parameter error"},
        {"1,1,6,0,ab,1,9", WriteReject::CsvParameter, "csv parameter error"},
        {"", WriteReject::CsvParameter, "csv parameter error"},
        {R"({"connection_index":1,"slave_id":1,"func_code":6,"reg_addr":10,"endian":"ab"})", WriteReject::FormatError,
         "blob msg format error"},
        {R"({"connection_index":"1","slave_id":1,"func_code":6,"reg_addr":10,"endian":"ab","value":"1"})",
         WriteReject::FormatError, "blob msg format error"},
    };
    for (const Case &c : cases) {
        Outcome o = parse(c.text);
        EXPECT_EQ(o.reject, c.reject) << c.text;
        EXPECT_NE(o.log.find(c.message), std::string::npos) << c.text << " logged: " << o.log;
    }
    EXPECT_GE(write_rejections(WriteReject::CsvParameter), 3u);
}

TEST(RemoteWrite, QuotesInTextsStayInsideTheirStrings)
{
    Outcome o = parse(R"({"connection_index":2,"slave_id":7,"func_code":16,"reg_addr":1,)"
                      R"("endian":"ab\", \"value\": \"666","value":"1\\2\n"})");
    ASSERT_EQ(o.reject, WriteReject::None) << o.log;
    std::string text = write_event_text(o.req);
    json_object *obj = json_tokener_parse(text.c_str());
    ASSERT_NE(obj, nullptr) << text;
    json_object *endian = nullptr, *value = nullptr;
    ASSERT_TRUE(json_object_object_get_ex(obj, "endian", &endian));
    ASSERT_TRUE(json_object_object_get_ex(obj, "value", &value));
    EXPECT_STREQ(json_object_get_string(endian), "ab\", \"value\": \"666");
    EXPECT_STREQ(json_object_get_string(value), "1\\2\n");
    EXPECT_EQ(json_object_object_length(obj), 6);
    json_object_put(obj);
}
