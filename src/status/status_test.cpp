#include "status/status.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

int parse(const std::string& text, status_record* record) { return status_parse(text.data(), text.size(), record); }

int present_fields(const status_record& record) {
    int n = 0;
    for (const status_field& f : STATUS_FIELDS) n += (record.*f.field).has_value();
    return n;
}

TEST(StatusParse, FlatObjectFillsItsFields) {
    status_record r;
    EXPECT_EQ(parse("{\"model_name\": \"TARNEL-2\", \"firmware_version\": \"1.3.1\", \"unknown\": \"x\"}", &r), 0);
    EXPECT_EQ(r.model_name, "TARNEL-2");
    EXPECT_EQ(r.firmware_version, "1.3.1");
    EXPECT_EQ(present_fields(r), 2);  // the other 20 stay absent

    std::string all = "{";
    for (const status_field& f : STATUS_FIELDS) all += std::string("\"") + f.key + "\": \"v-" + f.key + "\",";
    all.back() = '}';
    status_record full;
    EXPECT_EQ(parse(all, &full), 0);
    for (const status_field& f : STATUS_FIELDS) EXPECT_EQ(full.*f.field, std::string("v-") + f.key);
    EXPECT_EQ(status_release(&full), 0);
    EXPECT_EQ(present_fields(full), 0);
    EXPECT_EQ(status_release(nullptr), 1);
}

TEST(StatusParse, PairingFollowsTheOrderOfStrings) {
    status_record r;
    EXPECT_EQ(parse("{\"boot_count\": 5, \"model_name\": \"X\"}", &r), 1);
    EXPECT_EQ(r.boot_count, "model_name");  // the number left boot_count pending
    EXPECT_FALSE(r.model_name);

    status_record nested;
    EXPECT_EQ(parse("{\"a\": {\"b\": \"c\"}, \"model_name\": \"X\"}", &nested), 1);
    EXPECT_FALSE(nested.model_name);

    status_record twice;
    EXPECT_EQ(parse("{\"model_name\": \"A\", \"model_name\": \"B\"}", &twice), 0);
    EXPECT_EQ(twice.model_name, "B");
}

TEST(StatusParse, DocumentsWithoutAModelName) {
    for (const char* text : {"\"TARNEL-1\"", "", "   ", "<html>404</html>", "[\"model_name\", \"X\"]"}) {
        status_record r;
        EXPECT_EQ(parse(text, &r), 1) << text;
        EXPECT_FALSE(r.model_name) << text;
    }
    // An error ends the parse like the end of the document: what came before stays.
    status_record cut;
    EXPECT_EQ(parse("{\"model_name\": \"TARNEL-3\", \"mac\": \"00:11\", \"x\": [1,", &cut), 0);
    EXPECT_EQ(cut.mac, "00:11");
    // The body is not NUL-terminated: only `length` bytes count.
    status_record bounded;
    const char body[] = "{\"model_name\": \"T\"}garbage";
    EXPECT_EQ(status_parse(body, std::strlen("{\"model_name\": \"T\"}"), &bounded), 0);
}

}  // namespace
