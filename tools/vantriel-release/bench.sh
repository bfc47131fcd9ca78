#!/usr/bin/env bash
# Builds the updater library's benchmark in Release and prints, from one run on this
# machine, our speed against the reference libraries on the same data:
#   inflate vs zlib, SHA-256 and SHA-512 vs OpenSSL, Ed25519 verify vs libsodium. The SHA
#   figures come twice: plain code against OpenSSL with the SHA instruction extensions
#   masked through OPENSSL_ia32cap, and what each runs on this processor (ours uses the
#   SHA-256 instructions where the processor has them, like OpenSSL).
# Figures only; nothing here passes or fails on time.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
build="${VANTRIEL_BENCH_BUILD:-$root/build/bench-update}"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVANTRIEL_BENCHMARKS=ON \
  -DBUILD_TESTING=OFF >/dev/null
cmake --build "$build" --target morvane_update_bench
bench="$build/bin/morvane_update_bench"

# Leaf 7 EBX bit 29 is the SHA extensions flag.
masked="$(mktemp)"
plain="$(mktemp)"
trap 'rm -f "$masked" "$plain"' EXIT
OPENSSL_ia32cap=":~0x20000000" "$bench" --benchmark_format=json --benchmark_min_time=0.5 >"$masked"
"$bench" --benchmark_filter='Sha' --benchmark_format=json --benchmark_min_time=0.5 >"$plain"

python3 - "$masked" "$plain" <<'PY'
import json, sys
def load(path):
    return {b["name"]: b for b in json.load(open(path))["benchmarks"]}
m, p = load(sys.argv[1]), load(sys.argv[2])
def rate(b, key):
    return b[key] / (2**20 if key == "bytes_per_second" else 1)
def line(label, ours, ref, key, unit, aim="aim >= 0.5"):
    a, b = rate(ours, key), rate(ref, key)
    print(f"{label:<44} ours {a:10.1f} {unit:<8} reference {b:10.1f} {unit:<8} ratio {a/b:5.2f}  ({aim})")
print("machine:", json.load(open(sys.argv[1]))["context"].get("host_name", "?"))
for arg, what in (("0", "text"), ("1", "program files")):
    line(f"inflate, {what} (vs zlib)", m[f"BM_Inflate_Ours/{arg}"], m[f"BM_Inflate_Zlib/{arg}"], "bytes_per_second", "MiB/s")
line("SHA-256 plain code (vs OpenSSL, masked)", m["BM_Sha256_Portable"], m["BM_Sha256_OpenSSL"], "bytes_per_second", "MiB/s")
line("SHA-512 (vs OpenSSL, SHA extensions masked)", m["BM_Sha512_Ours"], m["BM_Sha512_OpenSSL"], "bytes_per_second", "MiB/s")
line("Ed25519 verify (vs libsodium)", m["BM_Ed25519Verify_Ours"], m["BM_Ed25519Verify_Libsodium"], "items_per_second", "verif/s")
line("SHA-256 as used (vs OpenSSL, all extensions)", p["BM_Sha256_Ours"], p["BM_Sha256_OpenSSL"], "bytes_per_second", "MiB/s")
line("SHA-512 (vs OpenSSL, all extensions)", p["BM_Sha512_Ours"], p["BM_Sha512_OpenSSL"], "bytes_per_second", "MiB/s", "information")
PY
