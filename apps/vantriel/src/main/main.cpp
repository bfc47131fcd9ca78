#include <cstdio>

#include "app_version.h"
#include "main/command_line.h"
#include "main/lifecycle.h"

int main(int argc, char** argv) {
  using namespace vantriel;
  CommandLine cl = parse_command_line(command_line_arguments(argc, argv));
  if (cl.installer) {
    // The installer of downloaded updates arrives with the updater; until then there is
    // nothing to install, so the process ends as the installer would after a no-op.
    std::fprintf(stderr, "%s: this build cannot install updates\n", kAppName);
    return 0;
  }
  if (cl.print_version) {
    std::printf("Vantriel v%s\n", kAppVersion);
    return 0;
  }
  return run_host(cl);
}
