#include "http/reply.h"

namespace vantriel {

HttpReply reply_json(const nlohmann::ordered_json& value) {
  return reply_text(value.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace),
                    "application/json; charset=utf-8", 200);
}

HttpReply reply_text(std::string text, std::string content_type, int status) {
  HttpReply reply;
  reply.status = status;
  reply.content_type = std::move(content_type);
  reply.cache_control = "no-store";
  reply.body = std::make_shared<const std::string>(std::move(text));
  return reply;
}

HttpReply reply_file(std::shared_ptr<const std::string> bytes, std::string content_type) {
  HttpReply reply;
  reply.status = 200;
  reply.content_type = std::move(content_type);
  reply.cache_control = "max-age=86400";
  reply.body = std::move(bytes);
  return reply;
}

HttpReply reply_not_local() { return reply_text("solo local", "text/plain", 403); }

HttpReply reply_bad_token() {
  return reply_text("{\"ok\":false,\"msg\":\"token inv\xC3\xA1lido\"}", "application/json", 403);
}

HttpReply reply_not_found() {
  return reply_text("{\"error\":\"no encontrado\"}", "application/json", 404);
}

HttpReply reply_method_not_allowed() { return reply_text("", "text/plain", 405); }

}  // namespace vantriel
