#include <windows.h>

#include "base/random.h"

// RtlGenRandom, exported by advapi32 under this name.
extern "C" BOOLEAN NTAPI SystemFunction036(PVOID buffer, ULONG length);

namespace vantriel {

bool os_random_bytes(void* out, std::size_t n) {
  auto* p = static_cast<unsigned char*>(out);
  while (n > 0) {
    const ULONG chunk = n > 0x10000000u ? 0x10000000u : static_cast<ULONG>(n);
    if (!SystemFunction036(p, chunk)) return false;
    p += chunk;
    n -= chunk;
  }
  return true;
}

}  // namespace vantriel
