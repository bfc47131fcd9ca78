#include "input/input_batch.h"

#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "input/input_batch_reference.h"

namespace vantriel {
namespace {

using Kind = InputEvent::Kind;
constexpr int kDepth = kMaxBodyNesting;

std::string nested(int depth) { return std::string(depth, '[') + std::string(depth, ']'); }

// Every body is read by both readers; they must agree, on good and bad text alike.
TEST(InputBatchTest, AgreesWithTheGenericReading) {
  const std::vector<std::string> bodies = {
      "",
      "{}",
      "[]",
      "null",
      "7",
      R"("ev")",
      R"({"mon":1,"ev":[{"k":"m","x":0.25,"y":0.75}]})",
      "\xEF\xBB\xBF{\"ev\":[{\"k\":\"rel\"}]}",
      "\xEF\xBB{\"ev\":[]}",
      " \t\r\n{ \"ev\" : [ { \"k\" : \"m\" , \"x\" : 1 , \"y\" : 0 } ] } \n",
      "{\"ev\":[{\"k\":\"m\"}]}\f",
      // Duplicated members: the last one counts.
      R"({"ev":[{"k":"m"}],"ev":[{"k":"rel"},{"k":"t","s":"a","s":5}],"mon":3,"mon":"x"})",
      R"({"ev":[{"k":"d","k":7,"b":2,"b":2.0}]})",
      // Escapes in names and values.
      R"({"\u0065v":[{"\u006b":"\u006Bd","c":"Key\u0041","s":"\ud83d\ude00\n\t\"\\\/\b\f\r\u0000"}]})",
      R"({"ev":[{"k":"t","s":"\ud83d"}]})",
      R"({"ev":[{"k":"t","s":"\ude00"}]})",
      R"({"ev":[{"k":"t","s":"\ud83d\u0041"}]})",
      R"({"ev":[{"k":"t","s":"\u12G4"}]})",
      R"({"ev":[{"k":"t","s":"\x"}]})",
      "{\"ev\":[{\"k\":\"t\",\"s\":\"a\tb\"}]}",
      "{\"ev\":[{\"k\":\"t\",\"s\":\"\x7F \xC3\xB1 \xE2\x82\xAC\"}]}",
      "{\"ev\":[{\"k\":\"t\",\"s\":\"\xC3\"}]}",
      "{\"ev\":[{\"k\":\"t\",\"s\":\"\xED\xA0\x80\"}]}",
      "{\"ev\":[{\"k\":\"t\",\"s\":\"\xC0\xAF\"}]}",
      std::string("{\"ev\":[{\"k\":\"t\",\"s\":\"a\0b\"}]}", 27),
      std::string("{\"ev\":[{\"k\":\"rel\"}]} \0 trailing", 31),
      std::string("{\"ev\":[{\"k\":\"rel\"}\0]}", 21),
      // Numbers in every form, good and bad.
      R"({"mon":-0,"ev":[{"k":"m","x":-0,"y":0.5e1}]})",
      R"({"mon":2.0,"ev":[{"k":"m","x":1e400,"y":-1e400}]})",
      R"({"mon":99999999999999999999,"ev":[{"k":"m","x":1e-400,"y":1E+2}]})",
      R"({"mon":2147483648,"ev":[{"k":"w","dx":9223372036854775807,"dy":9223372036854775808}]})",
      R"({"ev":[{"k":"w","dx":18446744073709551615,"dy":18446744073709551616}]})",
      R"({"ev":[{"k":"w","dx":-9223372036854775808,"dy":-9223372036854775809}]})",
      R"({"ev":[{"k":"w","dx":120,"dy":-120.0}]})",
      R"({"ev":[{"k":"m","x":01,"y":0}]})",
      R"({"ev":[{"k":"m","x":1.,"y":0}]})",
      R"({"ev":[{"k":"m","x":.5,"y":0}]})",
      R"({"ev":[{"k":"m","x":+1,"y":0}]})",
      R"({"ev":[{"k":"m","x":-,"y":0}]})",
      R"({"ev":[{"k":"m","x":1e,"y":0}]})",
      R"({"ev":[{"k":"m","x":0x10,"y":0}]})",
      R"({"ev":[{"k":"m","x":"0.5","y":true}]})",
      // Literals, structure and other members.
      R"({"ev":[{"k":"m","x":0,"y":0,"z":[true,false,null,{"a":[1,{}]}]}]})",
      R"({"ev":[{"k":"m","x":0,"y":0,"z":tru}]})",
      R"({"ev":[{"k":"m","x":0,"y":0,}]})",
      R"({"ev":[{"k":"m","x":0,"y":0}],})",
      R"({"ev":[{"k":"m","x":0,"y":0}]}{})",
      R"({"ev":[{"k":"m","x":0,"y":0}])",
      R"({"ev":[{"k":"m","x":0,"y":0}] )",
      R"({"ev":[{"k":"m" "x":0}]})",
      R"({"ev":[{k:"m"}]})",
      R"({"ev":[1,"m",null,[],{"k":"unknown"},{"k":"rel"}]})",
      R"({"ev":{"k":"m"},"mon":1})",
      R"({"other":[{"k":"rel"}]})",
      R"({"ev":[{"k":"rel"}]} // comment)",
      // Nesting at the limit and past it.
      "{\"ev\":[{\"k\":\"rel\",\"z\":" + nested(kDepth - 3) + "}]}",
      "{\"ev\":[{\"k\":\"rel\",\"z\":" + nested(kDepth - 2) + "}]}",
      nested(kDepth),
      nested(kDepth + 1),
  };
  for (const std::string& body : bodies) {
    EXPECT_EQ(read_input_batch(body, kDepth), testing::reference_input_batch(body)) << body;
  }
}

TEST(InputBatchTest, ReadsEventsMembersAndMonitor) {
  InputBatch batch = read_input_batch(
      R"({"mon":1,"ev":[{"k":"m","x":0.25,"y":1},{"k":"kd","c":"KeyA"},{"k":"t","s":"\u00f1\ud83d\ude00"},)"
      R"({"k":"w","dy":-120},{"k":"u","b":2,"x":"no"},{"k":"?"},5]})",
      kDepth);
  EXPECT_EQ(batch.monitor, 1);
  ASSERT_EQ(batch.events.size(), 7u);
  EXPECT_EQ(batch.events[0].kind, Kind::kMove);
  EXPECT_EQ(batch.events[0].x, 0.25);
  EXPECT_EQ(batch.events[0].y, 1.0);
  EXPECT_EQ(batch.events[1].kind, Kind::kKeyDown);
  EXPECT_EQ(batch.events[1].code, "KeyA");
  EXPECT_EQ(batch.events[2].text, "\xC3\xB1\xF0\x9F\x98\x80");
  EXPECT_EQ(batch.events[3].wheel_y, -120);
  EXPECT_EQ(batch.events[3].wheel_x, std::nullopt);
  EXPECT_EQ(batch.events[4].kind, Kind::kButtonUp);
  EXPECT_EQ(batch.events[4].button, 2);
  EXPECT_EQ(batch.events[4].x, std::nullopt);
  EXPECT_EQ(batch.events[5].kind, Kind::kIgnored);
  EXPECT_EQ(batch.events[6].kind, Kind::kIgnored);

  // A fault anywhere, even after the events, drops the whole batch.
  EXPECT_EQ(read_input_batch(R"({"mon":1,"ev":[{"k":"rel"}],"x":})", kDepth), InputBatch{});
}

TEST(InputBatchTest, KeepsTheFirst400EventsAndChecksTheRest) {
  std::string body = R"({"ev":[)";
  for (int n = 0; n < 450; ++n) body += n ? R"(,{"k":"rel"})" : R"({"k":"m","x":0,"y":0})";
  InputBatch batch = read_input_batch(body + "]}", kDepth);
  ASSERT_EQ(batch.events.size(), kMaxEventsPerBatch);
  EXPECT_EQ(batch.events[0].kind, Kind::kMove);
  EXPECT_EQ(read_input_batch(body + ",{]}", kDepth), InputBatch{});
}

}  // namespace
}  // namespace vantriel
