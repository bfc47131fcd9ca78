#include "node_message.h"

namespace vantriel::signal {

std::string make_node_message(char type, std::string_view from, std::string_view token,
                         std::initializer_list<std::string_view> args, std::string_view payload) {
  std::string out;
  out.reserve(from.size() + token.size() + payload.size() + 48);
  out += type;
  out += ' ';
  out += from;
  out += ' ';
  out += token;
  for (const std::string_view a : args) {
    out += ' ';
    out += a;
  }
  out += '\n';
  out += payload;
  return out;
}

bool parse_node_message(std::string_view text, NodeMessage& out) {
  const size_t eol = text.find('\n');
  std::string_view head = eol == std::string_view::npos ? text : text.substr(0, eol);
  out.payload = eol == std::string_view::npos ? std::string_view() : text.substr(eol + 1);
  out.args.clear();
  std::vector<std::string_view> words;
  while (!head.empty()) {
    const size_t sp = head.find(' ');
    const std::string_view w = head.substr(0, sp);
    if (!w.empty()) words.push_back(w);
    if (sp == std::string_view::npos) break;
    head.remove_prefix(sp + 1);
  }
  if (words.size() < 3 || words[0].size() != 1) return false;
  out.type = words[0][0];
  out.from = words[1];
  out.token = words[2];
  out.args.assign(words.begin() + 3, words.end());
  return true;
}

}  // namespace vantriel::signal
