// libcurl. Time-outs follow WinHTTP's per-step meaning: resolve and connect within the
// time-out, and no stretch of the transfer without data longer than it. libcurl's error
// codes stand in for the system's; a time-out reports WinHTTP's 12002 so that callers
// and logs read the same on both platforms.
#include <curl/curl.h>

#include <algorithm>
#include <memory>
#include <mutex>

#include "morvane/core/web/http_get.h"

namespace morvane::internal {
namespace {

constexpr unsigned kTimeoutCode = 12002;

struct Transfer {
  const BodySink* sink = nullptr;
  std::string body;
  bool stopped = false;  // we ended the transfer on purpose: not an error
};

size_t on_data(char* data, size_t one, size_t count, void* user) {
  auto* transfer = static_cast<Transfer*>(user);
  size_t size = one * count;
  if (*transfer->sink) {
    if (!(*transfer->sink)(data, size)) {
      transfer->stopped = true;
      return size == 0 ? 1 : 0;  // anything but |size| ends the transfer
    }
    return size;
  }
  transfer->body.append(data, size);
  if (transfer->body.size() > kMaxBodyBytes) {
    transfer->stopped = true;
    return size == 0 ? 1 : 0;
  }
  return size;
}

Error network_error(CURLcode code) {
  unsigned number = code == CURLE_OPERATION_TIMEDOUT ? kTimeoutCode : static_cast<unsigned>(code);
  return make_error("error de red " + std::to_string(number));
}

struct CurlDeleter {
  void operator()(CURL* curl) const { curl_easy_cleanup(curl); }
};
struct ListDeleter {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};

}  // namespace

Result<HttpResponse> platform_http_get(const UrlParts& parts, const std::string& agent,
                                       const HttpHeaders& headers, uint32_t timeout_ms,
                                       const BodySink& sink) {
  static std::once_flag global_init;
  std::call_once(global_init, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });

  std::unique_ptr<CURL, CurlDeleter> curl(curl_easy_init());
  if (!curl) return network_error(CURLE_FAILED_INIT);
  CURL* c = curl.get();

  std::string url = std::string(parts.secure ? "https://" : "http://") + parts.host + ":" +
                    std::to_string(parts.port) + parts.path;
  std::unique_ptr<curl_slist, ListDeleter> list;
  for (const auto& [name, value] : headers) {
    curl_slist* grown = curl_slist_append(list.get(), (name + ": " + value).c_str());
    if (!grown) return network_error(CURLE_OUT_OF_MEMORY);
    (void)list.release();
    list.reset(grown);
  }

  Transfer transfer;
  transfer.sink = &sink;
  long seconds = static_cast<long>(std::max<uint32_t>(1, (timeout_ms + 999) / 1000));
  curl_easy_setopt(c, CURLOPT_URL, url.c_str());
  curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(c, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(c, CURLOPT_MAXREDIRS, 10L);
  curl_easy_setopt(c, CURLOPT_USERAGENT, agent.c_str());
  curl_easy_setopt(c, CURLOPT_HTTPHEADER, list.get());
  curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(timeout_ms));
  curl_easy_setopt(c, CURLOPT_LOW_SPEED_LIMIT, 1L);
  curl_easy_setopt(c, CURLOPT_LOW_SPEED_TIME, seconds);
  curl_easy_setopt(c, CURLOPT_BUFFERSIZE, static_cast<long>(kReadChunkBytes));
  curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);  // worker threads: no SIGALRM for resolving
  curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, on_data);
  curl_easy_setopt(c, CURLOPT_WRITEDATA, &transfer);

  CURLcode code = curl_easy_perform(c);
  if (code != CURLE_OK && !(code == CURLE_WRITE_ERROR && transfer.stopped)) {
    return network_error(code);
  }
  long status = 0;
  if (curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &status) != CURLE_OK) status = 0;
  HttpResponse response;
  response.status = static_cast<uint16_t>(status & 0xFFFF);
  response.body = std::move(transfer.body);
  return response;
}

}  // namespace morvane::internal
