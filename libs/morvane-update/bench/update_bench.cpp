// Speed of the updater's own code against the reference libraries, measured in the same
// run on the same data: inflate against zlib, SHA-256 and SHA-512 against OpenSSL, Ed25519
// verification against libsodium. tools/vantriel-release/bench.sh prints the ratios.
#include <benchmark/benchmark.h>
#include <openssl/sha.h>
#include <sodium.h>
#include <zlib.h>

#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "morvane/update/ed25519/ed25519.h"
#include "morvane/update/sha/sha256.h"
#include "morvane/update/sha/sha256_compress.h"
#include "morvane/update/sha/sha512.h"
#include "morvane/update/zip/inflate.h"

namespace {

struct Sample {
  std::vector<uint8_t> plain;
  std::vector<uint8_t> packed;
};

std::vector<uint8_t> deflate_raw(const std::vector<uint8_t>& in, int level) {
  z_stream s{};
  deflateInit2(&s, level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
  std::vector<uint8_t> out(deflateBound(&s, in.size()) + 16);
  s.next_in = const_cast<uint8_t*>(in.data());
  s.avail_in = static_cast<uInt>(in.size());
  s.next_out = out.data();
  s.avail_out = static_cast<uInt>(out.size());
  deflate(&s, Z_FINISH);
  out.resize(s.total_out);
  deflateEnd(&s);
  return out;
}

// 0: text-like words (what manuals and scripts look like); 1: this executable, repeated
// to 8 MiB (what program files look like).
const Sample& sample(int kind) {
  static const Sample samples[2] = {
      [] {
        std::mt19937 rng(1);
        static const char* words[] = {"actualizar ", "the ", "paquete ", "of ", "Vantriel ", "\n",
                                      "firma ", "1234 ", "zip ", "deflate ", "ventana ", "sesión "};
        std::string s;
        while (s.size() < (8u << 20)) s += words[rng() % 12];
        Sample out;
        out.plain.assign(s.begin(), s.end());
        out.packed = deflate_raw(out.plain, 6);
        return out;
      }(),
      [] {
        std::ifstream in("/proc/self/exe", std::ios::binary);
        std::ostringstream buf;
        buf << in.rdbuf();
        std::string s = buf.str();
        while (s.size() < (8u << 20)) s += s;
        s.resize(8u << 20);
        Sample out;
        out.plain.assign(s.begin(), s.end());
        out.packed = deflate_raw(out.plain, 6);
        return out;
      }()};
  return samples[kind];
}

void BM_Inflate_Ours(benchmark::State& state) {
  const Sample& s = sample(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    auto r = morvane::inflate(s.packed, s.plain.size());
    benchmark::DoNotOptimize(r);
    if (!r.ok() || r->size() != s.plain.size()) state.SkipWithError("inflate failed");
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * s.plain.size()));
}

void BM_Inflate_Zlib(benchmark::State& state) {
  const Sample& s = sample(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    // Same work as ours: a fresh output buffer of the announced size, one call.
    std::vector<uint8_t> out(s.plain.size());
    z_stream z{};
    inflateInit2(&z, -15);
    z.next_in = const_cast<uint8_t*>(s.packed.data());
    z.avail_in = static_cast<uInt>(s.packed.size());
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(out.size());
    const int ret = inflate(&z, Z_FINISH);
    inflateEnd(&z);
    benchmark::DoNotOptimize(out.data());
    if (ret != Z_STREAM_END) state.SkipWithError("zlib inflate failed");
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * s.plain.size()));
}

const std::vector<uint8_t>& hash_input() {
  static const std::vector<uint8_t> data = [] {
    std::vector<uint8_t> d(1 << 20);
    std::mt19937 rng(2);
    for (auto& b : d) b = static_cast<uint8_t>(rng());
    return d;
  }();
  return data;
}

void BM_Sha256_Ours(benchmark::State& state) {
  const auto& d = hash_input();
  for (auto _ : state) {
    morvane::Sha256 h;
    h.update(d.data(), d.size());
    benchmark::DoNotOptimize(h.finish());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * d.size()));
}

// The plain C++ block function alone, whatever the processor offers.
void BM_Sha256_Portable(benchmark::State& state) {
  const auto& d = hash_input();
  for (auto _ : state) {
    uint32_t words[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                         0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    morvane::internal::sha256_compress_portable(words, d.data(), d.size() / 64);
    benchmark::DoNotOptimize(words);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * d.size()));
}

void BM_Sha256_OpenSSL(benchmark::State& state) {
  const auto& d = hash_input();
  unsigned char md[32];
  for (auto _ : state) {
    SHA256(d.data(), d.size(), md);
    benchmark::DoNotOptimize(md);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * d.size()));
}

void BM_Sha512_Ours(benchmark::State& state) {
  const auto& d = hash_input();
  for (auto _ : state) {
    morvane::Sha512 h;
    h.update(d.data(), d.size());
    benchmark::DoNotOptimize(h.finish());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * d.size()));
}

void BM_Sha512_OpenSSL(benchmark::State& state) {
  const auto& d = hash_input();
  unsigned char md[64];
  for (auto _ : state) {
    SHA512(d.data(), d.size(), md);
    benchmark::DoNotOptimize(md);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * d.size()));
}

struct Signed {
  unsigned char pk[32], sk[64], sig[64];
  std::vector<uint8_t> message = std::vector<uint8_t>(256, 0x5A);
  Signed() {
    if (sodium_init() < 0) std::abort();
    crypto_sign_keypair(pk, sk);
    crypto_sign_detached(sig, nullptr, message.data(), message.size(), sk);
  }
};

const Signed& signed_message() {
  static const Signed s;
  return s;
}

void BM_Ed25519Verify_Ours(benchmark::State& state) {
  const Signed& s = signed_message();
  for (auto _ : state) {
    const bool ok = morvane::verify_signature(std::span<const uint8_t>(s.pk, 32), s.message,
                                              std::span<const uint8_t>(s.sig, 64));
    if (!ok) state.SkipWithError("not valid");
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}

void BM_Ed25519Verify_Libsodium(benchmark::State& state) {
  const Signed& s = signed_message();
  for (auto _ : state) {
    if (crypto_sign_verify_detached(s.sig, s.message.data(), s.message.size(), s.pk) != 0) {
      state.SkipWithError("not valid");
    }
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}

BENCHMARK(BM_Inflate_Ours)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Inflate_Zlib)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Sha256_Ours)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Sha256_Portable)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Sha256_OpenSSL)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Sha512_Ours)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Sha512_OpenSSL)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Ed25519Verify_Ours)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Ed25519Verify_Libsodium)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
