// One host per data folder. The running host records its port, process id and version
// in "instancia.json"; a second start probes that port and, when a host answers there,
// shows that host's window instead of starting another server.
#ifndef VANTRIEL_HOST_INSTANCE_H_
#define VANTRIEL_HOST_INSTANCE_H_

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include "base/data_folder.h"
#include "morvane/core/result.h"

namespace vantriel {

// Records this host's port; an error when the record could not be written (a second start
// then cannot find this host).
morvane::Status write_instance_record(const DataFolder& folder, std::uint16_t port);

// Deletes the record when it names this process.
void remove_instance_record(const DataFolder& folder);

// Whether another host of the data folder `data_folder` answered (it has then been asked
// to show its window). With `startup` false, a version different from ours is reported
// in a message box first. Runs before this process's host exists.
bool probe_running_instance(const std::filesystem::path& data_folder, bool startup);

// One HTTP/1.0 GET of `path` to 127.0.0.1:`port`: the raw reply (status line, headers,
// body; invalid UTF-8 replaced), or nothing when connecting or sending failed.
std::optional<std::string> probe_local(std::uint16_t port, const std::string& path);

// This process's id.
std::uint64_t current_process_id();

}  // namespace vantriel

#endif  // VANTRIEL_HOST_INSTANCE_H_
