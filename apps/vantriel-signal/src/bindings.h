// The bindings of IDs to the secret of their first "hello" (the PC's secret, which proves
// its ID), kept in one JSON file of our own so that they survive a restart. Only a salted
// hash of each secret is stored:
// {"v":1,"ids":{"<id>":{"salt":"<hex>","hash":"<hex HMAC-SHA1(salt, secret)>","seen":<unix>}}}
// The file is replaced whole (temporary file on the disk first, then rename) and the
// file it replaces is kept as "<path>.prev". Losing the file would let anyone take any
// ID, so a damaged file is never taken for an empty one. Not thread-safe: the server
// calls it from its one I/O thread.
#ifndef VANTRIEL_SIGNAL_BINDINGS_H_
#define VANTRIEL_SIGNAL_BINDINGS_H_

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "crypto.h"
#include "morvane/core/result.h"

namespace vantriel::signal {

class BindingStore {
 public:
  enum class Check { kNew, kMatch, kMismatch };

  // What load() does when neither the file nor its previous copy holds bindings.
  enum class OnDamage { kRefuse, kStartEmpty };

  explicit BindingStore(std::string path) : path_(std::move(path)) {}

  // Reads the file; with no file and no previous copy the store is empty (a first
  // start). A file that is not bindings is damaged: it is moved aside to a free name
  // "<path>.damaged", "<path>.damaged.2", ... (a copy already there is never written
  // over) and the previous copy is read instead, to be written back as the file. When
  // no copy holds bindings, kRefuse fails and moves nothing; kStartEmpty moves them
  // aside and starts empty. A file that exists but cannot be read fails either way.
  // Returns what a person should know ("" when all went as usual). Entries not seen
  // for `max_age_days` are dropped.
  morvane::Result<std::string> load(int64_t now_unix, OnDamage on_damage = OnDamage::kRefuse,
                                    int max_age_days = 400);

  Check check(const std::string& id, std::string_view secret) const;
  void bind(const std::string& id, std::string_view secret, int64_t now_unix);
  // Records that the ID was used; writes are needed only once a day per ID.
  void touch(const std::string& id, int64_t now_unix);

  bool dirty() const { return dirty_; }
  // Marks the store as needing a write, e.g. after a snapshot failed to reach the disk.
  void mark_dirty() { dirty_ = true; }
  // The whole file's text as of now, written over `out` (whose capacity is reused: a
  // fresh megabyte costs more in page faults than the text itself); the store counts as
  // written from here on. A few milliseconds per 10,000 IDs, unlike the write.
  void snapshot(std::string& out);
  // Replaces the file at `path` with `text`, making its folder when missing: the text
  // reaches the disk in a temporary file, the file it replaces becomes "<path>.prev",
  // the temporary file is renamed in its place and the folder reaches the disk. Touches
  // no store, so it may run on any thread.
  static morvane::Status write_file(const std::string& path, const std::string& text);
  // snapshot() and write_file() in one go; on failure the store stays dirty.
  morvane::Status flush();
  size_t size() const { return packed_.size() + odd_.size(); }
  const std::string& path() const { return path_; }

  struct Entry {
    std::string salt;
    std::string hash;  // hex HMAC-SHA1(salt, secret)
    int64_t seen = 0;
  };
  // Each binding as its file holds it, for copying the bindings elsewhere (the import
  // into Redis).
  void for_each(const std::function<void(const std::string& id, const Entry& e)>& f) const;
  // The stored form of `secret` under `salt`.
  static std::string secret_hash(std::string_view salt, std::string_view secret);

 private:
  // Takes the entries of one file's text; false when the text is not bindings.
  bool parse(const std::string& text, int64_t now_unix, int max_age_days);
  void clear() {
    packed_.clear();
    odd_.clear();
  }

  // A binding as this store makes it (a nine-digit ID, a salt of 32 and a hash of 40
  // lower-case hex digits), kept as bytes: one block of 56 bytes per ID where the texts
  // took three of some 220. Such an ID is never in `odd_` too.
  struct Packed {
    std::array<uint8_t, 16> salt;
    Sha1Digest hash;
    // `seen` in two halves, so that the entry needs no 8-byte alignment.
    uint32_t seen_low = 0;
    uint32_t seen_high = 0;
    int64_t seen() const {
      return static_cast<int64_t>((uint64_t{seen_high} << 32) | seen_low);
    }
    void set_seen(int64_t t) {
      seen_low = static_cast<uint32_t>(static_cast<uint64_t>(t));
      seen_high = static_cast<uint32_t>(static_cast<uint64_t>(t) >> 32);
    }
  };
  // Bound under the salt and hash, as this store would have made them; false when
  // they are not in that form.
  static bool pack(std::string_view salt, std::string_view hash, int64_t seen, Packed& out);
  static Entry unpack(const Packed& p);

  std::string path_;
  std::unordered_map<uint32_t, Packed> packed_;  // id_number -> binding
  // Anything else a loaded file held (someone else's writing): kept as text and written
  // back as it came.
  std::unordered_map<std::string, Entry> odd_;
  bool dirty_ = false;
};

}  // namespace vantriel::signal

#endif  // VANTRIEL_SIGNAL_BINDINGS_H_
