// vantriel-signal: the signalling server that introduces hosts, technicians and call
// members. Configuration comes from switches and VTR_SIGNAL_* variables.
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>

#include "config.h"
#include "fd_limit.h"
#include "log.h"
#include "redis_shared.h"
#include "redis_stream.h"
#include "server.h"
#include "version.h"

int main(int argc, char** argv) {
  using namespace vantriel::signal;
  std::vector<std::string> args(argv + 1, argv + argc);
  auto config = parse_config(args, [](const std::string& name) -> std::optional<std::string> {
    const char* v = std::getenv(name.c_str());
    if (v == nullptr) return std::nullopt;
    return std::string(v);
  });
  if (!config) {
    std::fprintf(stderr, "%s\n", config.error().c_str());
    return 2;
  }
  log_line(std::string("vantriel-signal ") + kVersion + " starting");
  std::istringstream lines(describe_config(*config));
  for (std::string line; std::getline(lines, line);) log_line("  " + line);
  log_line(raise_open_file_limit());
  if (!config->import_bindings.empty()) {
    // A one-shot copy of a data file into Redis; no server runs.
    auto tls = RedisTls::make(*config);
    if (!tls) {
      log_line("redis: " + tls.error());
      log_line("not starting");
      return 1;
    }
    auto imported = RedisShared::import_bindings(*config, *tls);
    log_line(imported ? *imported : "import failed: " + imported.error());
    return imported ? 0 : 1;
  }
  Server server(*config);
  if (auto failed = server.open()) {
    log_line(failed->message);
    log_line("not starting");
    return failed->exit_code;
  }
  server.run();
  return 0;
}
