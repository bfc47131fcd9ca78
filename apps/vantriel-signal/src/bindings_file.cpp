#include "bindings_file.h"

#include "log.h"

namespace vantriel::signal {

void BindingsFile::flush() {
  if (const std::string error = writer_.take_error(); !error.empty()) {
    log_line("bindings: " + error);
    store_.mark_dirty();
  }
  if (!store_.dirty()) return;
  std::string text = writer_.spare();
  store_.snapshot(text);
  writer_.write(std::move(text));
}

void BindingsFile::flush_now() {
  flush();
  writer_.drain();
  if (const std::string error = writer_.take_error(); !error.empty()) {
    log_line("bindings: " + error);
  }
}

}  // namespace vantriel::signal
