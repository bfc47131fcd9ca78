// The desktop portal's RemoteDesktop on the session bus (sd-bus): the sink that controls a
// GNOME or KDE Wayland desktop once the person agrees in the desktop's own dialog.
//
// Thread "portal bus" owns the bus connection (sd-bus is not thread-safe); other threads
// hand it work under mu_ and wake it through an eventfd. Every portal request answers
// through a Request object's Response signal: the match on the object's path, known in
// advance from the handle_token, is added before the call, so no answer is missed.
#include <poll.h>
#include <sys/eventfd.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <ctime>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "input/input_reach.h"
#include "input/portal_input.h"
#include "morvane/core/sync/mutex.h"
#include "morvane/core/sync/thread_name.h"

namespace vantriel {
namespace {

constexpr const char* kPortalName = "org.freedesktop.portal.Desktop";
constexpr const char* kPortalPath = "/org/freedesktop/portal/desktop";
constexpr const char* kRemoteDesktop = "org.freedesktop.portal.RemoteDesktop";
constexpr const char* kScreenCast = "org.freedesktop.portal.ScreenCast";
constexpr const char* kRequest = "org.freedesktop.portal.Request";
constexpr const char* kSession = "org.freedesktop.portal.Session";

constexpr uint32_t kSourceMonitor = 1;
constexpr uint32_t kPersistUntilRevoked = 2;
// A method call's own answer (not the person's, which comes later as a signal).
constexpr uint64_t kCallTimeoutUs = 5'000'000;
constexpr uint64_t kNotifyTimeoutUs = 1'000'000;
constexpr auto kSettle = std::chrono::milliseconds(300);
constexpr int32_t kKeyLeftShift = 42;
const PortalCall kWakeCalls[] = {
    PortalCall{.kind = PortalCall::Kind::kMotion},
    PortalCall{.kind = PortalCall::Kind::kKeycode, .code = kKeyLeftShift, .pressed = true},
    PortalCall{.kind = PortalCall::Kind::kKeycode, .code = kKeyLeftShift, .pressed = false},
};

// Reads an a{sv} (the message positioned before it), calling on(key, message) for each
// entry with the message positioned at the variant; on() returns false when it did not
// read the variant, which is then skipped.
template <typename F>
bool read_vardict(sd_bus_message* m, F on) {
  if (sd_bus_message_enter_container(m, 'a', "{sv}") <= 0) return false;
  while (sd_bus_message_enter_container(m, 'e', "sv") > 0) {
    const char* key = nullptr;
    if (sd_bus_message_read(m, "s", &key) < 0) return false;
    if (!on(std::string(key != nullptr ? key : ""), m) && sd_bus_message_skip(m, "v") < 0) {
      return false;
    }
    if (sd_bus_message_exit_container(m) < 0) return false;
  }
  return sd_bus_message_exit_container(m) >= 0;
}

// Reads one stream of a(ua{sv}): its node, and the position and size of what it shows.
bool read_stream(sd_bus_message* m, PortalStream& stream) {
  if (sd_bus_message_enter_container(m, 'r', "ua{sv}") <= 0) return false;
  if (sd_bus_message_read(m, "u", &stream.node) < 0) return false;
  const bool ok = read_vardict(m, [&stream](const std::string& key, sd_bus_message* v) {
    if (key == "position") return sd_bus_message_read(v, "v", "(ii)", &stream.x, &stream.y) >= 0;
    if (key == "size") return sd_bus_message_read(v, "v", "(ii)", &stream.w, &stream.h) >= 0;
    return false;
  });
  return ok && sd_bus_message_exit_container(m) >= 0;
}

class PortalSink final : public InputSink {
 public:
  PortalSink() : wake_fd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    thread_ = std::thread([this] {
      morvane::set_current_thread_name("portal bus");
      run();
    });
  }

  ~PortalSink() override {
    {
      morvane::MutexLock lock(mu_);
      stopping_ = true;
    }
    wake();
    thread_.join();
    if (wake_fd_ >= 0) ::close(wake_fd_);
  }

  void send(std::span<const InputRecord> records) override {
    {
      morvane::MutexLock lock(mu_);
      // Input from before the person agreed (or after a refusal) is dropped, not kept:
      // replayed once the dialog closes it would click on whatever the screen shows by
      // then, not on what the technician saw.
      if (state_ != State::kActive) return;
      const std::size_t before = pending_.size();
      translator_.translate(records, stream_, desktop_, pending_);
      if (pending_.size() == before) return;
      ++queued_;
    }
    wake();
  }

  void finish() override {
    morvane::MutexLock lock(mu_);
    const uint64_t want = queued_;
    while (done_ < want && !stopping_) done_cv_.wait(mu_);
  }

  void control_allowed() override {
    {
      morvane::MutexLock lock(mu_);
      if (state_ == State::kAsking || state_ == State::kActive) return;
      state_ = State::kAsking;
      refusal_.clear();
      ask_ = true;
    }
    wake();
  }

  void session_over() override {
    {
      morvane::MutexLock lock(mu_);
      if (state_ == State::kIdle) return;
      state_ = State::kIdle;
      refusal_.clear();
      ask_ = false;
      close_ = true;
    }
    wake();
  }

  bool asking() const override {
    morvane::MutexLock lock(mu_);
    return state_ == State::kAsking;
  }

  std::string refusal() const override {
    morvane::MutexLock lock(mu_);
    return state_ == State::kRefused ? refusal_ : "";
  }

  void virtual_desktop_is(const VirtualDesktop& desktop) override {
    morvane::MutexLock lock(mu_);
    desktop_ = desktop;
  }

  void keep_consent_in(const std::filesystem::path& file) override {
    morvane::MutexLock lock(mu_);
    consent_file_ = file;
  }

 private:
  enum class State { kIdle, kAsking, kActive, kRefused };
  enum class Step { kNone, kCreate, kDevices, kSources, kStart };

  // --- any thread ---
  void wake() {
    const uint64_t one = 1;
    [[maybe_unused]] auto n = ::write(wake_fd_, &one, sizeof one);
  }

  // --- portal bus thread ---
  void run() {
    if (wake_fd_ < 0) return;
    for (;;) {
      std::vector<PortalCall> calls;
      bool ask = false;
      bool close = false;
      uint64_t queued = 0;
      {
        morvane::MutexLock lock(mu_);
        if (stopping_) break;
        calls.swap(pending_);
        ask = std::exchange(ask_, false);
        close = std::exchange(close_, false);
        queued = queued_;
      }
      // In the order they were asked for: input of the session that ends (its release
      // of held keys) before the session closes, a new question after that.
      for (const PortalCall& c : calls) {
        if (!notify(c)) break;
      }
      if (close) close_session();
      if (ask) start_asking();
      if (bus_ != nullptr) sd_bus_flush(bus_);
      {
        morvane::MutexLock lock(mu_);
        done_ = queued;
      }
      done_cv_.notify_all();
      if (bus_ != nullptr) {
        int r = 0;
        while ((r = sd_bus_process(bus_, nullptr)) > 0) {
        }
        if (r < 0) lost_bus();
      }
      drop_retired();
      wait();
    }
    close_session();
    disconnect();
    done_cv_.notify_all();
  }

  void wait() {
    pollfd fds[2] = {{wake_fd_, POLLIN, 0}, {-1, 0, 0}};
    int timeout_ms = -1;
    if (bus_ != nullptr) {
      fds[1].fd = sd_bus_get_fd(bus_);
      fds[1].events = static_cast<short>(sd_bus_get_events(bus_));
      uint64_t until = 0;
      if (sd_bus_get_timeout(bus_, &until) >= 0 && until != UINT64_MAX) {
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        const uint64_t now_us = static_cast<uint64_t>(now.tv_sec) * 1000000u +
                                static_cast<uint64_t>(now.tv_nsec) / 1000u;
        timeout_ms = until <= now_us ? 0 : static_cast<int>((until - now_us + 999) / 1000);
      }
    }
    if (poll(fds, 2, timeout_ms) > 0 && (fds[0].revents & POLLIN)) {
      uint64_t count = 0;
      [[maybe_unused]] auto n = ::read(wake_fd_, &count, sizeof count);
    }
  }

  bool connect() {
    if (bus_ != nullptr) return true;
    if (sd_bus_open_user(&bus_) < 0) {
      bus_ = nullptr;
      return false;
    }
    sd_bus_set_method_call_timeout(bus_, kCallTimeoutUs);
    const char* unique = nullptr;
    if (sd_bus_get_unique_name(bus_, &unique) < 0 || unique == nullptr) {
      disconnect();
      return false;
    }
    // The portal names request and session objects after the caller: ":1.42" is "1_42".
    sender_.clear();
    for (const char* p = unique; *p != '\0'; ++p) {
      if (*p != ':') sender_ += *p == '.' ? '_' : *p;
    }
    version_ = 0;
    sd_bus_error error{};  // SD_BUS_ERROR_NULL, without its C compound literal
    sd_bus_get_property_trivial(bus_, kPortalName, kPortalPath, kRemoteDesktop, "version", &error,
                                'u', &version_);
    sd_bus_error_free(&error);
    return true;
  }

  void disconnect() {
    retire(request_slot_);
    retire(call_slot_);
    retire(closed_slot_);
    drop_retired();
    if (bus_ != nullptr) bus_ = sd_bus_flush_close_unref(bus_);
  }

  // A slot is let go of outside sd_bus_process(): a callback may be running on it.
  void retire(sd_bus_slot*& slot) {
    if (slot != nullptr) retired_.push_back(slot);
    slot = nullptr;
  }
  void drop_retired() {
    for (sd_bus_slot* slot : retired_) sd_bus_slot_unref(slot);
    retired_.clear();
  }

  // The bus went away: so did the portal session with it.
  void lost_bus() {
    disconnect();
    session_path_.clear();
    request_path_.clear();
    step_ = Step::kNone;
    end_with(kPortalEnded);
  }

  // Control cannot go on: the state says why until the session ends or control is
  // allowed again.
  void end_with(const char* why) {
    morvane::MutexLock lock(mu_);
    if (state_ == State::kAsking || state_ == State::kActive) {
      state_ = State::kRefused;
      refusal_ = why;
      pending_.clear();
    }
  }

  void start_asking() {
    close_session();
    if (!connect()) {
      end_with(kPortalFailed);
      return;
    }
    const std::string token = "vantriel" + std::to_string(++tokens_);
    session_path_ = std::string(kPortalPath) + "/session/" + sender_ + "/" + token;
    // The desktop may end the session itself (the person stops it from the desktop).
    sd_bus_match_signal(bus_, &closed_slot_, kPortalName, session_path_.c_str(), kSession,
                        "Closed", &PortalSink::on_closed, this);
    request(Step::kCreate, kRemoteDesktop, "CreateSession", [&](sd_bus_message* m) {
      return sd_bus_message_append(m, "{sv}", "session_handle_token", "s", token.c_str());
    });
  }

  // Calls `method` with the session (but CreateSession) and an options dict holding a
  // fresh handle_token and what `options` appends; its Response goes to on_response.
  template <typename F>
  void request(Step step, const char* interface, const char* method, F options) {
    const std::string token = "vantriel" + std::to_string(++tokens_);
    request_path_ = std::string(kPortalPath) + "/request/" + sender_ + "/" + token;
    retire(request_slot_);
    retire(call_slot_);
    step_ = step;
    sd_bus_message* m = nullptr;
    int r = sd_bus_match_signal(bus_, &request_slot_, kPortalName, request_path_.c_str(),
                                kRequest, "Response", &PortalSink::on_response, this);
    if (r >= 0) {
      r = sd_bus_message_new_method_call(bus_, &m, kPortalName, kPortalPath, interface, method);
    }
    if (r >= 0 && step != Step::kCreate) r = sd_bus_message_append(m, "o", session_path_.c_str());
    if (r >= 0 && step == Step::kStart) r = sd_bus_message_append(m, "s", "");  // no parent
    if (r >= 0) r = sd_bus_message_open_container(m, 'a', "{sv}");
    if (r >= 0) r = sd_bus_message_append(m, "{sv}", "handle_token", "s", token.c_str());
    if (r >= 0) r = options(m);
    if (r >= 0) r = sd_bus_message_close_container(m);
    if (r >= 0) {
      r = sd_bus_call_async(bus_, &call_slot_, m, &PortalSink::on_call_reply, this,
                            kCallTimeoutUs);
    }
    sd_bus_message_unref(m);
    if (r < 0) fail(kPortalFailed);
  }

  static int on_call_reply(sd_bus_message* reply, void* self_ptr, sd_bus_error*) {
    auto* self = static_cast<PortalSink*>(self_ptr);
    if (sd_bus_message_is_method_error(reply, nullptr)) {
      self->fail(kPortalFailed);
      return 0;
    }
    // A portal older than the handle_token scheme answers with another request path.
    const char* handle = nullptr;
    if (sd_bus_message_read(reply, "o", &handle) >= 0 && handle != nullptr &&
        self->request_path_ != handle) {
      self->request_path_ = handle;
      self->retire(self->request_slot_);
      sd_bus_match_signal(self->bus_, &self->request_slot_, kPortalName, handle, kRequest,
                          "Response", &PortalSink::on_response, self);
    }
    return 0;
  }

  static int on_response(sd_bus_message* m, void* self_ptr, sd_bus_error*) {
    static_cast<PortalSink*>(self_ptr)->response(m);
    return 0;
  }

  static int on_closed(sd_bus_message*, void* self_ptr, sd_bus_error*) {
    auto* self = static_cast<PortalSink*>(self_ptr);
    self->retire(self->closed_slot_);
    self->retire(self->request_slot_);
    self->session_path_.clear();
    self->step_ = Step::kNone;
    self->end_with(kPortalEnded);
    return 0;
  }

  void response(sd_bus_message* m) {
    const Step step = std::exchange(step_, Step::kNone);
    retire(request_slot_);
    request_path_.clear();
    uint32_t code = 2;
    if (sd_bus_message_read(m, "u", &code) < 0) code = 2;
    if (code != 0) {
      fail(portal_refusal(code).c_str());
      return;
    }
    switch (step) {
      case Step::kCreate: {
        std::string handle;
        read_vardict(m, [&handle](const std::string& key, sd_bus_message* v) {
          const char* s = nullptr;
          if (key != "session_handle" || sd_bus_message_read(v, "v", "s", &s) < 0) return false;
          handle = s != nullptr ? s : "";
          return true;
        });
        if (!handle.empty() && handle != session_path_) {
          session_path_ = handle;
          retire(closed_slot_);
          sd_bus_match_signal(bus_, &closed_slot_, kPortalName, session_path_.c_str(), kSession,
                              "Closed", &PortalSink::on_closed, this);
        }
        std::string restore;
        {
          morvane::MutexLock lock(mu_);
          if (version_ >= 2 && !consent_file_.empty()) restore = read_restore_token(consent_file_);
        }
        const bool persist = version_ >= 2;
        request(Step::kDevices, kRemoteDesktop, "SelectDevices", [&](sd_bus_message* o) {
          int r = sd_bus_message_append(o, "{sv}", "types", "u", kPortalKeyboard | kPortalPointer);
          if (r >= 0 && persist) {
            r = sd_bus_message_append(o, "{sv}", "persist_mode", "u", kPersistUntilRevoked);
          }
          if (r >= 0 && !restore.empty()) {
            r = sd_bus_message_append(o, "{sv}", "restore_token", "s", restore.c_str());
          }
          return r;
        });
        break;
      }
      case Step::kDevices:
        // Absolute pointer motion is given in a stream's coordinates: one monitor.
        request(Step::kSources, kScreenCast, "SelectSources", [](sd_bus_message* o) {
          int r = sd_bus_message_append(o, "{sv}", "types", "u", kSourceMonitor);
          if (r >= 0) r = sd_bus_message_append(o, "{sv}", "multiple", "b", 0);
          return r;
        });
        break;
      case Step::kSources:
        request(Step::kStart, kRemoteDesktop, "Start", [](sd_bus_message*) { return 0; });
        break;
      case Step::kStart:
        started(m);
        break;
      case Step::kNone:
        break;
    }
  }

  void started(sd_bus_message* m) {
    uint32_t devices = 0;
    PortalStream stream;
    bool have_stream = false;
    std::string restore;
    read_vardict(m, [&](const std::string& key, sd_bus_message* v) {
      if (key == "devices") return sd_bus_message_read(v, "v", "u", &devices) >= 0;
      if (key == "restore_token") {
        const char* s = nullptr;
        if (sd_bus_message_read(v, "v", "s", &s) < 0) return false;
        restore = s != nullptr ? s : "";
        return true;
      }
      if (key != "streams") return false;
      if (sd_bus_message_enter_container(v, 'v', "a(ua{sv})") <= 0) return false;
      if (sd_bus_message_enter_container(v, 'a', "(ua{sv})") <= 0) return false;
      // The first stream: one monitor was asked for.
      while (sd_bus_message_peek_type(v, nullptr, nullptr) > 0) {
        PortalStream s;
        if (!read_stream(v, s)) break;
        if (!have_stream) stream = s;
        have_stream = true;
      }
      sd_bus_message_exit_container(v);
      sd_bus_message_exit_container(v);
      return true;
    });
    constexpr uint32_t kBoth = kPortalKeyboard | kPortalPointer;
    if ((devices & kBoth) != kBoth || !have_stream) {
      fail(kPortalNoPointer);
      return;
    }
    {
      morvane::MutexLock lock(mu_);
      if (!consent_file_.empty() && !restore.empty()) write_restore_token(consent_file_, restore);
      if (state_ != State::kAsking) return;
    }
    // GNOME's virtual pointer and keyboard lose what comes first: the pointer its first
    // event (a click that came first went nowhere), the keyboard the keys of its first
    // moments (the desktop hands its keymap to the focused program then). A motion by
    // nothing, a Shift pressed and released on its own, and a moment's pause settle them
    // before the technician's input is taken.
    for (const PortalCall& wake : kWakeCalls) notify(wake);
    std::this_thread::sleep_for(kSettle);
    morvane::MutexLock lock(mu_);
    if (state_ != State::kAsking) return;
    stream_ = stream;
    state_ = State::kActive;
  }

  void fail(const char* why) {
    close_session();
    end_with(why);
  }

  // Closes the portal session (and the question still open), so that nothing can control
  // the PC through it afterwards.
  void close_session() {
    retire(request_slot_);
    retire(call_slot_);
    retire(closed_slot_);
    step_ = Step::kNone;
    if (bus_ == nullptr) {
      session_path_.clear();
      request_path_.clear();
      return;
    }
    const auto close = [this](const std::string& path, const char* interface) {
      if (path.empty()) return;
      sd_bus_message* m = nullptr;
      if (sd_bus_message_new_method_call(bus_, &m, kPortalName, path.c_str(), interface,
                                         "Close") >= 0) {
        sd_bus_message_set_expect_reply(m, 0);
        sd_bus_send(bus_, m, nullptr);
      }
      sd_bus_message_unref(m);
    };
    close(request_path_, kRequest);
    close(session_path_, kSession);
    request_path_.clear();
    session_path_.clear();
  }

  // False when the portal did not answer in time: the rest of the batch is dropped
  // rather than each call waiting in turn.
  bool notify(const PortalCall& c) {
    if (bus_ == nullptr || session_path_.empty()) return true;
    static constexpr const char* kMethods[] = {
        "NotifyPointerMotionAbsolute", "NotifyPointerMotion",   "NotifyPointerButton",
        "NotifyPointerAxisDiscrete",   "NotifyKeyboardKeycode", "NotifyKeyboardKeysym"};
    sd_bus_message* m = nullptr;
    int r = sd_bus_message_new_method_call(bus_, &m, kPortalName, kPortalPath, kRemoteDesktop,
                                           kMethods[static_cast<int>(c.kind)]);
    if (r >= 0) r = sd_bus_message_append(m, "oa{sv}", session_path_.c_str(), 0);
    if (r >= 0) {
      const uint32_t state = c.pressed ? 1 : 0;
      switch (c.kind) {
        case PortalCall::Kind::kMotionAbsolute:
          r = sd_bus_message_append(m, "udd", static_cast<uint32_t>(c.code), c.x, c.y);
          break;
        case PortalCall::Kind::kMotion:
          r = sd_bus_message_append(m, "dd", c.x, c.y);
          break;
        case PortalCall::Kind::kAxisDiscrete:
          r = sd_bus_message_append(m, "ui", static_cast<uint32_t>(c.code), c.steps);
          break;
        case PortalCall::Kind::kButton:
        case PortalCall::Kind::kKeycode:
        case PortalCall::Kind::kKeysym:
          r = sd_bus_message_append(m, "iu", c.code, state);
          break;
      }
    }
    // The frontend handles method calls on a pool of threads: two calls in flight may
    // reach the desktop in either order (a release before its press). It forwards a call
    // before it answers, so waiting for each answer keeps the order.
    sd_bus_error error{};  // SD_BUS_ERROR_NULL, without its C compound literal
    if (r >= 0) r = sd_bus_call(bus_, m, kNotifyTimeoutUs, &error, nullptr);
    sd_bus_error_free(&error);
    sd_bus_message_unref(m);
    return r >= 0 || r != -ETIMEDOUT;
  }

  mutable morvane::Mutex mu_;
  morvane::CondVar done_cv_;
  State state_ GUARDED_BY(mu_) = State::kIdle;
  std::string refusal_ GUARDED_BY(mu_);
  PortalStream stream_ GUARDED_BY(mu_);
  VirtualDesktop desktop_ GUARDED_BY(mu_);
  PortalTranslator translator_ GUARDED_BY(mu_);
  std::vector<PortalCall> pending_ GUARDED_BY(mu_);
  uint64_t queued_ GUARDED_BY(mu_) = 0;  // batches handed to the thread
  uint64_t done_ GUARDED_BY(mu_) = 0;  // batches it has sent
  bool ask_ GUARDED_BY(mu_) = false;
  bool close_ GUARDED_BY(mu_) = false;
  bool stopping_ GUARDED_BY(mu_) = false;
  std::filesystem::path consent_file_ GUARDED_BY(mu_);
  uint32_t version_ = 0;                // written on the thread before a question, read in it

  // Owned by the portal bus thread.
  sd_bus* bus_ = nullptr;
  std::string sender_;
  std::string session_path_;
  std::string request_path_;
  sd_bus_slot* request_slot_ = nullptr;
  sd_bus_slot* call_slot_ = nullptr;
  sd_bus_slot* closed_slot_ = nullptr;
  std::vector<sd_bus_slot*> retired_;
  Step step_ = Step::kNone;
  uint64_t tokens_ = 0;

  const int wake_fd_;
  std::thread thread_;  // last: starts once every other member is ready
};

}  // namespace

PortalOffer query_portal_remote_desktop(std::chrono::milliseconds timeout) {
  PortalOffer offer;
  sd_bus* bus = nullptr;
  if (sd_bus_open_user(&bus) < 0) return offer;
  sd_bus_message* m = nullptr;
  sd_bus_message* reply = nullptr;
  sd_bus_error error{};  // SD_BUS_ERROR_NULL, without its C compound literal
  int r = sd_bus_message_new_method_call(bus, &m, kPortalName, kPortalPath,
                                         "org.freedesktop.DBus.Properties", "GetAll");
  if (r >= 0) r = sd_bus_message_append(m, "s", kRemoteDesktop);
  if (r >= 0) {
    r = sd_bus_call(bus, m, static_cast<uint64_t>(timeout.count()) * 1000u, &error, &reply);
  }
  if (r >= 0) {
    read_vardict(reply, [&offer](const std::string& key, sd_bus_message* v) {
      if (key == "version") return sd_bus_message_read(v, "v", "u", &offer.version) >= 0;
      if (key == "AvailableDeviceTypes") {
        return sd_bus_message_read(v, "v", "u", &offer.device_types) >= 0;
      }
      return false;
    });
  }
  sd_bus_error_free(&error);
  sd_bus_message_unref(reply);
  sd_bus_message_unref(m);
  sd_bus_flush_close_unref(bus);
  return offer;
}

std::unique_ptr<InputSink> make_portal_input_sink() { return std::make_unique<PortalSink>(); }

}  // namespace vantriel
