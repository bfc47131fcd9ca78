// The bindings of IDs to the key of their first "hello", kept in one JSON file of our
// own so that they survive a restart. Only a salted hash of each key is stored:
// {"v":1,"ids":{"<id>":{"salt":"<hex>","hash":"<hex HMAC-SHA1(salt, key)>","seen":<unix>}}}
// The file is replaced whole (temporary file, then rename). Not thread-safe: the
// server calls it from its one I/O thread.
#ifndef VANTRIEL_SIGNAL_BINDINGS_H_
#define VANTRIEL_SIGNAL_BINDINGS_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>

#include "base/result.h"

namespace vantriel::signal {

class BindingStore {
 public:
  enum class Check { kNew, kMatch, kMismatch };

  explicit BindingStore(std::string path) : path_(std::move(path)) {}

  // A missing file is an empty store. A file that cannot be read as bindings is moved
  // aside to "<path>.damaged" (never overwritten) and the store starts empty; the error
  // says so. Entries not seen for `max_age_days` are dropped.
  morvane::Status load(int64_t now_unix, int max_age_days = 400);

  Check check(const std::string& id, std::string_view key) const;
  void bind(const std::string& id, std::string_view key, int64_t now_unix);
  // Records that the ID was used; writes are needed only once a day per ID.
  void touch(const std::string& id, int64_t now_unix);

  bool dirty() const { return dirty_; }
  // Marks the store as needing a write, e.g. after a snapshot failed to reach the disk.
  void mark_dirty() { dirty_ = true; }
  // The whole file's text as of now, written over `out` (whose capacity is reused: a
  // fresh megabyte costs more in page faults than the text itself); the store counts as
  // written from here on. A few milliseconds per 10,000 IDs, unlike the write.
  void snapshot(std::string& out);
  // Replaces the file at `path` with `text` (temporary file, then rename), making its
  // folder when missing. Touches no store, so it may run on any thread.
  static morvane::Status write_file(const std::string& path, const std::string& text);
  // snapshot() and write_file() in one go; on failure the store stays dirty.
  morvane::Status flush();
  size_t size() const { return entries_.size(); }
  const std::string& path() const { return path_; }

 private:
  struct Entry {
    std::string salt;
    std::string hash;
    int64_t seen = 0;
  };
  std::string path_;
  std::unordered_map<std::string, Entry> entries_;
  bool dirty_ = false;
};

}  // namespace vantriel::signal

#endif  // VANTRIEL_SIGNAL_BINDINGS_H_
