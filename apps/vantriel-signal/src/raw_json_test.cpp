#include "raw_json.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <string>

namespace vantriel::signal {
namespace {

std::vector<RawMember> scratch;

bool valid(std::string_view text, int depth = 32) { return scan_object(text, depth, scratch); }

TEST(ScanObject, AgreesWithTheParserOnWhatIsOneObject) {
  const char* good[] = {
      "{}",
      " {\"a\" : 1 }\r\n",
      R"({"a":[],"b":{},"c":[1,-0,0.5,-12.25e+3,1E-2,true,false,null,"x"]})",
      R"({"s":"quote \" slash \\ \/ \b\f\n\r\t \u00e9 \uD83D\uDE00"})",
      R"({"a":{"b":[{"c":[[{}]]}]}})",
      "{\"utf8\":\"\xc3\xa9\xe2\x82\xac\"}",
  };
  for (const char* text : good) {
    EXPECT_TRUE(valid(text)) << text;
    EXPECT_FALSE(nlohmann::json::parse(text, nullptr, false).is_discarded()) << text;
  }
  // clang-format off
  const char* bad[] = {
      "",         "[]",        "\"x\"",        "{",          "{\"a\"}",        "{\"a\":}",
      "{\"a\":1,}", "{,}",     "{\"a\":1}x",   "{\"a\":1}{}", "{\"a\":01}",     "{\"a\":1.}",
      "{\"a\":.5}", "{\"a\":-}", "{\"a\":1e}", "{\"a\":+1}",  "{\"a\":tru}",    "{\"a\":nul}",
      "{\"a\":[1,]}", "{\"a\":[1 2]}", "{\"a\":\"\\x\"}", "{\"a\":\"\\u12g4\"}", "{\"a\":\"\\u12\"}",
      "{\"a\":\"open}", "{a:1}", "{\"a\":'x'}", "{\"a\":[}", "{\"a\":{]}", "{\"a\":\"\t\"}",
      "{\"a\":1 \"b\":2}", "{\"a\":NaN}", "{\"a\":\"\\",
  };
  // clang-format on
  for (const char* text : bad) {
    EXPECT_FALSE(valid(text)) << text;
    const auto parsed = nlohmann::json::parse(text, nullptr, false);
    EXPECT_TRUE(parsed.is_discarded() || !parsed.is_object()) << text;
  }
}

TEST(ScanObject, GivesMembersAsWrittenAndBoundsNesting) {
  ASSERT_TRUE(valid(R"( { "t" : "signal" , "data":{ "x" : [1, 2.50] } ,"k\"ey":null} )"));
  ASSERT_EQ(scratch.size(), 3u);
  EXPECT_EQ(scratch[0].key, "t");
  EXPECT_EQ(scratch[0].value, "\"signal\"");
  EXPECT_EQ(scratch[1].value, R"({ "x" : [1, 2.50] })");
  EXPECT_FALSE(scratch[1].key_escaped);
  EXPECT_EQ(scratch[2].key, "k\\\"ey");
  EXPECT_TRUE(scratch[2].key_escaped);

  // The object itself is the first level.
  const std::string nested = "{\"a\":" + std::string(31, '[') + std::string(31, ']') + "}";
  EXPECT_TRUE(valid(nested, 32));
  EXPECT_FALSE(valid(nested, 31));
  const std::string deep = "{\"a\":" + std::string(100000, '[') + std::string(100000, ']') + "}";
  EXPECT_FALSE(valid(deep, 32));
}

TEST(ReadSignal, TakesOnlyWhatItCanReadExactly) {
  auto read = [](std::string_view text) { return read_signal(text, 32, scratch); };
  SignalView v = read(R"({"t":"signal","sid":"ab12","to":"cd34","data":{"sdp":"v=0\r\n"}})");
  EXPECT_TRUE(v.usable);
  EXPECT_EQ(v.sid, "ab12");
  EXPECT_EQ(v.to, "cd34");
  EXPECT_EQ(v.data, R"({"sdp":"v=0\r\n"})");

  // Not objects in data, or missing: usable but nothing to relay.
  EXPECT_TRUE(read(R"({"t":"signal","data":"text"})").data.empty());
  EXPECT_TRUE(read(R"({"t":"signal"})").usable);
  // A number for sid reads as no sid, as the parser's path treats it.
  EXPECT_TRUE(read(R"({"t":"signal","sid":7,"data":{}})").sid.empty());
  // The last of duplicate members counts.
  v = read(R"({"t":"signal","data":{"a":1},"data":{"b":2},"sid":"x","sid":"y"})");
  EXPECT_EQ(v.data, R"({"b":2})");
  EXPECT_EQ(v.sid, "y");
  EXPECT_FALSE(read(R"({"t":"signal","t":"hello","data":{}})").usable);

  // Left to the parser: other types, escapes in a key or in what the relay reads,
  // invalid text.
  EXPECT_FALSE(read(R"({"t":"ping"})").usable);
  EXPECT_FALSE(read(R"({"\u0074":"signal","data":{}})").usable);
  EXPECT_FALSE(read(R"({"t":"sign\u0061l","data":{}})").usable);
  EXPECT_FALSE(read(R"({"t":"signal","sid":"a\u0062","data":{}})").usable);
  EXPECT_FALSE(read(R"({"t":"signal","data":{})").usable);
  // Escapes inside data are data: relayed as written.
  v = read(R"({"t":"signal","data":{"\u0061":"\u00e9"}})");
  EXPECT_TRUE(v.usable);
  EXPECT_EQ(v.data, R"({"\u0061":"\u00e9"})");
}

}  // namespace
}  // namespace vantriel::signal
