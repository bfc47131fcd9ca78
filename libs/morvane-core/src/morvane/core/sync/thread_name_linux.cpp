#include <pthread.h>

#include "morvane/core/sync/thread_name.h"

namespace morvane {

void set_current_thread_name(std::string_view name) {
  constexpr std::size_t kMaxBytes = 15;  // TASK_COMM_LEN less the terminating NUL
  const std::string kept = thread_name_prefix(name, kMaxBytes);
  pthread_setname_np(pthread_self(), kept.c_str());
}

}  // namespace morvane
