// The name the operating system shows for a thread (top -H, ps -L, debuggers, crash
// dumps), so that a busy or stuck thread can be told apart from its siblings.
#ifndef MORVANE_CORE_SYNC_THREAD_NAME_H_
#define MORVANE_CORE_SYNC_THREAD_NAME_H_

#include <string>
#include <string_view>

namespace morvane {

// Names the calling thread. Linux keeps 15 bytes of it (cut at a whole UTF-8 character);
// Windows keeps it whole. Best effort: a system that refuses leaves the old name.
void set_current_thread_name(std::string_view name);

// The first at most `max_bytes` bytes of `name`, not splitting a UTF-8 character.
std::string thread_name_prefix(std::string_view name, std::size_t max_bytes);

}  // namespace morvane

#endif  // MORVANE_CORE_SYNC_THREAD_NAME_H_
