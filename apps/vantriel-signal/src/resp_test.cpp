#include "resp.h"

#include <gtest/gtest.h>

#include "node_message.h"

namespace vantriel::signal {
namespace {

TEST(Resp, CommandsAreBinarySafe) {
  std::string out;
  append_command(out, {"SET", "k", std::string("a\r\n\0b", 5)});
  EXPECT_EQ(out, std::string("*3\r\n$3\r\nSET\r\n$1\r\nk\r\n$5\r\na\r\n\0b\r\n", 31));
}

TEST(Resp, RepliesAreReadAsTheyArriveWhateverTheCuts) {
  const std::string stream =
      "+OK\r\n-ERR wrong\r\n:-42\r\n$-1\r\n*-1\r\n$5\r\nab\r\nc\r\n*2\r\n*1\r\n:1\r\n$0\r\n\r\n"
      "*3\r\n$7\r\nmessage\r\n$2\r\nch\r\n$3\r\nx y\r\n";
  // Fed whole, and a byte at a time: the same values in the same order.
  for (size_t step : {stream.size(), size_t{1}, size_t{7}}) {
    RespReader reader;
    std::vector<RespValue> got;
    for (size_t at = 0; at < stream.size(); at += step) {
      reader.feed(std::string_view(stream).substr(at, step));
      RespValue v;
      while (reader.next(v) == RespReader::kValue) got.push_back(v);
    }
    ASSERT_EQ(got.size(), 8u) << step;
    EXPECT_EQ(got[0].type, RespValue::kString);
    EXPECT_EQ(got[0].str, "OK");
    EXPECT_TRUE(got[1].is_error());
    EXPECT_EQ(got[1].str, "ERR wrong");
    EXPECT_EQ(got[2].integer, -42);
    EXPECT_EQ(got[3].type, RespValue::kNil);
    EXPECT_EQ(got[4].type, RespValue::kNil);
    EXPECT_EQ(got[5].str, "ab\r\nc");
    ASSERT_EQ(got[6].items.size(), 2u);
    EXPECT_EQ(got[6].items[0].items[0].integer, 1);
    EXPECT_EQ(got[6].items[1].str, "");
    EXPECT_EQ(got[7].items[2].str, "x y");
  }
}

TEST(Resp, WhatIsNotRespStopsTheReader) {
  std::string deep;
  for (int i = 0; i <= RespReader::kMaxDepth; ++i) deep += "*1\r\n";
  deep += ":1\r\n";
  for (const std::string& bad : std::vector<std::string>{
           "?x\r\n", ":12a\r\n", "$3\r\nabcd\r\n", "$-2\r\n", "*-5\r\n", "\r\n",
           std::string(70000, 'x'), deep}) {
    RespReader reader;
    reader.feed(bad);
    RespValue v;
    EXPECT_EQ(reader.next(v), RespReader::kBad) << bad.substr(0, 20);
  }
  // A count promises nothing until its items come: no allocation for it, only waiting.
  RespReader reader;
  reader.feed("*1000000\r\n:1\r\n");
  RespValue v;
  EXPECT_EQ(reader.next(v), RespReader::kNeedMore);
}

TEST(NodeMessages, HeaderWordsAndPayloadAsSent) {
  const std::string payload = "{\"t\":\"signal\",\"data\":{\"a\":\"x\\ny z\"}}\nline two";
  NodeMessage m;
  const std::string open = make_node_message('o', "n1", "17", {"j", "123456789", "::1/64"});
  ASSERT_TRUE(parse_node_message(open, m));  // m views `open`
  EXPECT_EQ(m.type, 'o');
  EXPECT_EQ(m.from, "n1");
  EXPECT_EQ(m.token, "17");
  ASSERT_EQ(m.args.size(), 3u);
  EXPECT_EQ(m.args[2], "::1/64");
  EXPECT_TRUE(m.payload.empty());
  const std::string text = make_node_message('m', "n2", "9", {}, payload);
  ASSERT_TRUE(parse_node_message(text, m));
  EXPECT_EQ(m.payload, payload);
  EXPECT_TRUE(m.args.empty());
  for (std::string bad : {"", "m", "m n1", "mm n1 3\n{}", "\nm n1 3"}) {
    EXPECT_FALSE(parse_node_message(bad, m)) << bad;
  }
}

}  // namespace
}  // namespace vantriel::signal
