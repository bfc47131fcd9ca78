// The tray on Linux: a StatusNotifierItem with a com.canonical.dbusmenu menu on the
// session bus, registered with the tray host's org.kde.StatusNotifierWatcher, and balloons
// as org.freedesktop.Notifications. Spoken over sd-bus directly: no toolkit main loop in
// the host, which stays a small idle process.
//
// Threads: "tray" owns the bus connection and every call on it (sd-bus objects are not
// thread-safe); other threads reach it through the wake descriptor. "window watch" runs
// the WindowWatcher every 2 s; "tray action" threads run the app's operations.
#include <poll.h>
#include <sys/eventfd.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <ctime>
#include <filesystem>
#include <optional>
#include <thread>
#include <utility>

#include "morvane/core/sync/mutex.h"
#include "morvane/core/sync/thread_name.h"
#include "morvane/core/tray/tray.h"
#include "morvane/core/tray/tray_threads.h"

namespace morvane {
namespace {

constexpr const char* kItemPath = "/StatusNotifierItem";
constexpr const char* kItemInterface = "org.kde.StatusNotifierItem";
constexpr const char* kMenuPath = "/MenuBar";
constexpr const char* kMenuInterface = "com.canonical.dbusmenu";
constexpr const char* kWatcherName = "org.kde.StatusNotifierWatcher";
constexpr const char* kWatcherPath = "/StatusNotifierWatcher";
constexpr const char* kNotifyName = "org.freedesktop.Notifications";
constexpr const char* kNotifyPath = "/org/freedesktop/Notifications";

constexpr std::size_t kTipUnits = 127;
constexpr std::size_t kTitleUnits = 63;
constexpr std::size_t kTextUnits = 255;

// dbusmenu takes "_" as the mark of a mnemonic; a literal one is doubled.
std::string menu_label(std::string_view text) {
  std::string out;
  for (char c : text) {
    if (c == '_') out.push_back('_');
    out.push_back(c);
  }
  return out;
}

// Notification bodies may be markup where the server says so: the text is the app's or a
// peer's, never markup of ours.
std::string markup_escaped(std::string_view text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      default:
        out.push_back(c);
    }
  }
  return out;
}

// dbusmenu ids: the separators need ids of their own, apart from the command ids.
int menu_id(const TrayMenuItem& item, std::size_t index) {
  return item.kind == TrayMenuItem::Kind::kSeparator ? 100 + static_cast<int>(index) : item.id;
}

bool same_menu(const std::vector<TrayMenuItem>& a, const std::vector<TrayMenuItem>& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (a[i].kind != b[i].kind || a[i].id != b[i].id || a[i].text != b[i].text ||
        a[i].enabled != b[i].enabled || a[i].checked != b[i].checked) {
      return false;
    }
  }
  return true;
}

class LinuxTray final : public Tray {
 public:
  explicit LinuxTray(TrayConfig config)
      : config_(std::move(config)),
        watcher_(config_),
        wake_fd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    // Thread: "tray", the bus connection's owner.
    thread_ = std::thread([this] {
      morvane::set_current_thread_name("tray");
      run();
    });
    watch_ = std::make_unique<PeriodicThread>(std::chrono::seconds(2), [this] { watch(); });
  }

  ~LinuxTray() override {
    watch_->stop();
    close();
    if (thread_.joinable()) thread_.join();
    actions_.join_all();
    if (wake_fd_ >= 0) ::close(wake_fd_);
  }

  void show_balloon(const std::string& title, const std::string& text) override {
    {
      morvane::MutexLock lock(mu_);
      balloon_ = {cut_to_utf16_units(title, kTitleUnits), cut_to_utf16_units(text, kTextUnits)};
    }
    wake();
  }

  void close() override {
    {
      morvane::MutexLock lock(mu_);
      closing_ = true;
    }
    wake();
  }

  bool visible() const override { return visible_.load(); }

 private:
  // --- any thread ---
  void wake() {
    const std::uint64_t one = 1;
    if (wake_fd_ >= 0) [[maybe_unused]]
      auto n = write(wake_fd_, &one, sizeof one);
  }

  void run_action(std::function<void()> job) { actions_.run(std::move(job)); }

  void menu_changed() {
    menu_dirty_.store(true);
    wake();
  }

  // --- window watch thread ---
  void watch() {
    const bool shown = watcher_.check(
        visible(), [this](const std::string& title, const std::string& text) { show_balloon(title, text); });
    if (shown_.exchange(shown) != shown) menu_changed();
  }

  // --- tray thread ---
  void run() {
    if (wake_fd_ < 0) return;
    connect();
    while (true) {
      if (bus_ != nullptr) {
        int r;
        while ((r = sd_bus_process(bus_, nullptr)) > 0) {
        }
        if (r < 0) disconnect();  // the bus went away: no icon, no balloons from now on
      }
      std::optional<std::pair<std::string, std::string>> balloon;
      {
        morvane::MutexLock lock(mu_);
        if (closing_) break;
        if (bus_ != nullptr) balloon.swap(balloon_);
      }
      if (balloon) send_balloon(std::move(*balloon));
      if (menu_dirty_.exchange(false)) update_menu();
      wait();
    }
    disconnect();
  }

  // Tells the tray host when the menu has changed while it is closed, so that a host that
  // keeps the layout never shows a stale one.
  void update_menu() {
    if (bus_ != nullptr && refresh_menu()) {
      sd_bus_emit_signal(bus_, kMenuPath, kMenuInterface, "LayoutUpdated", "ui", revision_, 0);
    }
  }

  void wait() {
    pollfd fds[2] = {{wake_fd_, POLLIN, 0}, {-1, 0, 0}};
    int timeout_ms = -1;
    if (bus_ != nullptr) {
      fds[1].fd = sd_bus_get_fd(bus_);
      fds[1].events = static_cast<short>(sd_bus_get_events(bus_));
      std::uint64_t until = 0;
      if (sd_bus_get_timeout(bus_, &until) >= 0 && until != UINT64_MAX) {
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        const std::uint64_t now_us = static_cast<std::uint64_t>(now.tv_sec) * 1000000u +
                                     static_cast<std::uint64_t>(now.tv_nsec) / 1000u;
        timeout_ms = until <= now_us ? 0 : static_cast<int>((until - now_us + 999) / 1000);
      }
    }
    if (poll(fds, 2, timeout_ms) > 0 && (fds[0].revents & POLLIN)) {
      std::uint64_t count = 0;
      [[maybe_unused]] auto n = read(wake_fd_, &count, sizeof count);
    }
  }

  void connect() {
    if (sd_bus_open_user(&bus_) < 0) {
      bus_ = nullptr;
      return;
    }
    item_name_ = "org.kde.StatusNotifierItem-" + std::to_string(getpid()) + "-1";
    if (sd_bus_add_object_vtable(bus_, nullptr, kItemPath, kItemInterface, kItemVtable, this) < 0 ||
        sd_bus_add_object_vtable(bus_, nullptr, kMenuPath, kMenuInterface, kMenuVtable, this) < 0 ||
        sd_bus_request_name(bus_, item_name_.c_str(), 0) < 0) {
      sd_bus_flush_close_unref(bus_);
      bus_ = nullptr;
      return;
    }
    // The tray host may come (or come back) later: its watcher's name appearing is the
    // cue to register again, as a restarted taskbar is on Windows.
    sd_bus_add_match(bus_, nullptr,
                     "type='signal',sender='org.freedesktop.DBus',interface='org.freedesktop.DBus',"
                     "member='NameOwnerChanged',arg0='org.kde.StatusNotifierWatcher'",
                     &LinuxTray::on_watcher_owner, this);
    refresh_menu();
    register_item();
  }

  void disconnect() {
    if (bus_ == nullptr) return;
    sd_bus_release_name(bus_, item_name_.c_str());
    sd_bus_flush_close_unref(bus_);
    bus_ = nullptr;
    visible_.store(false);
  }

  void register_item() {
    sd_bus_call_method_async(bus_, nullptr, kWatcherName, kWatcherPath, kWatcherName,
                             "RegisterStatusNotifierItem", &LinuxTray::on_registered, this, "s",
                             item_name_.c_str());
  }

  static int on_registered(sd_bus_message* reply, void* self, sd_bus_error*) {
    // No watcher (no tray host) answers with an error: no icon.
    static_cast<LinuxTray*>(self)->visible_.store(!sd_bus_message_is_method_error(reply, nullptr));
    return 0;
  }

  static int on_watcher_owner(sd_bus_message* m, void* userdata, sd_bus_error*) {
    auto* self = static_cast<LinuxTray*>(userdata);
    const char *name = nullptr, *old_owner = nullptr, *new_owner = nullptr;
    if (sd_bus_message_read(m, "sss", &name, &old_owner, &new_owner) < 0) return 0;
    if (new_owner != nullptr && *new_owner != '\0') {
      self->register_item();
    } else {
      self->visible_.store(false);
    }
    return 0;
  }

  // Rebuilds the menu from the shown flag and a fresh start-at-log-on check (the one
  // operation that runs on this thread, as on Windows when the menu opens). Returns
  // whether it changed, and if so moves the layout's revision on.
  bool refresh_menu() {
    const bool startup = config_.is_startup_enabled && config_.is_startup_enabled();
    auto items = tray_menu(config_, shown_.load(), startup);
    if (same_menu(items, menu_)) return false;
    menu_ = std::move(items);
    ++revision_;
    return true;
  }

  void send_balloon(std::pair<std::string, std::string> balloon) {
    // The server's capabilities first, each time: a notification service may start, stop
    // or be replaced while the program runs, and only one that takes markup needs the
    // text escaped.
    const bool in_flight = waiting_balloon_.has_value();
    waiting_balloon_ = std::move(balloon);
    if (in_flight) return;
    if (sd_bus_call_method_async(bus_, nullptr, kNotifyName, kNotifyPath, kNotifyName,
                                 "GetCapabilities", &LinuxTray::on_capabilities, this, "") < 0) {
      waiting_balloon_.reset();
    }
  }

  static int on_capabilities(sd_bus_message* reply, void* userdata, sd_bus_error*) {
    auto* self = static_cast<LinuxTray*>(userdata);
    auto balloon = std::exchange(self->waiting_balloon_, std::nullopt);
    if (!balloon || self->bus_ == nullptr) return 0;
    bool markup = false;
    if (!sd_bus_message_is_method_error(reply, nullptr) &&
        sd_bus_message_enter_container(reply, 'a', "s") > 0) {
      const char* cap = nullptr;
      while (sd_bus_message_read(reply, "s", &cap) > 0) {
        if (std::string_view(cap) == "body-markup") markup = true;
      }
      sd_bus_message_exit_container(reply);
    }
    const std::string body = markup ? markup_escaped(balloon->second) : balloon->second;
    sd_bus_call_method_async(self->bus_, nullptr, kNotifyName, kNotifyPath, kNotifyName, "Notify",
                             nullptr, nullptr, "susssasa{sv}i", self->config_.name.c_str(),
                             std::uint32_t{0}, self->icon_name(false).c_str(),
                             balloon->first.c_str(), body.c_str(), 0, 0, std::int32_t{-1});
    return 0;
  }

  std::string icon_name(bool for_tray) const {
    std::error_code ec;
    if (!config_.icon_path.empty() && std::filesystem::is_regular_file(config_.icon_path, ec)) {
      return std::filesystem::absolute(config_.icon_path, ec).string();
    }
    // The generic application icon, as Windows falls back to IDI_APPLICATION.
    return for_tray ? "application-x-executable" : "";
  }

  // --- org.kde.StatusNotifierItem ---
  static int item_property(sd_bus*, const char*, const char*, const char* property,
                           sd_bus_message* reply, void* userdata, sd_bus_error*) {
    auto* self = static_cast<LinuxTray*>(userdata);
    const std::string_view p = property;
    if (p == "Category") return sd_bus_message_append(reply, "s", "ApplicationStatus");
    if (p == "Id" || p == "Title")
      return sd_bus_message_append(reply, "s", self->config_.name.c_str());
    if (p == "Status") return sd_bus_message_append(reply, "s", "Active");
    if (p == "WindowId") return sd_bus_message_append(reply, "i", 0);
    if (p == "IconName") return sd_bus_message_append(reply, "s", self->icon_name(true).c_str());
    if (p == "ItemIsMenu") return sd_bus_message_append(reply, "b", 0);
    if (p == "Menu") return sd_bus_message_append(reply, "o", kMenuPath);
    if (p == "IconPixmap" || p == "AttentionIconPixmap") {
      return sd_bus_message_append(reply, "a(iiay)", 0);
    }
    if (p == "ToolTip") {
      const std::string tip = cut_to_utf16_units(self->config_.tip, kTipUnits);
      return sd_bus_message_append(reply, "(sa(iiay)ss)", "", 0, tip.c_str(), "");
    }
    return sd_bus_message_append(reply, "s", "");  // the overlay and attention names
  }

  // A click on the icon: what a double click does on Windows.
  static int item_activate(sd_bus_message* m, void* userdata, sd_bus_error*) {
    auto* self = static_cast<LinuxTray*>(userdata);
    self->run_action(self->config_.show);
    return sd_bus_reply_method_return(m, "");
  }

  static int item_ignore(sd_bus_message* m, void*, sd_bus_error*) {
    return sd_bus_reply_method_return(m, "");
  }

  static const sd_bus_vtable kItemVtable[];

  // --- com.canonical.dbusmenu ---
  int append_item(sd_bus_message* reply, std::size_t index) const {
    const TrayMenuItem& item = menu_[index];
    int r = sd_bus_message_open_container(reply, 'r', "ia{sv}av");
    if (r >= 0) r = sd_bus_message_append(reply, "i", menu_id(item, index));
    if (r >= 0) r = append_properties(reply, item);
    if (r >= 0) r = sd_bus_message_append(reply, "av", 0);
    if (r >= 0) r = sd_bus_message_close_container(reply);
    return r;
  }

  static int append_properties(sd_bus_message* reply, const TrayMenuItem& item) {
    int r = sd_bus_message_open_container(reply, 'a', "{sv}");
    if (item.kind == TrayMenuItem::Kind::kSeparator) {
      if (r >= 0) r = sd_bus_message_append(reply, "{sv}", "type", "s", "separator");
    } else {
      const std::string label = menu_label(item.text);
      if (r >= 0) r = sd_bus_message_append(reply, "{sv}", "label", "s", label.c_str());
      if (r >= 0) r = sd_bus_message_append(reply, "{sv}", "enabled", "b", item.enabled ? 1 : 0);
      if (item.id == 5 && r >= 0) {
        r = sd_bus_message_append(reply, "{sv}", "toggle-type", "s", "checkmark");
        if (r >= 0)
          r = sd_bus_message_append(reply, "{sv}", "toggle-state", "i", item.checked ? 1 : 0);
      }
    }
    if (r >= 0) r = sd_bus_message_close_container(reply);
    return r;
  }

  std::optional<std::size_t> index_of(int id) const {
    for (std::size_t i = 0; i < menu_.size(); ++i) {
      if (menu_id(menu_[i], i) == id) return i;
    }
    return std::nullopt;
  }

  static int menu_get_layout(sd_bus_message* m, void* userdata, sd_bus_error* error) {
    auto* self = static_cast<LinuxTray*>(userdata);
    std::int32_t parent = 0, depth = 0;
    if (sd_bus_message_read(m, "ii", &parent, &depth) < 0) return -EINVAL;
    std::optional<std::size_t> only;
    if (parent != 0) {
      only = self->index_of(parent);
      if (!only) return sd_bus_error_set(error, SD_BUS_ERROR_INVALID_ARGS, "unknown menu item");
    }
    sd_bus_message* reply = nullptr;
    int r = sd_bus_message_new_method_return(m, &reply);
    if (r >= 0) r = sd_bus_message_append(reply, "u", self->revision_);
    if (only) {
      if (r >= 0) r = self->append_item(reply, *only);
    } else {
      if (r >= 0) r = sd_bus_message_open_container(reply, 'r', "ia{sv}av");
      if (r >= 0)
        r = sd_bus_message_append(reply, "ia{sv}", 0, 1, "children-display", "s", "submenu");
      if (r >= 0) r = sd_bus_message_open_container(reply, 'a', "v");
      for (std::size_t i = 0; r >= 0 && i < self->menu_.size() && depth != 0; ++i) {
        r = sd_bus_message_open_container(reply, 'v', "(ia{sv}av)");
        if (r >= 0) r = self->append_item(reply, i);
        if (r >= 0) r = sd_bus_message_close_container(reply);
      }
      if (r >= 0) r = sd_bus_message_close_container(reply);
      if (r >= 0) r = sd_bus_message_close_container(reply);
    }
    if (r >= 0) r = sd_bus_send(nullptr, reply, nullptr);
    sd_bus_message_unref(reply);
    return r;
  }

  static int menu_get_group_properties(sd_bus_message* m, void* userdata, sd_bus_error*) {
    auto* self = static_cast<LinuxTray*>(userdata);
    std::vector<std::int32_t> ids;
    int r = sd_bus_message_enter_container(m, 'a', "i");
    std::int32_t id = 0;
    while (r > 0 && (r = sd_bus_message_read(m, "i", &id)) > 0) ids.push_back(id);
    if (r < 0) return r;
    sd_bus_message_exit_container(m);
    sd_bus_message* reply = nullptr;
    r = sd_bus_message_new_method_return(m, &reply);
    if (r >= 0) r = sd_bus_message_open_container(reply, 'a', "(ia{sv})");
    for (std::size_t k = 0; r >= 0 && k < ids.size(); ++k) {
      auto index = self->index_of(ids[k]);
      if (!index) continue;
      r = sd_bus_message_open_container(reply, 'r', "ia{sv}");
      if (r >= 0) r = sd_bus_message_append(reply, "i", ids[k]);
      if (r >= 0) r = append_properties(reply, self->menu_[*index]);
      if (r >= 0) r = sd_bus_message_close_container(reply);
    }
    if (r >= 0) r = sd_bus_message_close_container(reply);
    if (r >= 0) r = sd_bus_send(nullptr, reply, nullptr);
    sd_bus_message_unref(reply);
    return r;
  }

  static int menu_get_property(sd_bus_message* m, void* userdata, sd_bus_error* error) {
    auto* self = static_cast<LinuxTray*>(userdata);
    std::int32_t id = 0;
    const char* name = nullptr;
    if (sd_bus_message_read(m, "is", &id, &name) < 0) return -EINVAL;
    auto index = self->index_of(id);
    if (!index) return sd_bus_error_set(error, SD_BUS_ERROR_INVALID_ARGS, "unknown menu item");
    const TrayMenuItem& item = self->menu_[*index];
    const std::string_view p = name;
    if (p == "label") return sd_bus_reply_method_return(m, "v", "s", menu_label(item.text).c_str());
    if (p == "enabled") return sd_bus_reply_method_return(m, "v", "b", item.enabled ? 1 : 0);
    if (p == "toggle-state") return sd_bus_reply_method_return(m, "v", "i", item.checked ? 1 : 0);
    return sd_bus_error_set(error, SD_BUS_ERROR_INVALID_ARGS, "unknown property");
  }

  // What a menu choice does; the operations run on action threads, never here.
  void activate(int id) {
    switch (id) {
      case 2:
        shown_.store(true);
        update_menu();
        run_action(config_.show);
        break;
      case 3:
        shown_.store(false);
        update_menu();
        run_action(config_.hide);
        break;
      case 5:
        run_action([this] {
          const bool enabled = config_.is_startup_enabled && config_.is_startup_enabled();
          const std::string text = config_.set_startup ? config_.set_startup(!enabled) : "";
          show_balloon(config_.name, text);
          menu_changed();
        });
        break;
      case 9:
        run_action(config_.exit);
        break;
      default:
        break;
    }
  }

  static int menu_event(sd_bus_message* m, void* userdata, sd_bus_error*) {
    auto* self = static_cast<LinuxTray*>(userdata);
    std::int32_t id = 0;
    const char* event = nullptr;
    if (sd_bus_message_read(m, "is", &id, &event) < 0) return -EINVAL;
    const std::string_view what = event;
    if (what == "clicked") {
      self->activate(id);
    } else if (what == "opened" && id == 0) {
      self->update_menu();  // hosts that announce the opening instead of asking AboutToShow
    }
    return sd_bus_reply_method_return(m, "");
  }

  static int menu_event_group(sd_bus_message* m, void* userdata, sd_bus_error*) {
    auto* self = static_cast<LinuxTray*>(userdata);
    int r = sd_bus_message_enter_container(m, 'a', "(isvu)");
    while (r > 0 && (r = sd_bus_message_enter_container(m, 'r', "isvu")) > 0) {
      std::int32_t id = 0;
      const char* event = nullptr;
      if (sd_bus_message_read(m, "is", &id, &event) < 0) return -EINVAL;
      if (std::string_view(event) == "clicked") self->activate(id);
      sd_bus_message_skip(m, "vu");
      sd_bus_message_exit_container(m);
    }
    if (r < 0) return r;
    return sd_bus_reply_method_return(m, "ai", 0);
  }

  static int menu_about_to_show(sd_bus_message* m, void* userdata, sd_bus_error*) {
    auto* self = static_cast<LinuxTray*>(userdata);
    std::int32_t id = 0;
    if (sd_bus_message_read(m, "i", &id) < 0) return -EINVAL;
    const bool changed = id == 0 && self->refresh_menu();
    return sd_bus_reply_method_return(m, "b", changed ? 1 : 0);
  }

  static int menu_about_to_show_group(sd_bus_message* m, void* userdata, sd_bus_error*) {
    auto* self = static_cast<LinuxTray*>(userdata);
    bool root = false;
    int r = sd_bus_message_enter_container(m, 'a', "i");
    std::int32_t id = 0;
    while (r > 0 && (r = sd_bus_message_read(m, "i", &id)) > 0) root = root || id == 0;
    if (r < 0) return r;
    const bool changed = root && self->refresh_menu();
    if (changed) return sd_bus_reply_method_return(m, "aiai", 1, 0, 0);
    return sd_bus_reply_method_return(m, "aiai", 0, 0);
  }

  static int menu_property(sd_bus*, const char*, const char*, const char* property,
                           sd_bus_message* reply, void*, sd_bus_error*) {
    const std::string_view p = property;
    if (p == "Version") return sd_bus_message_append(reply, "u", 3);
    if (p == "TextDirection") return sd_bus_message_append(reply, "s", "ltr");
    if (p == "Status") return sd_bus_message_append(reply, "s", "normal");
    return sd_bus_message_append(reply, "as", 0);  // IconThemePath
  }

  static const sd_bus_vtable kMenuVtable[];

  const TrayConfig config_;
  WindowWatcher watcher_;  // used on the window watch thread only
  const int wake_fd_;

  morvane::Mutex mu_;
  std::optional<std::pair<std::string, std::string>> balloon_ GUARDED_BY(mu_);
  bool closing_ GUARDED_BY(mu_) = false;

  std::atomic<bool> shown_{false};  // the watcher's and the menu's last word on the window
  std::atomic<bool> menu_dirty_{false};
  std::atomic<bool> visible_{false};

  // Owned by the tray thread.
  sd_bus* bus_ = nullptr;
  std::string item_name_;
  std::vector<TrayMenuItem> menu_;
  std::uint32_t revision_ = 0;
  std::optional<std::pair<std::string, std::string>> waiting_balloon_;

  ActionThreads actions_;
  std::thread thread_;
  std::unique_ptr<PeriodicThread> watch_;
};

const sd_bus_vtable LinuxTray::kItemVtable[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_PROPERTY("Category", "s", &LinuxTray::item_property, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_PROPERTY("Id", "s", &LinuxTray::item_property, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_PROPERTY("Title", "s", &LinuxTray::item_property, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_PROPERTY("Status", "s", &LinuxTray::item_property, 0, 0),
    SD_BUS_PROPERTY("WindowId", "i", &LinuxTray::item_property, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_PROPERTY("IconName", "s", &LinuxTray::item_property, 0, 0),
    SD_BUS_PROPERTY("IconPixmap", "a(iiay)", &LinuxTray::item_property, 0, 0),
    SD_BUS_PROPERTY("OverlayIconName", "s", &LinuxTray::item_property, 0, 0),
    SD_BUS_PROPERTY("AttentionIconName", "s", &LinuxTray::item_property, 0, 0),
    SD_BUS_PROPERTY("AttentionIconPixmap", "a(iiay)", &LinuxTray::item_property, 0, 0),
    SD_BUS_PROPERTY("AttentionMovieName", "s", &LinuxTray::item_property, 0, 0),
    SD_BUS_PROPERTY("ToolTip", "(sa(iiay)ss)", &LinuxTray::item_property, 0, 0),
    SD_BUS_PROPERTY("ItemIsMenu", "b", &LinuxTray::item_property, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_PROPERTY("Menu", "o", &LinuxTray::item_property, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_METHOD("ContextMenu", "ii", "", &LinuxTray::item_ignore, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("Activate", "ii", "", &LinuxTray::item_activate, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("SecondaryActivate", "ii", "", &LinuxTray::item_ignore,
                  SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("Scroll", "is", "", &LinuxTray::item_ignore, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_SIGNAL("NewTitle", "", 0),
    SD_BUS_SIGNAL("NewIcon", "", 0),
    SD_BUS_SIGNAL("NewAttentionIcon", "", 0),
    SD_BUS_SIGNAL("NewOverlayIcon", "", 0),
    SD_BUS_SIGNAL("NewToolTip", "", 0),
    SD_BUS_SIGNAL("NewStatus", "s", 0),
    SD_BUS_VTABLE_END};

const sd_bus_vtable LinuxTray::kMenuVtable[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_METHOD("GetLayout", "iias", "u(ia{sv}av)", &LinuxTray::menu_get_layout,
                  SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("GetGroupProperties", "aias", "a(ia{sv})", &LinuxTray::menu_get_group_properties,
                  SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("GetProperty", "is", "v", &LinuxTray::menu_get_property,
                  SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("Event", "isvu", "", &LinuxTray::menu_event, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("EventGroup", "a(isvu)", "ai", &LinuxTray::menu_event_group,
                  SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("AboutToShow", "i", "b", &LinuxTray::menu_about_to_show,
                  SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("AboutToShowGroup", "ai", "aiai", &LinuxTray::menu_about_to_show_group,
                  SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_PROPERTY("Version", "u", &LinuxTray::menu_property, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_PROPERTY("TextDirection", "s", &LinuxTray::menu_property, 0,
                    SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_PROPERTY("Status", "s", &LinuxTray::menu_property, 0, 0),
    SD_BUS_PROPERTY("IconThemePath", "as", &LinuxTray::menu_property, 0,
                    SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_SIGNAL("ItemsPropertiesUpdated", "a(ia{sv})a(ias)", 0),
    SD_BUS_SIGNAL("LayoutUpdated", "ui", 0),
    SD_BUS_SIGNAL("ItemActivationRequested", "iu", 0),
    SD_BUS_VTABLE_END};

}  // namespace

std::unique_ptr<Tray> start_tray(TrayConfig config) {
  return std::make_unique<LinuxTray>(std::move(config));
}

}  // namespace morvane
