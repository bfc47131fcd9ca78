// Reading a JSON object's top-level members as spans of its own text, with no document
// built. The relay forwards a "signal" message's "data" exactly as its sender wrote it,
// and parsing and re-writing every relayed message would cost more than relaying it.
#ifndef VANTRIEL_SIGNAL_RAW_JSON_H_
#define VANTRIEL_SIGNAL_RAW_JSON_H_

#include <string_view>
#include <vector>

namespace vantriel::signal {

struct RawMember {
  std::string_view key;    // as written between its quotes, escapes not decoded
  std::string_view value;  // the whole value as written: "..." with quotes, {...}, 12.5
  bool key_escaped = false;
};

// True when `text` is exactly one JSON object (RFC 8259; whitespace around it allowed)
// nested no deeper than `max_depth`; `members` then holds its top-level members in the
// order written. The text must already be valid UTF-8 (WebSocket text frames are).
// Strings may not hold raw control characters; every escape must be well formed.
bool scan_object(std::string_view text, int max_depth, std::vector<RawMember>& members);

// The content of a JSON string value between its quotes, when it holds no escape;
// else nothing (`ok` false). Non-strings give `ok` false as well.
struct PlainString {
  std::string_view text;
  bool ok = false;
};
PlainString plain_string(std::string_view value);

// A "signal" message read without a document: its "data" object as written and the
// addressing members it may carry. `usable` is false when the message needs the full
// parser instead: not an object, "t" missing or not "signal", or a member the relay
// reads written with escapes. Duplicate members: the last one counts, as in the parser.
struct SignalView {
  bool usable = false;
  std::string_view data;  // empty when there is no "data" object
  std::string_view sid;   // the text of a string "sid", else empty
  std::string_view to;    // the text of a string "to", else empty
};
SignalView read_signal(std::string_view text, int max_depth, std::vector<RawMember>& scratch);

}  // namespace vantriel::signal

#endif  // VANTRIEL_SIGNAL_RAW_JSON_H_
