#include "morvane/core/shell/app_window.h"

#include <mutex>

#include "morvane/core/shell/shell.h"

namespace morvane {
namespace {

// Lock order: launch lock, then URL lock; nothing takes them the other way round.
std::mutex& launch_mu() {
  static std::mutex mu;
  return mu;
}
std::mutex& url_mu() {
  static std::mutex mu;
  return mu;
}
std::string& url_text() {
  static std::string url;
  return url;
}

}  // namespace

void set_window_url(std::string url) {
  std::lock_guard<std::mutex> lock(url_mu());
  url_text() = std::move(url);
}

std::string window_url() {
  std::lock_guard<std::mutex> lock(url_mu());
  return url_text();
}

void open_app_window() {
  std::lock_guard<std::mutex> launch(launch_mu());
  std::string url = window_url();
  if (!url.empty()) shell_open(url);
}

}  // namespace morvane
