// vantriel-release: makes, signs and checks update packages and release documents.
//
//   vantriel-release keygen PREFIX
//   vantriel-release public-key SECRET_FILE
//   vantriel-release pack FOLDER PACKAGE
//   vantriel-release sign PACKAGE --key SECRET_FILE --version V --url URL
//                         [--date D] [--page URL] [--changes FILE.json] [--out FILE]
//   vantriel-release check DOCUMENT_FILE --running VERSION [--key KEY_HEX] [--package FILE]
//   vantriel-release check-sig KEY_HEX MESSAGE_HEX SIGNATURE_HEX
//   vantriel-release unpack PACKAGE FOLDER
//   vantriel-release minisign-key SECRET_FILE
//   vantriel-release minisign FILE --key SECRET_FILE --comment TEXT [--out SIGNATURE_FILE]
//
// The minisign commands write the release key's public half and signatures in minisign's
// formats, so that anyone can check the list of hashes with a standard tool (`minisign -V`)
// instead of trusting ours.
//
// Every check uses the updater's own code (morvane_update); only signing uses libsodium
// and only packing uses zlib.
#include <sodium.h>
#include <zlib.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "update/update_product.h"
#include "morvane/update/ed25519/ed25519.h"
#include "morvane/update/release.h"
#include "morvane/update/unpack.h"
#include "morvane/update/sha/hex.h"
#include "morvane/update/sha/sha256.h"
#include "morvane/update/zip/crc32.h"

namespace {

namespace fs = std::filesystem;
using morvane::Json;

constexpr int kUsage = 2;

int usage() {
  std::cerr << "usage:\n"
               "  vantriel-release keygen PREFIX\n"
               "  vantriel-release public-key SECRET_FILE\n"
               "  vantriel-release pack FOLDER PACKAGE\n"
               "  vantriel-release sign PACKAGE --key SECRET_FILE --version V --url URL\n"
               "                        [--date D] [--page URL] [--changes FILE.json] [--out FILE]\n"
               "  vantriel-release check DOCUMENT_FILE --running VERSION [--key KEY_HEX] [--package FILE]\n"
               "  vantriel-release check-sig KEY_HEX MESSAGE_HEX SIGNATURE_HEX\n"
               "  vantriel-release unpack PACKAGE FOLDER\n"
               "  vantriel-release minisign-key SECRET_FILE\n"
               "  vantriel-release minisign FILE --key SECRET_FILE --comment TEXT [--out SIGNATURE_FILE]\n";
  return kUsage;
}

bool read_file(const fs::path& path, std::string* out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream s;
  s << in.rdbuf();
  *out = s.str();
  return true;
}

bool write_file(const fs::path& path, std::string_view data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(data.data(), static_cast<std::streamsize>(data.size()));
  return static_cast<bool>(out);
}

// "--name value" options after the positional arguments.
bool parse_options(int argc, char** argv, int first, std::map<std::string, std::string>* out) {
  for (int i = first; i < argc; i += 2) {
    const std::string name = argv[i];
    if (!name.starts_with("--") || i + 1 >= argc) return false;
    (*out)[name.substr(2)] = argv[i + 1];
  }
  return true;
}

std::string trim(std::string s) {
  const auto blank = [](unsigned char c) { return std::isspace(c) != 0; };
  while (!s.empty() && blank(static_cast<unsigned char>(s.back()))) s.pop_back();
  size_t i = 0;
  while (i < s.size() && blank(static_cast<unsigned char>(s[i]))) ++i;
  return s.substr(i);
}

// Writes a new file that no one else could have opened or pointed elsewhere: created here
// (O_EXCL, which also refuses a symbolic link at `path`, dangling or not) with `mode` from
// the first byte, and flushed to the disk. An existing file is never replaced: for the
// secret key that would lose the only key installed copies trust. Empty on success, else
// why not.
std::string create_new_file(const std::string& path, std::string_view data, mode_t mode) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
  if (fd < 0) {
    const int err = errno;
    if (err == EEXIST) return path + " already exists (a file or a link): keygen never replaces one; "
                                     "move it away or choose another PREFIX";
    return "cannot create " + path + ": " + std::strerror(err);
  }
  std::string error;
  for (size_t done = 0; done < data.size() && error.empty();) {
    const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) error = "cannot write " + path + ": " + std::strerror(errno);
    else done += static_cast<size_t>(n);
  }
  if (error.empty() && ::fsync(fd) != 0) error = "cannot flush " + path + ": " + std::strerror(errno);
  if (::close(fd) != 0 && error.empty()) error = "cannot close " + path + ": " + std::strerror(errno);
  if (!error.empty()) ::unlink(path.c_str());
  return error;
}

int keygen(const std::string& prefix) {
  unsigned char seed[crypto_sign_SEEDBYTES], pk[crypto_sign_PUBLICKEYBYTES],
      sk[crypto_sign_SECRETKEYBYTES];
  randombytes_buf(seed, sizeof(seed));
  crypto_sign_seed_keypair(pk, sk, seed);
  const std::string secret_file = prefix + ".key", public_file = prefix + ".pub";
  const std::string public_hex = morvane::hex_encode(pk, sizeof(pk));
  std::string seed_hex = morvane::hex_encode(seed, sizeof(seed)) + "\n";
  sodium_memzero(seed, sizeof(seed));
  sodium_memzero(sk, sizeof(sk));
  // The secret is readable by its owner only from the moment it exists, whatever the umask.
  std::string error = create_new_file(secret_file, seed_hex, 0600);
  sodium_memzero(seed_hex.data(), seed_hex.size());
  if (error.empty()) {
    error = create_new_file(public_file, public_hex + "\n", 0644);
    // Half a pair is no key: the secret goes with the public half that could not be written.
    if (!error.empty()) ::unlink(secret_file.c_str());
  }
  if (!error.empty()) {
    std::cerr << error << "\n";
    return 1;
  }
  std::cout << public_hex << "\n";
  return 0;
}

// The 32-byte seed that keygen writes, read from |file|; false with the reason on stderr.
bool read_seed(const std::string& file, std::vector<uint8_t>* seed) {
  std::string text;
  if (!read_file(file, &text)) {
    std::cerr << "cannot read " << file << "\n";
    return false;
  }
  auto bytes = morvane::hex_decode(trim(text));
  if (!bytes.ok() || bytes->size() != crypto_sign_SEEDBYTES) {
    std::cerr << "the key file must hold a 32-byte seed in hexadecimal\n";
    return false;
  }
  *seed = std::move(*bytes);
  return true;
}

// A key pair from a key file's seed; the secret half is wiped by the destructor.
struct KeyPair {
  unsigned char pk[crypto_sign_PUBLICKEYBYTES];
  unsigned char sk[crypto_sign_SECRETKEYBYTES];
  ~KeyPair() { sodium_memzero(sk, sizeof(sk)); }
};

bool load_key_pair(const std::string& secret_file, KeyPair* keys) {
  std::vector<uint8_t> seed;
  if (!read_seed(secret_file, &seed)) return false;
  crypto_sign_seed_keypair(keys->pk, keys->sk, seed.data());
  sodium_memzero(seed.data(), seed.size());
  return true;
}

// Prints the public key of a secret key file: the value a release build trusts.
int public_key(const std::string& secret_file) {
  KeyPair keys;
  if (!load_key_pair(secret_file, &keys)) return 1;
  std::cout << morvane::hex_encode(keys.pk, sizeof(keys.pk)) << "\n";
  return 0;
}

// ------------------------------------------------------------------------------ minisign

std::string base64(const unsigned char* data, size_t size) {
  std::string out(sodium_base64_ENCODED_LEN(size, sodium_base64_VARIANT_ORIGINAL), '\0');
  sodium_bin2base64(out.data(), out.size(), data, size, sodium_base64_VARIANT_ORIGINAL);
  out.resize(std::strlen(out.c_str()));
  return out;
}

// minisign names a key by 8 bytes chosen at its creation; ours are a hash of the public
// key, so that the same key always has the same id.
std::array<unsigned char, 8> minisign_key_id(const unsigned char* pk) {
  std::array<unsigned char, 8> id{};
  crypto_generichash(id.data(), id.size(), pk, crypto_sign_PUBLICKEYBYTES, nullptr, 0);
  return id;
}

// How minisign prints a key id: the 8 bytes as a little-endian number in hexadecimal.
std::string minisign_key_id_text(const std::array<unsigned char, 8>& id) {
  std::string text;
  for (auto it = id.rbegin(); it != id.rend(); ++it) {
    char b[3];
    std::snprintf(b, sizeof(b), "%02X", *it);
    text += b;
  }
  return text;
}

// The public key file minisign reads with -p: "Ed", the key id and the key.
int minisign_key(const std::string& secret_file) {
  KeyPair keys;
  if (!load_key_pair(secret_file, &keys)) return 1;
  const auto id = minisign_key_id(keys.pk);
  std::string blob = "Ed";
  blob.append(reinterpret_cast<const char*>(id.data()), id.size());
  blob.append(reinterpret_cast<const char*>(keys.pk), sizeof(keys.pk));
  std::cout << "untrusted comment: minisign public key " << minisign_key_id_text(id) << "\n"
            << base64(reinterpret_cast<const unsigned char*>(blob.data()), blob.size()) << "\n";
  return 0;
}

// A prehashed ("ED") minisign signature of |file|: Ed25519 over the file's BLAKE2b-512,
// then over that signature and the trusted comment. Ed25519 is deterministic, so the same
// file, key and comment give the same bytes.
int minisign(const fs::path& file, std::map<std::string, std::string> options) {
  if (!options.count("key") || !options.count("comment")) return usage();
  const std::string& comment = options["comment"];
  if (comment.find_first_of("\r\n") != std::string::npos) {
    std::cerr << "the comment must be one line\n";
    return 1;
  }
  std::ifstream in(file, std::ios::binary);
  if (!in) {
    std::cerr << "cannot read " << file.string() << "\n";
    return 1;
  }
  crypto_generichash_state state;
  crypto_generichash_init(&state, nullptr, 0, crypto_generichash_BYTES_MAX);
  std::vector<char> buf(1 << 16);
  while (in) {
    in.read(buf.data(), static_cast<std::streamsize>(buf.size()));
    crypto_generichash_update(&state, reinterpret_cast<const unsigned char*>(buf.data()),
                              static_cast<size_t>(in.gcount()));
  }
  if (in.bad()) {
    std::cerr << "cannot read " << file.string() << "\n";
    return 1;
  }
  unsigned char digest[crypto_generichash_BYTES_MAX];
  crypto_generichash_final(&state, digest, sizeof(digest));

  KeyPair keys;
  if (!load_key_pair(options["key"], &keys)) return 1;
  const auto id = minisign_key_id(keys.pk);
  unsigned char sig[crypto_sign_BYTES];
  crypto_sign_detached(sig, nullptr, digest, sizeof(digest), keys.sk);
  std::string global(reinterpret_cast<const char*>(sig), sizeof(sig));
  global += comment;
  unsigned char global_sig[crypto_sign_BYTES];
  crypto_sign_detached(global_sig, nullptr, reinterpret_cast<const unsigned char*>(global.data()),
                       global.size(), keys.sk);
  std::string blob = "ED";
  blob.append(reinterpret_cast<const char*>(id.data()), id.size());
  blob.append(reinterpret_cast<const char*>(sig), sizeof(sig));
  const std::string text =
      "untrusted comment: signature from the Vantriel release key " + minisign_key_id_text(id) +
      "\n" + base64(reinterpret_cast<const unsigned char*>(blob.data()), blob.size()) + "\n" +
      "trusted comment: " + comment + "\n" + base64(global_sig, sizeof(global_sig)) + "\n";
  const std::string out = options.count("out") ? options["out"] : file.string() + ".minisig";
  if (!write_file(out, text)) {
    std::cerr << "cannot write " << out << "\n";
    return 1;
  }
  return 0;
}

void put16(std::string* out, uint32_t v) {
  out->push_back(static_cast<char>(v & 0xFF));
  out->push_back(static_cast<char>((v >> 8) & 0xFF));
}
void put32(std::string* out, uint32_t v) {
  put16(out, v & 0xFFFF);
  put16(out, v >> 16);
}

std::string raw_deflate(const std::string& in) {
  z_stream s{};
  deflateInit2(&s, 9, Z_DEFLATED, -15, 9, Z_DEFAULT_STRATEGY);
  std::string out(deflateBound(&s, in.size()) + 16, '\0');
  s.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
  s.avail_in = static_cast<uInt>(in.size());
  s.next_out = reinterpret_cast<Bytef*>(out.data());
  s.avail_out = static_cast<uInt>(out.size());
  deflate(&s, Z_FINISH);
  out.resize(s.total_out);
  deflateEnd(&s);
  return out;
}

// Writes every regular file below |folder| as "Vantriel/<relative path>", in name order,
// with a fixed time stamp so that the same folder always gives the same package. A file
// its owner may run is recorded as mode 0755, any other as 0644: unzip and the desktops'
// archive tools restore that, so an unpacked Linux folder's program starts.
int pack(const fs::path& folder, const fs::path& package) {
  std::vector<fs::path> files;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(folder, ec); !ec && it != fs::end(it);
       it.increment(ec)) {
    if (it->is_regular_file()) files.push_back(it->path());
  }
  if (ec) {
    std::cerr << ec.message() << ": " << folder.string() << "\n";
    return 1;
  }
  std::sort(files.begin(), files.end());
  std::string out, directory;
  for (const fs::path& file : files) {
    std::string data;
    if (!read_file(file, &data)) {
      std::cerr << "cannot read " << file.string() << "\n";
      return 1;
    }
    const std::u8string rel = fs::relative(file, folder).generic_u8string();
    const std::string name = "Vantriel/" + std::string(rel.begin(), rel.end());
    const bool ascii = std::all_of(name.begin(), name.end(), [](char c) { return c > 0; });
    std::string stored = raw_deflate(data);
    uint16_t method = 8;
    if (stored.size() >= data.size()) {
      stored = data;
      method = 0;
    }
    if (out.size() > 0xFFFFFFF0u || stored.size() > 0xFFFFFFF0u) {
      std::cerr << "package too large for a zip without zip64\n";
      return 1;
    }
    const bool runnable =
        (fs::status(file).permissions() & fs::perms::owner_exec) != fs::perms::none;
    const uint32_t crc = morvane::crc32(data.data(), data.size());
    const uint16_t flags = ascii ? 0 : 0x0800;
    const auto offset = static_cast<uint32_t>(out.size());
    put32(&out, 0x04034b50);
    put16(&out, 20);
    put16(&out, flags);
    put16(&out, method);
    put16(&out, 0);       // time 00:00:00
    put16(&out, 0x0021);  // date 1980-01-01
    put32(&out, crc);
    put32(&out, static_cast<uint32_t>(stored.size()));
    put32(&out, static_cast<uint32_t>(data.size()));
    put16(&out, static_cast<uint32_t>(name.size()));
    put16(&out, 0);
    out += name;
    out += stored;
    put32(&directory, 0x02014b50);
    put16(&directory, 0x0314);  // made by Unix, version 2.0
    put16(&directory, 20);
    put16(&directory, flags);
    put16(&directory, method);
    put16(&directory, 0);
    put16(&directory, 0x0021);
    put32(&directory, crc);
    put32(&directory, static_cast<uint32_t>(stored.size()));
    put32(&directory, static_cast<uint32_t>(data.size()));
    put16(&directory, static_cast<uint32_t>(name.size()));
    put16(&directory, 0);
    put16(&directory, 0);
    put16(&directory, 0);
    put16(&directory, 0);
    put32(&directory, (runnable ? 0100755u : 0100644u) << 16);
    put32(&directory, offset);
    directory += name;
  }
  if (files.size() >= 0xFFFF) {
    std::cerr << "too many files for a zip without zip64\n";
    return 1;
  }
  const auto directory_offset = static_cast<uint32_t>(out.size());
  out += directory;
  put32(&out, 0x06054b50);
  put16(&out, 0);
  put16(&out, 0);
  put16(&out, static_cast<uint32_t>(files.size()));
  put16(&out, static_cast<uint32_t>(files.size()));
  put32(&out, static_cast<uint32_t>(directory.size()));
  put32(&out, directory_offset);
  put16(&out, 0);
  if (!write_file(package, out)) {
    std::cerr << "cannot write " << package.string() << "\n";
    return 1;
  }
  std::cout << files.size() << "\n";
  return 0;
}

bool hash_file(const fs::path& path, std::string* hex, uint64_t* size) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  morvane::Sha256 h;
  std::vector<char> buf(1 << 16);
  *size = 0;
  while (in) {
    in.read(buf.data(), static_cast<std::streamsize>(buf.size()));
    const auto n = static_cast<size_t>(in.gcount());
    h.update(buf.data(), n);
    *size += n;
  }
  *hex = h.finish_hex();
  return true;
}

int sign(const fs::path& package, std::map<std::string, std::string> options) {
  for (const char* required : {"key", "version", "url"}) {
    if (!options.count(required)) return usage();
  }
  KeyPair keys;
  if (!load_key_pair(options["key"], &keys)) return 1;
  std::string sha;
  uint64_t size = 0;
  if (!hash_file(package, &sha, &size)) {
    std::cerr << "cannot read " << package.string() << "\n";
    return 1;
  }
  Json d;
  d["app"] = vantriel::kAppId;
  d["version"] = options["version"];
  if (options.count("date")) d["date"] = options["date"];
  d["url"] = options["url"];
  d["size"] = size;
  d["sha256"] = sha;
  if (options.count("page")) d["page"] = options["page"];
  if (options.count("changes")) {
    std::string text;
    if (!read_file(options["changes"], &text)) {
      std::cerr << "cannot read " << options["changes"] << "\n";
      return 1;
    }
    Json changes = Json::parse(text, nullptr, false);
    if (!changes.is_array()) {
      std::cerr << "the changes file must hold a JSON array\n";
      return 1;
    }
    d["changes"] = changes;
  }
  const std::string canonical = morvane::canonical_json(d);
  unsigned char sig[crypto_sign_BYTES];
  crypto_sign_detached(sig, nullptr, reinterpret_cast<const unsigned char*>(canonical.data()),
                       canonical.size(), keys.sk);
  // Verify with the updater's own code before anything is published.
  if (!morvane::verify_signature(
          std::span<const uint8_t>(keys.pk, sizeof(keys.pk)),
          std::span(reinterpret_cast<const uint8_t*>(canonical.data()), canonical.size()),
          std::span<const uint8_t>(sig, sizeof(sig)))) {
    std::cerr << "the signature does not verify\n";
    return 1;
  }
  Json doc;
  doc["manifest"] = d;
  doc["sig"] = morvane::hex_encode(sig, sizeof(sig));
  const std::string text = doc.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
  if (options.count("out")) {
    if (!write_file(options["out"], text)) {
      std::cerr << "cannot write " << options["out"] << "\n";
      return 1;
    }
  } else {
    std::cout << text;
  }
  return 0;
}

fs::path own_folder(const char* argv0) {
  std::error_code ec;
  const fs::path self = fs::canonical("/proc/self/exe", ec);
  return ec ? fs::absolute(argv0).parent_path() : self.parent_path();
}

// Judged as the updater judges: the document as served with status 200, the key compiled
// in (or "clave_actualizaciones.pub" beside this tool) unless --key names one, then the
// package's SHA-256 and its unpacking.
int check(const fs::path& document, std::map<std::string, std::string> options, const char* argv0) {
  if (!options.count("running")) return usage();
  std::string body;
  if (!read_file(document, &body)) {
    std::cerr << "cannot read " << document.string() << "\n";
    return 1;
  }
  std::optional<morvane::UpdateKey> key;
  if (options.count("key")) {
    auto bytes = morvane::hex_decode(options["key"]);
    if (!bytes.ok() || bytes->size() != 32) {
      std::cout << (bytes.ok() ? "the key must be 32 bytes" : bytes.error()) << "\n";
      return 1;
    }
    key.emplace();
    std::copy(bytes->begin(), bytes->end(), key->begin());
  } else {
    key = morvane::load_update_key(own_folder(argv0));
  }
  const auto result = morvane::evaluate_release(200, body, options["running"], key,
                                                vantriel::update_product());
  if (const auto* failure = std::get_if<morvane::ReleaseFailure>(&result)) {
    std::cout << failure->message << "\n";
    return 1;
  }
  const auto& release = std::get<morvane::Release>(result);
  const bool is_signed = release.info["signed"] == true;
  std::cout << "v" << release.version << (release.newer ? " is newer than v" : " is not newer than v")
            << options["running"] << "; " << (is_signed ? "signed" : "not signed") << "\n";
  bool install = release.newer && is_signed;
  if (options.count("package")) {
    std::string sha;
    uint64_t size = 0;
    if (!hash_file(options["package"], &sha, &size)) {
      std::cout << "cannot read " << options["package"] << "\n";
      return 1;
    }
    if (!morvane::package_matches(release.info, sha)) {
      std::cout << morvane::kPackageMismatch << "\n";
      return 1;
    }
    std::random_device rd;
    const fs::path scratch =
        fs::temp_directory_path() / ("vantriel-release-" + std::to_string(rd()) + std::to_string(rd()));
    auto unpacked = morvane::unpack_package(options["package"], scratch,
                                              vantriel::update_product().top_folder);
    std::error_code ignored;
    fs::remove_all(scratch, ignored);
    if (!unpacked.ok()) {
      std::cout << unpacked.error() << "\n";
      return 1;
    }
    std::cout << "package: SHA-256 matches, " << *unpacked << " files unpack\n";
  }
  std::cout << (install ? "the updater would install it" : "the updater would not install it") << "\n";
  return install ? 0 : 1;
}

int check_sig(const std::string& key_hex, const std::string& message_hex, const std::string& sig_hex) {
  auto key = morvane::hex_decode(key_hex);
  auto message = morvane::hex_decode(message_hex);
  auto sig = morvane::hex_decode(sig_hex);
  for (const auto* r : {&key, &message, &sig}) {
    if (!r->ok()) {
      std::cout << r->error() << "\n";
      return 1;
    }
  }
  const bool valid = morvane::verify_signature(*key, *message, *sig);
  std::cout << (valid ? "valid" : "not valid") << "\n";
  return valid ? 0 : 1;
}

int unpack(const fs::path& package, const fs::path& folder) {
  auto r = morvane::unpack_package(package, folder, vantriel::update_product().top_folder);
  if (!r.ok()) {
    std::cout << r.error() << "\n";
    return 1;
  }
  std::cout << *r << "\n";
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (sodium_init() < 0) {
    std::cerr << "libsodium failed to start\n";
    return 1;
  }
  if (argc < 2) return usage();
  const std::string command = argv[1];
  try {
    if (command == "keygen" && argc == 3) return keygen(argv[2]);
    if (command == "public-key" && argc == 3) return public_key(argv[2]);
    if (command == "pack" && argc == 4) return pack(argv[2], argv[3]);
    if (command == "check-sig" && argc == 5) return check_sig(argv[2], argv[3], argv[4]);
    if (command == "unpack" && argc == 4) return unpack(argv[2], argv[3]);
    if (command == "minisign-key" && argc == 3) return minisign_key(argv[2]);
    std::map<std::string, std::string> options;
    if (argc >= 3 && !parse_options(argc, argv, 3, &options)) return usage();
    if (command == "sign" && argc >= 3) return sign(argv[2], options);
    if (command == "check" && argc >= 3) return check(argv[2], options, argv[0]);
    if (command == "minisign" && argc >= 3) return minisign(argv[2], options);
  } catch (const std::exception& e) {
    std::cerr << e.what() << "\n";
    return 1;
  }
  return usage();
}
