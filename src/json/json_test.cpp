#include "json/json.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <iterator>
#include <optional>
#include <string>
#include <utility>

namespace {

// Pulls events until DONE or ERROR and writes them as one line: "{" "}" "["
// "]", "s:<text>" for strings, "n:<text>" for numbers, "true" "false"
// "null", and the final "done" or "error".
std::string trace(const std::string& text) {
    static const std::pair<json_event, const char*> NAMES[] = {
        {JSON_EVENT_OBJECT, "{"},    {JSON_EVENT_OBJECT_END, "}"}, {JSON_EVENT_ARRAY, "["},
        {JSON_EVENT_ARRAY_END, "]"}, {JSON_EVENT_STRING, "s:"},    {JSON_EVENT_NUMBER, "n:"},
        {JSON_EVENT_TRUE, "true"},   {JSON_EVENT_FALSE, "false"},  {JSON_EVENT_NULL, "null"},
        {JSON_EVENT_DONE, "done"},   {JSON_EVENT_ERROR, "error"}};
    json_reader reader;
    json_reader_open(&reader, text.c_str());
    std::string out;
    json_event event = JSON_EVENT_NONE;
    // Every event but the last takes at least one byte of the text.
    for (std::size_t n = 0; n <= text.size() + 1 && event != JSON_EVENT_DONE && event != JSON_EVENT_ERROR; ++n) {
        event = json_reader_next(&reader);
        out += out.empty() ? "" : " ";
        const auto name = std::find_if(std::begin(NAMES), std::end(NAMES), [&](auto& n) { return n.first == event; });
        out += name != std::end(NAMES) ? name->second : "?";
        if (event == JSON_EVENT_STRING || event == JSON_EVENT_NUMBER) {
            out += json_reader_string(&reader, nullptr);
        }
    }
    json_reader_close(&reader);
    return out;
}

// The decoded bytes of a text that holds one string (embedded NULs kept), or
// none when the parser refuses it or does not end it with a NUL.
std::optional<std::string> read_one_string(const std::string& text) {
    json_reader reader;
    json_reader_open(&reader, text.c_str());
    std::size_t length = 0;
    const char* s = json_reader_next(&reader) == JSON_EVENT_STRING ? json_reader_string(&reader, &length) : "";
    std::optional<std::string> result;
    if (length >= 1 && s[length - 1] == '\0') result.emplace(s, length - 1);
    json_reader_close(&reader);
    return result;
}

std::string repeat(const std::string& text, std::size_t count) {
    std::string out;
    for (std::size_t i = 0; i < count; ++i) out += text;
    return out;
}

TEST(JsonGrammar, EventTraces) {
    // clang-format off
    const struct {
        const char* text;
        const char* events;
    } cases[] = {
        // Texts cut inside a container are left out: for any text the fuzz
        // target checks that no container is left open at DONE.
        // scalars and empty texts; form feed and vertical tab are not whitespace
        {"", "done"}, {" \t\r\n", "done"}, {"5", "n:5 done"}, {"  true  ", "true done"}, {"false", "false done"},
        {"null", "null done"}, {"\"ab\"", "s:ab done"}, {"\f1", "error"}, {"\v1", "error"}, {"abc", "error"},
        {"tru", "error"}, {"trUe", "error"}, {"]", "error"}, {"}", "error"}, {",", "error"}, {":", "error"},
        // arrays
        {"[1,2]", "[ n:1 n:2 ] done"}, {"[]", "[ ] done"},
        {" [ 1 , \"x\" ,true,false , null ] ", "[ n:1 s:x true false null ] done"},
        {"[[],[[]]]", "[ [ ] [ [ ] ] ] done"}, {"[1,]", "[ n:1 error"}, {"[,1]", "[ error"},
        {"[1 2]", "[ n:1 error"}, {"[1,,2]", "[ n:1 error"}, {"[}", "[ error"}, {"[1}", "[ n:1 error"},
        {"[\"a\":1]", "[ s:a error"}, {"[truex]", "[ true error"},
        // objects
        {"{\"a\":1}", "{ s:a n:1 } done"}, {"{}", "{ } done"},
        {" { \"a\" : [ 1 ] , \"b\" : { \"c\" : null } } ", "{ s:a [ n:1 ] s:b { s:c null } } done"},
        {"{\"a\":1,\"b\":2}", "{ s:a n:1 s:b n:2 } done"}, {"{\"a\":{},\"b\":[]}", "{ s:a { } s:b [ ] } done"},
        {"{\"a\":1,}", "{ s:a n:1 error"}, {"{1:2}", "{ error"}, {"{[]:1}", "{ error"}, {"{\"a\"}", "{ s:a error"},
        {"{\"a\" 1}", "{ s:a error"}, {"{\"a\":}", "{ s:a error"}, {"{\"a\":1 \"b\":2}", "{ s:a n:1 error"},
        {"{\"a\":1,2:3}", "{ s:a n:1 error"}, {"{\"a\":1]", "{ s:a n:1 error"}, {"{]", "{ error"}, {"{,}", "{ error"},
        // only the first value is read
        {"1,2", "n:1 done"}, {"[1] [2]", "[ n:1 ] done"}, {"{} garbage \x01\xff", "{ } done"},
        {"\"a\"\"b\"", "s:a done"}, {"nullx", "null done"}, {"1x", "n:1 done"}, {"[1]]", "[ n:1 ] done"},
        // each closer must match the kind opened at its level
        {"[{\"a\":[{\"b\":[1]}]}]", "[ { s:a [ { s:b [ n:1 ] } ] } ] done"}, {"[[{]]", "[ [ { error"},
        {"[{\"a\":[1]]]", "[ { s:a [ n:1 ] error"}, {"[[[1]],[{}]]", "[ [ [ n:1 ] ] [ { } ] ] done"},
        // numbers: the byte after one is left for the container
        {"[1,-2.5e1]", "[ n:1 n:-2.5e1 ] done"}, {"{\"a\":0}", "{ s:a n:0 } done"}, {"[0 ]", "[ n:0 ] done"},
        {"[1x]", "[ n:1 error"}, {"[01]", "[ n:0 error"}, {"{\"a\":01}", "{ s:a n:0 error"},
        // malformed numbers
        {"-", "error"}, {"-a", "error"}, {"1.", "error"}, {"1.x", "error"}, {"1e", "error"}, {"1e+", "error"},
        {"1ex", "error"}, {"1e+x", "error"}, {".5", "error"}, {"+1", "error"}, {"[1.]", "[ error"}, {"[1e]", "[ error"},
    };
    // clang-format on
    for (const auto& c : cases) {
        EXPECT_EQ(trace(c.text), c.events) << "text: " << c.text;
    }
}

TEST(JsonString, Utf8AndControlCharacters) {
    // clang-format off
    const struct {
        std::string bytes;  // placed between two quotation marks
        bool valid;         // then appended unchanged
    } cases[] = {
        // 0xC2..0xDF: 2 bytes, second 80..BF
        {"\xC2\x80", true}, {"\xDF\xBF", true}, {"\xC2\x7F", false}, {"\xDF\xC0", false},
        // 0xE0: 3 bytes, second A0..BF (80..9F would be overlong)
        {"\xE0\xA0\x80", true}, {"\xE0\xBF\xBF", true}, {"\xE0\x9F\xBF", false}, {"\xE0\x80\x80", false},
        {"\xE0\xC0\x80", false},
        // 0xE1..0xEC: 3 bytes, second 80..BF
        {"\xE1\x80\x80", true}, {"\xEC\xBF\xBF", true}, {"\xE1\x7F\x80", false}, {"\xEC\xC0\x80", false},
        // 0xED: 3 bytes, second 80..9F (A0..BF would be a surrogate)
        {"\xED\x80\x80", true}, {"\xED\x9F\xBF", true}, {"\xED\xA0\x80", false}, {"\xED\xBF\xBF", false},
        {"\xED\x7F\x80", false},
        // 0xEE, 0xEF: 3 bytes, second 80..BF
        {"\xEE\x80\x80", true}, {"\xEF\xBF\xBF", true}, {"\xEE\x7F\x80", false}, {"\xEF\xC0\x80", false},
        // 0xF0: 4 bytes, second 90..BF
        {"\xF0\x90\x80\x80", true}, {"\xF0\xBF\xBF\xBF", true}, {"\xF0\x8F\xBF\xBF", false},
        {"\xF0\xC0\x80\x80", false},
        // 0xF1..0xF3: 4 bytes, second 80..BF
        {"\xF1\x80\x80\x80", true}, {"\xF3\xBF\xBF\xBF", true}, {"\xF1\x7F\x80\x80", false},
        {"\xF3\xC0\x80\x80", false},
        // 0xF4: 4 bytes, second 80..8F (90 and above is past U+10FFFF)
        {"\xF4\x80\x80\x80", true}, {"\xF4\x8F\xBF\xBF", true}, {"\xF4\x90\x80\x80", false},
        // leads that never start a sequence
        {"\x80", false}, {"\xBF", false}, {"\xC0\x80", false}, {"\xC1\xBF", false}, {"\xF5\x80\x80\x80", false},
        {"\xFF", false},
        // third and fourth bytes 80..BF
        {"\xE1\x80\x7F", false}, {"\xE1\x80\xC0", false}, {"\xF1\x80\x7F\x80", false}, {"\xF1\x80\xC0\x80", false},
        {"\xF1\x80\x80\x7F", false}, {"\xF1\x80\x80\xC0", false}, {"\xF1\x80\x80\xBF", true},
        // a text longer than the first token buffer
        {std::string(3000, 'a') + "\xE2\x82\xAC", true},
        // control characters must be escaped; DEL need not be
        {"a\x01", false}, {"a\x1F", false}, {"a\nb", false}, {"a\tb", false}, {"\x7F", true},
    };
    // clang-format on
    for (const auto& c : cases) {
        EXPECT_EQ(read_one_string("\"" + c.bytes + "\""), c.valid ? std::optional(c.bytes) : std::nullopt)
            << testing::PrintToString(c.bytes);
    }

    // Unterminated strings, one cut inside a sequence. Sequences cut by the
    // closing quote or by ASCII text are the table's bad continuation bytes.
    for (const char* text : {"\"abc", "\"", "\"\xF0\x9F\x98"}) EXPECT_FALSE(read_one_string(text)) << text;
}

TEST(JsonString, Escapes) {
    // clang-format off
    const struct {
        const char* text;     // a whole JSON string, quotes included
        std::string decoded;  // the bytes expected, without the final NUL
    } cases[] = {
        {R"("\"\\\/")", "\"\\/"}, {R"("\b\f\n\r\t")", "\x08\x0C\x0A\x0D\x09"}, {R"("x\u0041y")", "xAy"},
        {R"("\u007F")", "\x7F"}, {R"("\u0080")", "\xC2\x80"}, {R"("\u00e9\u00C9")", "\xC3\xA9\xC3\x89"},
        {R"("\u07FF")", "\xDF\xBF"}, {R"("\u0800")", "\xE0\xA0\x80"}, {R"("\u20aC")", "\xE2\x82\xAC"},
        {R"("\uD7FF")", "\xED\x9F\xBF"}, {R"("\uE000")", "\xEE\x80\x80"}, {R"("\uFFFF")", "\xEF\xBF\xBF"},
        // surrogate pairs
        {R"("\uD83D\uDE00")", "\xF0\x9F\x98\x80"}, {R"("\ud800\udc00")", "\xF0\x90\x80\x80"},
        {R"("\uDBFF\uDFFF")", "\xF4\x8F\xBF\xBF"},
        {R"("a\u0000b")", std::string("a\0b", 3)},  // the NUL counts in the length
    };
    // clang-format on
    for (const auto& c : cases) EXPECT_EQ(read_one_string(c.text), c.decoded) << c.text;

    for (const char* text :
         {R"("\x")", R"("\U0041")", R"("\a")", R"("\u12")", R"("\u12G4")", R"("\u")", "\"\\", R"("\ ")", R"("\')",
          // lone low surrogates
          R"("\uDC00")", R"("\uDFFF")",
          // a high surrogate without a following \u
          R"("\uD83D")", R"("\uD83Dx")", R"("\uD83D\n")", "\"\\uD83D", "\"\\uD83D\\",
          // a high surrogate followed by something that is not a low one
          R"("\uD83D\u0041")", R"("\uD83D\uD83D")", R"("\uDBFF\uE000")", R"("\uD800\uDBFF")", R"("\uD83D\uDE0")"}) {
        EXPECT_FALSE(read_one_string(text)) << text;
    }
}

// Plain integers are read by every channel list test (CliLists).
TEST(JsonNumber, ValidFormsKeepTheirText) {
    // clang-format off
    const struct {
        const char* text;
        const char* token;  // the text as the number token
        double value;
    } cases[] = {
        {"-0", "-0", -0.0},       {"-12", "-12", -12.0},
        {"1.5", "1.5", 1.5},      {"0.25", "0.25", 0.25},       {"1e3", "1e3", 1000.0},
        {"1E3", "1E3", 1000.0},   {"1e+3", "1e+3", 1000.0},     {"2e-2", "2e-2", 0.02},
        {"-0.5e-3", "-0.5e-3", -0.0005},                         {"12.50E+02", "12.50E+02", 1250.0},
        {"-01", "-0", -0.0},      {"1e5e5", "1e5", 100000.0},
    };
    // clang-format on
    for (const auto& c : cases) {
        json_reader reader;
        json_reader_open(&reader, c.text);
        ASSERT_EQ(json_reader_next(&reader), JSON_EVENT_NUMBER) << c.text;
        EXPECT_STREQ(json_reader_string(&reader, nullptr), c.token) << c.text;
        EXPECT_DOUBLE_EQ(json_reader_number(&reader), c.value) << c.text;
        EXPECT_EQ(json_reader_next(&reader), JSON_EVENT_DONE) << c.text;
        json_reader_close(&reader);
    }
}

// After an error every call gives the same event again (fuzz/json_fuzz.cpp
// checks both ends stay for any text); the last good token stays readable
// after an error; opening a reader again (closed or not) starts from scratch.
TEST(JsonLifecycle, ErrorIsStickyAndReopenStartsOver) {
    json_reader reader;
    json_reader_open(&reader, "[1,2,x,3]");
    for (json_event expected : {JSON_EVENT_ARRAY, JSON_EVENT_NUMBER, JSON_EVENT_NUMBER, JSON_EVENT_ERROR,
                                JSON_EVENT_ERROR, JSON_EVENT_ERROR}) {
        EXPECT_EQ(json_reader_next(&reader), expected);
    }
    EXPECT_STREQ(json_reader_string(&reader, nullptr), "2");
    // A reader left inside containers or after an error, closed or not.
    for (const char* text : {"[[{\"a\":[1", "[x"}) {
        for (bool close : {true, false}) {
            json_reader_open(&reader, text);
            for (int i = 0; i < 5; ++i) json_reader_next(&reader);
            if (close) json_reader_close(&reader);
            json_reader_open(&reader, "3");
            EXPECT_EQ(json_reader_next(&reader), JSON_EVENT_NUMBER) << text;
            EXPECT_EQ(json_reader_next(&reader), JSON_EVENT_DONE) << text;
        }
    }
    json_reader_close(&reader);
}

// Nesting costs memory only; each closer must still match its opener.
TEST(JsonNesting, DeepTextsDoNotExhaustTheCallStack) {
    for (std::size_t depth : {1000u, 1000000u}) {
        SCOPED_TRACE(depth);
        EXPECT_TRUE(trace(repeat("[", depth) + repeat("]", depth)) ==
                    repeat("[ ", depth) + repeat("] ", depth) + "done");
        EXPECT_TRUE(trace(repeat("[", depth) + repeat("]", depth - 1)) ==
                    repeat("[ ", depth) + repeat("] ", depth - 1) + "error");
        EXPECT_TRUE(trace(repeat("{\"a\":[", depth) + "0" + repeat("]}", depth)) ==
                    repeat("{ s:a [ ", depth) + "n:0 " + repeat("] } ", depth) + "done");
    }
}

}  // namespace
