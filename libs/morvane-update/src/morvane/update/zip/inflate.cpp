// Table-driven inflate. A 64-bit bit buffer is refilled eight bytes at a time; Huffman
// codes are looked up in a root table indexed by the next 10 (literal/length) or 8
// (distance) bits, with second-level tables for longer codes. The tables are filled from
// exactly the codes the bit-by-bit canonical decoder would recognise, so malformed code
// sets behave as they do there.
#include "morvane/update/zip/inflate.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <memory>
#include <new>
#include <string>

namespace morvane {
namespace {

constexpr int kMaxBits = 15;
constexpr size_t kInitialCap = size_t{256} << 20;
// Room kept free past the output end so that a match can be copied eight bytes at a time.
constexpr size_t kSlack = 258 + 8;

const char kErrorPrefix[] = "Error -3 while decompressing data: ";

// A table entry: bits 0-7 code length (for a link, the bits that index the sub-table),
// bits 8-11 kind, bits 12-15 extra bits, bits 16-31 value.
enum Kind : uint32_t {
  kLiteral = 0,  // value: the byte (or the code-length symbol)
  kBase = 1,     // value: base length or distance; extra bits follow the code
  kEnd = 2,
  kBadSymbol = 3,  // a code for a symbol outside its alphabet
  kNoCode = 4,     // no code starts with these bits
  kLink = 5,       // value: offset of the sub-table
};

constexpr uint32_t entry(uint32_t bits, Kind kind, uint32_t extra, uint32_t value) {
  return bits | kind << 8 | extra << 12 | value << 16;
}
inline uint32_t entry_bits(uint32_t e) { return e & 0xFF; }
inline uint32_t entry_kind(uint32_t e) { return (e >> 8) & 0xF; }
inline uint32_t entry_extra(uint32_t e) { return (e >> 12) & 0xF; }
inline uint32_t entry_value(uint32_t e) { return e >> 16; }

constexpr uint16_t kLengthBase[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                      31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
constexpr uint8_t kLengthExtra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                      2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
constexpr uint16_t kDistBase[30] = {1,    2,    3,    4,    5,    7,     9,     13,    17,  25,
                                    33,   49,   65,   97,   129,  193,   257,   385,   513, 769,
                                    1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
constexpr uint8_t kDistExtra[30] = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                                    6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};

enum class Alphabet { kLitLen, kDist, kCodeLen };

uint32_t symbol_entry(Alphabet alphabet, int symbol, int bits) {
  const auto b = static_cast<uint32_t>(bits);
  switch (alphabet) {
    case Alphabet::kCodeLen:
      return entry(b, kLiteral, 0, static_cast<uint32_t>(symbol));
    case Alphabet::kLitLen:
      if (symbol < 256) return entry(b, kLiteral, 0, static_cast<uint32_t>(symbol));
      if (symbol == 256) return entry(b, kEnd, 0, 0);
      if (symbol <= 285) return entry(b, kBase, kLengthExtra[symbol - 257], kLengthBase[symbol - 257]);
      return entry(b, kBadSymbol, 0, 0);
    case Alphabet::kDist:
      if (symbol < 30) return entry(b, kBase, kDistExtra[symbol], kDistBase[symbol]);
      return entry(b, kBadSymbol, 0, 0);
  }
  return entry(b, kBadSymbol, 0, 0);
}

// Root bits and room for each table: 2^root entries plus at most 2^(15 - root) per code
// longer than the root.
constexpr int kLitRoot = 10, kDistRoot = 8, kCodeLenRoot = 7;
constexpr size_t kLitTableSize = (1u << kLitRoot) + 288 * (1u << (kMaxBits - kLitRoot));
constexpr size_t kDistTableSize = (1u << kDistRoot) + 32 * (1u << (kMaxBits - kDistRoot));
constexpr size_t kCodeLenTableSize = (1u << kCodeLenRoot);

// Fills |table| for the code lengths |lengths[0..count)|. The codes are those of the
// canonical bit-by-bit decoder: at each length the codes first .. first + n - 1 (those
// that still fit in that many bits), with first = (previous first + previous n) * 2.
void build_table(const uint8_t* lengths, int count, Alphabet alphabet, int root,
                 uint32_t* table) {
  int per_length[kMaxBits + 1] = {};
  for (int s = 0; s < count; ++s) ++per_length[lengths[s]];
  int offsets[kMaxBits + 2] = {};
  for (int len = 1; len <= kMaxBits; ++len) offsets[len + 1] = offsets[len] + per_length[len];
  int sorted[288];
  for (int s = 0; s < count; ++s) {
    if (lengths[s] != 0) sorted[offsets[lengths[s]]++] = s;
  }

  struct Code {
    uint32_t reversed;
    int len;
    int symbol;
  };
  Code codes[288];
  int ncodes = 0;
  int64_t first = 0;
  int index = 0;
  for (int len = 1; len <= kMaxBits; ++len) {
    const int n = per_length[len];
    bool full = false;
    for (int j = 0; j < n; ++j) {
      const int64_t code = first + j;
      if (code >= (int64_t{1} << len)) {
        full = true;  // this and every later code is out of reach
        break;
      }
      uint32_t rev = 0;
      for (int b = 0; b < len; ++b) rev |= ((static_cast<uint32_t>(code) >> b) & 1) << (len - 1 - b);
      codes[ncodes++] = Code{rev, len, sorted[index + j]};
    }
    if (full) break;
    index += n;
    first = (first + n) * 2;
  }

  const uint32_t root_size = 1u << root;
  const uint32_t no_code = entry(0, kNoCode, 0, 0);
  std::fill(table, table + root_size, no_code);
  uint8_t longest[1 << kLitRoot] = {};
  for (int i = 0; i < ncodes; ++i) {
    if (codes[i].len > root) {
      uint8_t& l = longest[codes[i].reversed & (root_size - 1)];
      l = std::max<uint8_t>(l, static_cast<uint8_t>(codes[i].len));
    }
  }
  uint32_t next = root_size;
  for (uint32_t p = 0; p < root_size; ++p) {
    if (longest[p] == 0) continue;
    const uint32_t sub_bits = longest[p] - static_cast<uint32_t>(root);
    table[p] = entry(sub_bits, kLink, 0, next);
    std::fill(table + next, table + next + (1u << sub_bits), no_code);
    next += 1u << sub_bits;
  }
  for (int i = 0; i < ncodes; ++i) {
    const Code& c = codes[i];
    const uint32_t e = symbol_entry(alphabet, c.symbol, c.len);
    if (c.len <= root) {
      for (uint32_t k = c.reversed; k < root_size; k += 1u << c.len) table[k] = e;
    } else {
      const uint32_t link = table[c.reversed & (root_size - 1)];
      const uint32_t base = entry_value(link), size = 1u << entry_bits(link);
      for (uint32_t k = c.reversed >> root; k < size; k += 1u << (c.len - root)) {
        table[base + k] = e;
      }
    }
  }
}

struct FixedTables {
  uint32_t lit[kLitTableSize];
  uint32_t dist[kDistTableSize];
  FixedTables() {
    uint8_t lengths[288];
    std::fill(lengths, lengths + 144, 8);
    std::fill(lengths + 144, lengths + 256, 9);
    std::fill(lengths + 256, lengths + 280, 7);
    std::fill(lengths + 280, lengths + 288, 8);
    build_table(lengths, 288, Alphabet::kLitLen, kLitRoot, lit);
    std::fill(lengths, lengths + 30, 5);
    build_table(lengths, 30, Alphabet::kDist, kDistRoot, dist);
  }
};

const FixedTables& fixed_tables() {
  static const FixedTables tables;
  return tables;
}

struct DynamicTables {
  uint32_t lit[kLitTableSize];
  uint32_t dist[kDistTableSize];
  uint32_t codelen[kCodeLenTableSize];
};

enum class Fault { kNone, kIncomplete, kInvalidCode, kTooFar, kStoredLengths, kBlockType };

class Inflater {
 public:
  Inflater(std::span<const uint8_t> input, size_t size_hint)
      : in_(input.data()), end_(input.data() + input.size()) {
    // Left uninitialised: a large hint costs address space, not work, until it is used.
    cap_ = std::min(size_hint, kInitialCap) + kSlack;
    out_.reset(new uint8_t[cap_]);
  }

  Fault run() {
    for (;;) {
      refill();
      if (bitcnt_ < 3) return Fault::kIncomplete;
      const bool last = bitbuf_ & 1;
      const auto type = static_cast<int>((bitbuf_ >> 1) & 3);
      consume(3);
      Fault f = Fault::kNone;
      if (type == 0) {
        f = stored();
      } else if (type == 1) {
        f = codes(fixed_tables().lit, fixed_tables().dist);
      } else if (type == 2) {
        if (!dynamic_) dynamic_ = std::make_unique<DynamicTables>();
        f = read_dynamic_header();
        if (f == Fault::kNone) f = codes(dynamic_->lit, dynamic_->dist);
      } else {
        f = Fault::kBlockType;
      }
      if (f != Fault::kNone) return f;
      if (last) return Fault::kNone;
    }
  }

  std::vector<uint8_t> take_output() const { return {out_.get(), out_.get() + n_}; }

 private:
  // Brings the buffer to at least 56 valid bits while input lasts. With eight or more
  // bytes left it loads eight at once; the bits above bitcnt_ then already hold the
  // following input, which later loads overwrite with the same values.
  void refill() {
    if (end_ - in_ >= 8) {
      uint64_t v;
      std::memcpy(&v, in_, 8);
      if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap64(v);
      bitbuf_ |= v << bitcnt_;
      in_ += (63 - bitcnt_) >> 3;
      bitcnt_ |= 56;
    } else {
      while (bitcnt_ <= 56 && in_ < end_) {
        bitbuf_ |= static_cast<uint64_t>(*in_++) << bitcnt_;
        bitcnt_ += 8;
      }
    }
  }

  void consume(unsigned bits) {
    bitbuf_ >>= bits;
    bitcnt_ -= bits;
  }

  // Decodes one symbol's table entry and consumes its code. On failure returns false with
  // |*fault| set: a bit string that matches no code is invalid once 15 bits are there,
  // and incomplete input before that.
  bool decode(const uint32_t* table, int root, uint32_t* out, Fault* fault) {
    uint32_t e = table[bitbuf_ & ((1u << root) - 1)];
    if (entry_kind(e) == kLink) {
      e = table[entry_value(e) + ((bitbuf_ >> root) & ((1u << entry_bits(e)) - 1))];
    }
    if (entry_kind(e) == kNoCode) {
      *fault = bitcnt_ >= kMaxBits ? Fault::kInvalidCode : Fault::kIncomplete;
      return false;
    }
    if (entry_bits(e) > bitcnt_) {
      *fault = Fault::kIncomplete;
      return false;
    }
    consume(entry_bits(e));
    if (entry_kind(e) == kBadSymbol) {
      *fault = Fault::kInvalidCode;
      return false;
    }
    *out = e;
    return true;
  }

  bool take_bits(unsigned bits, uint32_t* value) {
    if (bitcnt_ < bits) return false;
    *value = static_cast<uint32_t>(bitbuf_ & ((uint64_t{1} << bits) - 1));
    consume(bits);
    return true;
  }

  void reserve(size_t extra) {
    if (cap_ - n_ >= extra + kSlack) return;
    const size_t cap = std::max(cap_ * 2, n_ + extra + kSlack);
    std::unique_ptr<uint8_t[]> grown(new uint8_t[cap]);
    std::memcpy(grown.get(), out_.get(), n_);
    out_ = std::move(grown);
    cap_ = cap;
  }

  Fault stored() {
    consume(bitcnt_ % 8);
    refill();
    uint32_t len, nlen;
    if (!take_bits(16, &len) || !take_bits(16, &nlen)) return Fault::kIncomplete;
    if (len != (~nlen & 0xFFFF)) return Fault::kStoredLengths;
    reserve(len);
    while (len > 0 && bitcnt_ >= 8) {
      out_[n_++] = static_cast<uint8_t>(bitbuf_);
      consume(8);
      --len;
    }
    if (len == 0) return Fault::kNone;
    // The bit buffer is empty; everything from in_ on is unread input.
    if (static_cast<size_t>(end_ - in_) < len) return Fault::kIncomplete;
    std::memcpy(out_.get() + n_, in_, len);
    n_ += len;
    in_ += len;
    bitbuf_ = 0;
    return Fault::kNone;
  }

  Fault read_dynamic_header() {
    static constexpr uint8_t kOrder[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5,
                                           11, 4, 12, 3, 13, 2, 14, 1, 15};
    refill();
    uint32_t hlit, hdist, hclen;
    if (!take_bits(5, &hlit) || !take_bits(5, &hdist) || !take_bits(4, &hclen)) {
      return Fault::kIncomplete;
    }
    hlit += 257;
    hdist += 1;
    hclen += 4;
    uint8_t clen[19] = {};
    for (uint32_t i = 0; i < hclen; ++i) {
      refill();
      uint32_t v;
      if (!take_bits(3, &v)) return Fault::kIncomplete;
      clen[kOrder[i]] = static_cast<uint8_t>(v);
    }
    build_table(clen, 19, Alphabet::kCodeLen, kCodeLenRoot, dynamic_->codelen);

    uint8_t lengths[288 + 32] = {};
    const uint32_t total = hlit + hdist;
    uint32_t i = 0;
    while (i < total) {
      refill();
      uint32_t e;
      Fault f = Fault::kNone;
      if (!decode(dynamic_->codelen, kCodeLenRoot, &e, &f)) return f;
      const uint32_t symbol = entry_value(e);
      if (symbol < 16) {
        lengths[i++] = static_cast<uint8_t>(symbol);
        continue;
      }
      uint8_t value = 0;
      uint32_t repeat;
      if (symbol == 16) {
        if (i == 0) return Fault::kInvalidCode;
        value = lengths[i - 1];
        if (!take_bits(2, &repeat)) return Fault::kIncomplete;
        repeat += 3;
      } else if (symbol == 17) {
        if (!take_bits(3, &repeat)) return Fault::kIncomplete;
        repeat += 3;
      } else {
        if (!take_bits(7, &repeat)) return Fault::kIncomplete;
        repeat += 11;
      }
      if (i + repeat > total) return Fault::kInvalidCode;
      std::fill(lengths + i, lengths + i + repeat, value);
      i += repeat;
    }
    build_table(lengths, static_cast<int>(hlit), Alphabet::kLitLen, kLitRoot, dynamic_->lit);
    build_table(lengths + hlit, static_cast<int>(hdist), Alphabet::kDist, kDistRoot,
                dynamic_->dist);
    return Fault::kNone;
  }

  Fault codes(const uint32_t* lit, const uint32_t* dist) {
    Fault f = Fault::kNone;
    for (;;) {
      refill();
      reserve(258);
      uint32_t e;
      if (!decode(lit, kLitRoot, &e, &f)) return f;
      if (entry_kind(e) == kLiteral) {
        out_[n_++] = static_cast<uint8_t>(entry_value(e));
        // A second literal without another refill when the bits are surely there.
        if (bitcnt_ >= kMaxBits) {
          const uint32_t e2 = lit[bitbuf_ & ((1u << kLitRoot) - 1)];
          if (entry_kind(e2) == kLiteral) {
            consume(entry_bits(e2));
            out_[n_++] = static_cast<uint8_t>(entry_value(e2));
          }
        }
        continue;
      }
      if (entry_kind(e) == kEnd) return Fault::kNone;
      uint32_t extra;
      if (!take_bits(entry_extra(e), &extra)) return Fault::kIncomplete;
      const uint32_t length = entry_value(e) + extra;
      if (!decode(dist, kDistRoot, &e, &f)) return f;
      if (!take_bits(entry_extra(e), &extra)) return Fault::kIncomplete;
      const uint32_t distance = entry_value(e) + extra;
      if (distance > n_) return Fault::kTooFar;
      uint8_t* dst = out_.get() + n_;
      const uint8_t* src = dst - distance;
      if (distance >= 8) {
        // May write up to seven bytes past the match, inside the slack.
        for (uint32_t k = 0; k < length; k += 8) std::memcpy(dst + k, src + k, 8);
      } else if (distance == 1) {
        std::memset(dst, *src, length);
      } else {
        for (uint32_t k = 0; k < length; ++k) dst[k] = src[k];
      }
      n_ += length;
    }
  }

  const uint8_t* in_;
  const uint8_t* end_;
  uint64_t bitbuf_ = 0;
  unsigned bitcnt_ = 0;
  std::unique_ptr<uint8_t[]> out_;
  size_t cap_ = 0;
  size_t n_ = 0;
  std::unique_ptr<DynamicTables> dynamic_;
};

const char* fault_text(Fault f) {
  switch (f) {
    case Fault::kIncomplete:
      return "datos incompletos";
    case Fault::kInvalidCode:
      return "invalid code";
    case Fault::kTooFar:
      return "invalid distance too far back";
    case Fault::kStoredLengths:
      return "invalid stored block lengths";
    case Fault::kBlockType:
      return "invalid block type";
    case Fault::kNone:
      break;
  }
  return "";
}

}  // namespace

Result<std::vector<uint8_t>> inflate(std::span<const uint8_t> compressed, size_t size_hint) {
  try {
    Inflater inflater(compressed, size_hint);
    const Fault f = inflater.run();
    if (f != Fault::kNone) return make_error(std::string(kErrorPrefix) + fault_text(f));
    return inflater.take_output();
  } catch (const std::bad_alloc&) {
    // An output that does not fit in memory must not take the process down.
    return make_error(std::string(kErrorPrefix) + "not enough memory");
  } catch (const std::length_error&) {
    return make_error(std::string(kErrorPrefix) + "not enough memory");
  }
}

}  // namespace morvane
