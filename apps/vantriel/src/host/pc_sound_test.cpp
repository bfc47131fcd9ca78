#include "host/pc_sound.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace vantriel {
namespace {

TEST(PcSoundTest, ModuleIndexOnlyFromAPlainNumber) {
  EXPECT_EQ(parse_module_index("536870913\n"), 536870913u);  // PipeWire's indexes are large
  EXPECT_EQ(parse_module_index("7"), 7u);
  EXPECT_FALSE(parse_module_index(""));
  EXPECT_FALSE(parse_module_index("\n"));
  EXPECT_FALSE(parse_module_index("Failure: Module initialization failed"));
  EXPECT_FALSE(parse_module_index("12 3"));
  EXPECT_FALSE(parse_module_index("1234567890"));  // past nine digits: not an index of ours
}

TEST(PcSoundTest, TheBrowserNeverPlaysIntoTheCaptureSink) {
  EXPECT_EQ(browser_sink("alsa_output.pci", ""), "alsa_output.pci");
  // A session is sharing (or a host that crashed left the sink): the speakers behind it.
  EXPECT_EQ(browser_sink(kCaptureSink, "alsa_output.pci"), "alsa_output.pci");
  EXPECT_EQ(browser_sink(kCaptureSink, ""), "");
  EXPECT_EQ(browser_sink("", "alsa_output.pci"), "");
}

TEST(PcSoundTest, RoutingLoopsTheCaptureSinkToTheSpeakersThenMakesItDefault) {
  auto commands = routing_commands("altavoces");
  ASSERT_EQ(commands.size(), 3u);
  EXPECT_EQ(commands[0][1], "module-null-sink");
  EXPECT_EQ(commands[0][2], "sink_name=vantriel_captura");
  EXPECT_EQ(commands[1][1], "module-loopback");
  EXPECT_EQ(commands[1][2], "source=vantriel_captura.monitor");
  EXPECT_EQ(commands[1][3], "sink=altavoces");
  EXPECT_EQ(commands[2], (std::vector<std::string>{"set-default-sink", "vantriel_captura"}));
}

#ifndef _WIN32
// The undo script against a stand-in pactl that logs its arguments and reports
// `default_sink` as the default: it waits for its input to end, gives the speakers back
// the default only while the capture sink holds it, and unloads the loop before the sink.
std::string run_undo(const std::string& default_sink) {
  const auto dir = std::filesystem::temp_directory_path() /
                   ("vtr-pcsound-" + std::to_string(std::rand()));
  std::filesystem::create_directories(dir);
  const auto log = dir / "log";
  {
    std::ofstream fake(dir / "pactl");
    fake << "#!/bin/sh\necho \"$*\" >> '" << log.string() << "'\n"
         << "[ \"$1\" = get-default-sink ] && echo '" << default_sink << "'\nexit 0\n";
  }
  std::filesystem::permissions(dir / "pactl", std::filesystem::perms::owner_all);
  const std::string command = "printf 'a\\nb\\n' | PATH='" + dir.string() + ":/usr/bin:/bin' sh -c '" +
                              undo_script() + "' sh altavoces 12 11";
  EXPECT_EQ(std::system(command.c_str()), 0);
  std::ifstream in(log);
  std::stringstream text;
  text << in.rdbuf();
  std::filesystem::remove_all(dir);
  return text.str();
}

TEST(PcSoundTest, UndoGivesBackTheDefaultOnlyWhileTheCaptureSinkHoldsIt) {
  EXPECT_EQ(run_undo("vantriel_captura"),
            "get-default-sink\nset-default-sink altavoces\nunload-module 12\nunload-module 11\n");
  // The person chose another output meanwhile: that choice stays.
  EXPECT_EQ(run_undo("auriculares"), "get-default-sink\nunload-module 12\nunload-module 11\n");
}
#endif

}  // namespace
}  // namespace vantriel
