// Builders for every kind of reply the local server sends.
#ifndef VANTRIEL_HTTP_REPLY_H_
#define VANTRIEL_HTTP_REPLY_H_

#include <memory>
#include <string>

#include <nlohmann/json.hpp>

#include "http/http_message.h"

namespace vantriel {

// 200, "application/json; charset=utf-8", "no-store", compact JSON in member order.
HttpReply reply_json(const nlohmann::ordered_json& value);
// The caller's status and content type, "no-store".
HttpReply reply_text(std::string text, std::string content_type, int status);
// 200, the caller's content type, cached for a day; the bytes are shared, not copied.
HttpReply reply_file(std::shared_ptr<const std::string> bytes, std::string content_type);

// The fixed refusals, byte for byte.
HttpReply reply_not_local();          // 403 "solo local"
HttpReply reply_bad_token();          // 403 {"ok":false,"msg":"token inválido"}
HttpReply reply_not_found();          // 404 {"error":"no encontrado"}
HttpReply reply_method_not_allowed(); // 405, empty body

}  // namespace vantriel

#endif  // VANTRIEL_HTTP_REPLY_H_
