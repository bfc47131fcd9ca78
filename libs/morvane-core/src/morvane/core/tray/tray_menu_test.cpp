#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>

#include "morvane/core/tray/tray.h"
#include "morvane/core/tray/tray_threads.h"

namespace morvane {
namespace {

TrayConfig texts() {
  TrayConfig c;
  c.name = "Vantriel";
  c.tip = "Vantriel: disponible";
  c.show_text = "Mostrar Vantriel";
  c.hide_text = "Ocultar la ventana";
  c.startup_text = "Abrir al iniciar sesión";
  c.exit_text = "Salir de Vantriel";
  c.closed_title = "Vantriel sigue funcionando";
  c.closed_text = "Cerraste la ventana, pero la app sigue en la bandeja.";
  return c;
}

std::string describe(const std::vector<TrayMenuItem>& items) {
  std::string out;
  for (const auto& i : items) {
    if (i.kind == TrayMenuItem::Kind::kSeparator) {
      out += "---|";
      continue;
    }
    out += std::to_string(i.id) + (i.enabled ? " " : " (off) ") + i.text +
           (i.checked ? " [x]" : "") + "|";
  }
  return out;
}

TEST(TrayMenu, ShowOrHideDependsOnTheWindowAndTheCheckOnStartAtLogOn) {
  auto c = texts();
  EXPECT_EQ(describe(tray_menu(c, false, false)),
            "1 (off) Vantriel: disponible|---|2 Mostrar Vantriel|5 Abrir al iniciar sesión|---|"
            "9 Salir de Vantriel|");
  EXPECT_EQ(describe(tray_menu(c, true, true)),
            "1 (off) Vantriel: disponible|---|3 Ocultar la ventana|5 Abrir al iniciar sesión [x]|"
            "---|9 Salir de Vantriel|");
}

TEST(TrayMenu, ALongTipIsCutTo127Units) {
  auto c = texts();
  c.tip = std::string(200, 'x');
  EXPECT_EQ(tray_menu(c, false, false).front().text, std::string(127, 'x'));
}

TEST(CutToUtf16Units, CountsUnitsAndNeverSplitsACharacter) {
  EXPECT_EQ(cut_to_utf16_units("abc", 3), "abc");
  EXPECT_EQ(cut_to_utf16_units("abcd", 3), "abc");
  EXPECT_EQ(cut_to_utf16_units("abc", 0), "");
  // Two- and three-byte characters are one unit each.
  EXPECT_EQ(cut_to_utf16_units("ñandú€x", 6), "ñandú€");
  // A character beyond U+FFFF takes two units (a surrogate pair): it fits whole or not at all.
  const std::string smile = "\xF0\x9F\x98\x80";
  EXPECT_EQ(cut_to_utf16_units("ab" + smile, 3), "ab");
  EXPECT_EQ(cut_to_utf16_units("ab" + smile, 4), "ab" + smile);
  EXPECT_EQ(cut_to_utf16_units(std::string(62, 'a') + smile, 63), std::string(62, 'a'));
  // A broken sequence counts as the one replacement character it becomes.
  EXPECT_EQ(cut_to_utf16_units("a\xC3"
                               "b",
                               2),
            "a\xC3");
  EXPECT_EQ(cut_to_utf16_units("a\xE2\x82", 3), "a\xE2\x82");
  EXPECT_EQ(cut_to_utf16_units("\xFF\xFF\xFF", 2), "\xFF\xFF");
}

// The watcher over a scripted window: each check reads the next state.
struct ScriptedWindow {
  enum State { kGone, kShown, kMinimised };
  std::vector<State> states;
  std::size_t at = 0;
  State now() const { return states[std::min(at, states.size() - 1)]; }
};

// Balloons as "title: text"; an exit the watcher asks for as "exit".
std::vector<std::string> watch(ScriptedWindow script, std::vector<bool>* shown_flags = nullptr,
                               bool icon_visible = true) {
  TrayConfig c = texts();
  std::vector<std::string> balloons;
  c.is_shown = [&script] { return script.now() == ScriptedWindow::kShown; };
  c.window_exists = [&script] { return script.now() != ScriptedWindow::kGone; };
  c.exit = [&balloons] { balloons.push_back("exit"); };
  WindowWatcher watcher(c);
  for (script.at = 0; script.at < script.states.size(); ++script.at) {
    bool shown = watcher.check(icon_visible, [&](const std::string& title, const std::string& text) {
      balloons.push_back(title + ": " + text);
    });
    if (shown_flags) shown_flags->push_back(shown);
  }
  return balloons;
}

TEST(WindowWatcher, SaysOnceThatTheProgramKeepsRunning) {
  using S = ScriptedWindow;
  // Never seen shown (started with --startup, or the browser never came up): nothing.
  EXPECT_TRUE(watch({{S::kGone, S::kGone, S::kGone}}).empty());
  // Minimised is still there: nothing; closed: one balloon; closed again later: nothing.
  std::vector<bool> flags;
  auto balloons = watch(
      {{S::kGone, S::kShown, S::kMinimised, S::kShown, S::kGone, S::kGone, S::kShown, S::kGone}},
      &flags);
  EXPECT_THAT(
      balloons,
      ::testing::ElementsAre(
          "Vantriel sigue funcionando: Cerraste la ventana, pero la app sigue en la bandeja."));
  EXPECT_THAT(flags, ::testing::ElementsAre(false, true, false, true, false, false, true, false));
}

TEST(WindowWatcher, WithoutAnIconClosingTheWindowEndsTheProgram) {
  using S = ScriptedWindow;
  // Nothing on the desktop would lead back: each close (not a minimise) asks for the end,
  // once per close, and never a balloon about a tray that is not there.
  EXPECT_THAT(watch({{S::kGone, S::kShown, S::kMinimised, S::kGone, S::kGone, S::kShown, S::kGone}},
                    nullptr, false),
              ::testing::ElementsAre("exit", "exit"));
  EXPECT_TRUE(watch({{S::kGone, S::kGone}}, nullptr, false).empty());
}

TEST(WindowWatcher, AnAppWithoutTheOperationsNeverSpeaks) {
  TrayConfig c = texts();
  WindowWatcher watcher(c);
  int balloons = 0;
  for (int i = 0; i < 3; ++i) {
    EXPECT_FALSE(watcher.check(true, [&](const std::string&, const std::string&) { ++balloons; }));
  }
  EXPECT_EQ(balloons, 0);
}

TEST(TrayThreads, ActionsRunAtOnceAndAreJoinedAtTheEnd) {
  std::atomic<int> done{0};
  // The gate outlives the actions: they are joined before it is destroyed.
  std::mutex gate;
  {
    ActionThreads actions;
    std::unique_lock<std::mutex> hold(gate);
    // A slow action does not hold up the next.
    actions.run([&] {
      std::lock_guard<std::mutex> wait(gate);
      ++done;
    });
    std::atomic<bool> quick{false};
    actions.run([&] { quick = true; });
    while (!quick) std::this_thread::yield();
    for (int i = 0; i < 20; ++i) actions.run([&] { ++done; });
    hold.unlock();
  }
  EXPECT_EQ(done.load(), 21);
}

TEST(TrayThreads, ThePeriodicThreadStopsPromptly) {
  std::atomic<int> ticks{0};
  PeriodicThread beat(std::chrono::milliseconds(1), [&] { ++ticks; });
  while (ticks < 3) std::this_thread::yield();
  // An hour's period would keep a stop waiting if the wait were not woken.
  PeriodicThread slow(std::chrono::hours(1), [] {});
  slow.stop();
  beat.stop();
  const int after = ticks.load();
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(ticks.load(), after);
}

}  // namespace
}  // namespace morvane
