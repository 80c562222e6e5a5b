#include "status/status.h"

#include <gtest/gtest.h>

namespace {

int present_fields(const status_record& record) {
    int n = 0;
    for (const status_field& f : STATUS_FIELDS) n += (record.*f.field).has_value();
    return n;
}

TEST(StatusParse, PairsStringsInTheirOrder) {
    const struct {
        std::string text;
        int result;                                          // 0 when a model name was stored
        std::optional<std::string> status_record::*checked;  // a field, and its value afterwards
        std::optional<std::string> value;
        int present;  // fields that hold a value
    } cases[] = {
        {R"({"model_name": "TARNEL-2", "firmware_version": "1.3.1", "unknown": "x"})", 0,
         &status_record::firmware_version, "1.3.1", 2},
        {R"({"dali_channel_4": "ok", "session_id": "s", "bacnet_ip": "b", "model_name": "M"})", 0,
         &status_record::dali_channel_4, "ok", 4},
        // A number neither completes nor drops the pending key.
        {R"({"boot_count": 5, "model_name": "X"})", 1, &status_record::boot_count, "model_name", 1},
        // An inner object drops the pending key, and its end ends the pairing.
        {R"({"mac": {"x": "y"}})", 1, &status_record::mac, std::nullopt, 0},
        {R"({"a": {"b": "c"}, "model_name": "X"})", 1, &status_record::model_name, std::nullopt, 0},
        {R"({"model_name": "A", "model_name": "B"})", 0, &status_record::model_name, "B", 1},
        {R"({"model_name": "T\u0000U"})", 0, &status_record::model_name, "T", 1},  // texts end at a NUL
        // An error ends the parse like the end of the document: what came before stays.
        {R"({"model_name": "TARNEL-3", "mac": "00:11", "x": [1,)", 0, &status_record::mac, "00:11", 2},
        {R"("TARNEL-1")", 1, &status_record::model_name, std::nullopt, 0},
        {"<html>404</html>", 1, &status_record::model_name, std::nullopt, 0},
        {R"(["model_name", "X"])", 1, &status_record::model_name, std::nullopt, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        status_record r;
        EXPECT_EQ(status_parse(c.text.data(), c.text.size(), &r), c.result);
        EXPECT_EQ(r.*c.checked, c.value);
        EXPECT_EQ(present_fields(r), c.present);
    }
    // Only `length` bytes count: the body need not end in a NUL.
    status_record cut;
    EXPECT_EQ(status_parse("{\"model_name\": \"T\"}", 10, &cut), 1);
}

}  // namespace
