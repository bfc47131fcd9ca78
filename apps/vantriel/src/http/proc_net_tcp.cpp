#include "http/proc_net_tcp.h"

#include <bit>
#include <charconv>

namespace vantriel {
namespace {

// The next blank-separated word of `line`, taken off its front; empty at the end. The
// tables hold a line per socket of the machine, tens of thousands on a busy one, so
// words are cut in place, without copies.
std::string_view next_word(std::string_view& line) {
  std::size_t at = 0;
  while (at < line.size() && (line[at] == ' ' || line[at] == '\t')) ++at;
  std::size_t end = at;
  while (end < line.size() && line[end] != ' ' && line[end] != '\t') ++end;
  std::string_view word = line.substr(at, end - at);
  line.remove_prefix(end);
  return word;
}

template <typename T>
bool parse_number(std::string_view text, T& out, int base) {
  if (text.empty()) return false;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), out, base);
  return ec == std::errc() && end == text.data() + text.size();
}

// "0100007F:1F90" (IPv4) or 32 hex digits and a port (IPv6). The kernel prints each 32-bit
// word of the address as the number its bytes make in this machine's byte order.
std::optional<TcpEnd> parse_proc_end(std::string_view text) {
  const std::size_t colon = text.find(':');
  if (colon == std::string_view::npos) return std::nullopt;
  std::string_view hex = text.substr(0, colon);
  if (hex.size() != 8 && hex.size() != 32) return std::nullopt;
  TcpEnd end;
  end.v6 = hex.size() == 32;
  for (std::size_t word = 0; word * 8 < hex.size(); ++word) {
    std::uint32_t value = 0;
    if (!parse_number(hex.substr(word * 8, 8), value, 16)) return std::nullopt;
    for (std::size_t i = 0; i < 4; ++i) {
      const std::size_t shift = std::endian::native == std::endian::little ? 8 * i : 8 * (3 - i);
      end.address[word * 4 + i] = static_cast<std::uint8_t>(value >> shift);
    }
  }
  std::string_view port = text.substr(colon + 1);
  if (port.size() != 4 || !parse_number(port, end.port, 16)) return std::nullopt;
  return end;
}

}  // namespace

std::optional<SocketOwner> find_in_proc_net_tcp(std::string_view table, const TcpEnd& local,
                                                const TcpEnd& remote) {
  // "sl local_address rem_address st tx:rx tr:when retrnsmt uid timeout inode ..."
  while (!table.empty()) {
    const std::size_t newline = table.find('\n');
    std::string_view line = table.substr(0, newline);
    table.remove_prefix(newline == std::string_view::npos ? table.size() : newline + 1);
    std::string_view slot = next_word(line);
    if (slot.empty() || slot.back() != ':') continue;
    auto line_local = parse_proc_end(next_word(line));
    if (!line_local || *line_local != local) continue;
    auto line_remote = parse_proc_end(next_word(line));
    if (!line_remote || *line_remote != remote) continue;
    std::string_view words[7];  // st tx:rx tr:when retrnsmt uid timeout inode
    for (auto& word : words) word = next_word(line);
    SocketOwner owner;
    if (!parse_number(words[4], owner.uid, 10) || !parse_number(words[6], owner.inode, 10)) {
      continue;
    }
    return owner;
  }
  return std::nullopt;
}

}  // namespace vantriel
