#include <cstdio>

#include "app_version.h"

int main() {
  std::printf("%s v%s\n", vantriel::kAppName, vantriel::kAppVersion);
  return 0;
}
