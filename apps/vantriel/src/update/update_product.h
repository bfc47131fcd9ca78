// The program as the update library sees it, from the names and addresses in
// main/app_version.h, and the User-Agent of its update requests.
#ifndef VANTRIEL_UPDATE_UPDATE_PRODUCT_H_
#define VANTRIEL_UPDATE_UPDATE_PRODUCT_H_

#include <string>

#include "main/app_version.h"
#include "morvane/update/product.h"

namespace vantriel {

inline morvane::UpdateProduct update_product() {
  return {.app_id = kAppId,
          .display_name = kAppName,
          .top_folder = kAppName,  // packages hold the program in a folder named after it
          .manifest_url = kReleaseManifestUrl,
          .support_page_url = kSupportPageUrl};
}

// "<name>/<version> (actualizaciones)".
inline std::string update_user_agent(const std::string& running_version) {
  return std::string(kAppName) + "/" + running_version + " (actualizaciones)";
}

}  // namespace vantriel

#endif  // VANTRIEL_UPDATE_UPDATE_PRODUCT_H_
