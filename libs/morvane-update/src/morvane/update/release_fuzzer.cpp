// The evaluation of a fetched release document on arbitrary bodies, with and without a
// key, against a running version taken from the input too.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "morvane/update/release.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view body(reinterpret_cast<const char*>(data), size);
  std::string_view running = "0.1.1";
  if (const size_t bar = body.find('|'); bar != std::string_view::npos && bar < 40) {
    running = body.substr(0, bar);
    body.remove_prefix(bar + 1);
  }
  const morvane::UpdateProduct product{.app_id = "vantriel",
                                       .support_page_url = "https://vantriel.app/support/"};
  morvane::UpdateKey key;
  key.fill(0x42);
  for (const bool with_key : {false, true}) {
    auto r = morvane::evaluate_release(200, body, running,
                                       with_key ? std::optional(key) : std::nullopt, product);
    if (auto* release = std::get_if<morvane::Release>(&r)) {
      (void)morvane::canonical_json(release->info);
      (void)morvane::package_matches(release->info, "00");
    }
  }
  (void)morvane::version_key(body.substr(0, 64));
  return 0;
}
