#include <cstdio>
#include <filesystem>

#include "main/app_version.h"
#include "morvane/update/installer.h"
#include "main/command_line.h"
#include "main/lifecycle.h"
#include "update/update_product.h"

int main(int argc, char** argv) {
  using namespace vantriel;
  CommandLine cl = parse_command_line(command_line_arguments(argc, argv));
  if (cl.installer) {
    const InstallerArguments& a = *cl.installer;
    auto path = [](const std::string& utf8) {
      return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
    };
    morvane::apply_update({.source = path(a.first),
                           .install_folder = path(a.second),
                           .wait_pid = a.number,
                           .version = a.version.value_or(""),
                           .from_version = a.from_version.value_or(""),
                           .quiet = a.quiet,
                           .no_relaunch = a.no_relaunch,
                           .executable_file = kExecutableFile,
                           .product = update_product()});
    return 0;
  }
  if (cl.print_version) {
    std::printf("Vantriel v%s\n", kAppVersion);
    return 0;
  }
  return run_host(cl);
}
