// Starting programs on Linux that the host neither waits for nor keeps as children.
#ifndef MORVANE_CORE_SHELL_SPAWN_LINUX_H_
#define MORVANE_CORE_SHELL_SPAWN_LINUX_H_

#include <string>
#include <vector>

namespace morvane {

// Starts `program` (searched on PATH when `search_path`) with `arguments`, in a session of
// its own, with /dev/null for its standard streams and no other descriptor of this
// process. The program is the grandchild of a short-lived child that
// is reaped here before the call returns, so it belongs to init (or the session's
// subreaper) and never becomes a zombie of ours: no SIGCHLD handler, no reaper thread.
// `environment` holds "NAME=value" entries that replace or join this process's own.
// `pass` names descriptors of this process that the program gets as 3, 4, ... in order
// (a DevTools pipe, say); they may be close-on-exec here.
// Returns 0 when the program runs, otherwise the error number of the failed start.
int spawn_unowned(const std::string& program, const std::vector<std::string>& arguments,
                  bool search_path, const std::vector<std::string>& environment = {},
                  const std::vector<int>& pass = {});

}  // namespace morvane

#endif  // MORVANE_CORE_SHELL_SPAWN_LINUX_H_
