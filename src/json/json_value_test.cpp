// The JSON text of the result document: what an outside name can hold must
// still come out as valid UTF-8 JSON, read back by the tool's own reader.
#include "json/json_value.h"

#include <gtest/gtest.h>

#include "json/json.h"

namespace {

TEST(JsonWrite, TextsOfAnyBytesAreValidJson) {
    json_value doc = json_object();
    json_set(&doc, "name", json_text(std::string("a\"b\\c\n\x1b[2J\x7f\xff\xc3\xa9\xed\xa0\x80", 17)));
    json_set(&doc, "n", json_int(-3));
    json_set(&doc, "s", json_number(1.5));
    json_set(&doc, "list", json_texts({"x", "y"}));
    json_set(&doc, "n", json_int(4));  // set again: replaced in place
    const std::string text = json_write(doc);
    EXPECT_EQ(text,
              "{\"name\":\"a\\\"b\\\\c\\n\\u001b[2J\\u007f\\ufffd\xc3\xa9\\ufffd\\ufffd\\ufffd\",\"n\":4,\"s\":1.5,"
              "\"list\":[\"x\",\"y\"]}");
    json_reader reader;
    json_reader_open(&reader, text.c_str());
    json_event event;
    while ((event = json_reader_next(&reader)) != JSON_EVENT_DONE && event != JSON_EVENT_ERROR) {}
    EXPECT_EQ(event, JSON_EVENT_DONE);
    json_reader_close(&reader);
}

}  // namespace
