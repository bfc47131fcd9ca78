// How "/api/update" and the status document reach the updater, which is built after this
// module: the updater registers its two entry points once it exists.
#ifndef VANTRIEL_HTTP_UPDATE_ROUTES_H_
#define VANTRIEL_HTTP_UPDATE_ROUTES_H_

#include <nlohmann/json.hpp>

namespace vantriel {

struct UpdateRoutes {
  nlohmann::ordered_json (*state)() = nullptr;
  nlohmann::ordered_json (*action)(const nlohmann::ordered_json& request) = nullptr;
};

// Callable from any thread; until it is called GET "/api/update" answers null and POST
// answers ok false.
void set_update_routes(UpdateRoutes routes);

}  // namespace vantriel

#endif  // VANTRIEL_HTTP_UPDATE_ROUTES_H_
