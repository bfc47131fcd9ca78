// The app that the update library updates: its names and web addresses. The library knows
// none of them; the app describes itself once and passes the description in.
#ifndef MORVANE_UPDATE_PRODUCT_H_
#define MORVANE_UPDATE_PRODUCT_H_

#include <string>

namespace morvane {

struct UpdateProduct {
  std::string app_id;            // the "app" a release document names, when it names one
  std::string display_name;      // the app's name in the installer's log
  std::string top_folder;        // the folder of a package that holds the app's files
  std::string manifest_url;      // where the release document is published
  std::string support_page_url;  // the page of a release that names none
};

}  // namespace morvane

#endif  // MORVANE_UPDATE_PRODUCT_H_
