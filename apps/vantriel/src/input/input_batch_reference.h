// Test support: a remote input body read the slow, obvious way, through the generic JSON
// tree every other route reads (parse_body). The fast reader must agree with it on every
// text.
#ifndef VANTRIEL_INPUT_INPUT_BATCH_REFERENCE_H_
#define VANTRIEL_INPUT_INPUT_BATCH_REFERENCE_H_

#include <algorithm>
#include <climits>
#include <string_view>

#include <nlohmann/json.hpp>

#include "base/json_body.h"
#include "input/input_batch.h"

namespace vantriel::testing {

inline InputBatch reference_input_batch(std::string_view body) {
  using Json = nlohmann::ordered_json;
  using Kind = InputEvent::Kind;
  InputBatch batch;
  const Json doc = parse_body(body);
  if (!doc.is_object()) return batch;
  if (auto mon = doc.find("mon"); mon != doc.end() && mon->is_number_unsigned()) {
    batch.monitor = static_cast<int>(std::min<uint64_t>(mon->get<uint64_t>(), INT_MAX));
  }
  const auto ev = doc.find("ev");
  if (ev == doc.end() || !ev->is_array()) return batch;
  const auto integer = [](const Json& v) -> std::optional<int64_t> {
    if (!v.is_number_integer()) return std::nullopt;
    if (v.is_number_unsigned()) {
      return std::min<uint64_t>(v.get<uint64_t>(), static_cast<uint64_t>(INT64_MAX));
    }
    return v.get<int64_t>();
  };
  for (size_t n = 0; n < std::min(ev->size(), kMaxEventsPerBatch); ++n) {
    const Json& e = (*ev)[n];
    InputEvent& event = batch.events.emplace_back();
    if (!e.is_object()) continue;
    for (const auto& [key, value] : e.items()) {
      if (key == "k" && value.is_string()) {
        const std::string k = value.get<std::string>();
        event.kind = k == "m"     ? Kind::kMove
                     : k == "d"   ? Kind::kButtonDown
                     : k == "u"   ? Kind::kButtonUp
                     : k == "w"   ? Kind::kWheel
                     : k == "kd"  ? Kind::kKeyDown
                     : k == "ku"  ? Kind::kKeyUp
                     : k == "t"   ? Kind::kText
                     : k == "rel" ? Kind::kReleaseAll
                                  : Kind::kIgnored;
      }
      if ((key == "x" || key == "y") && value.is_number()) {
        (key == "x" ? event.x : event.y) = value.get<double>();
      }
      if (key == "b") event.button = integer(value);
      if (key == "dx") event.wheel_x = integer(value);
      if (key == "dy") event.wheel_y = integer(value);
      if ((key == "c" || key == "s") && value.is_string()) {
        (key == "c" ? event.code : event.text) = value.get<std::string>();
      }
    }
  }
  return batch;
}

}  // namespace vantriel::testing

#endif  // VANTRIEL_INPUT_INPUT_BATCH_REFERENCE_H_
