#include "morvane/core/shell/menu_entry.h"

#include <gtest/gtest.h>

namespace morvane {
namespace {

namespace fs = std::filesystem;

fs::path utf8_path(const std::string& text) {
  return fs::path(std::u8string(text.begin(), text.end()));
}

MenuEntryConfig config(const std::string& exe) {
  MenuEntryConfig c;
  c.name = "Vantriel";
  c.comment = "Soporte remoto";
  c.executable = utf8_path(exe);
  c.data_home = utf8_path("/home/ana/.local/share");
  c.icons = {{128, "png-128"}, {512, "png-512"}};
  return c;
}

// The files as they are once the plan for |c| was carried out.
MenuEntryFiles written_for(const MenuEntryConfig& c) {
  MenuEntryFiles files;
  files.folder_is_users = true;
  files.desktop_file = menu_desktop_entry(c);
  for (const MenuIcon& icon : c.icons) files.icons.push_back(icon.png);
  return files;
}

std::vector<fs::path> paths_of(const std::vector<MenuEntryWrite>& writes) {
  std::vector<fs::path> paths;
  for (const MenuEntryWrite& w : writes) paths.push_back(w.path);
  return paths;
}

TEST(MenuEntry, FirstStartWritesTheIconsThenTheEntry) {
  const auto c = config("/home/ana/Descargas/Vantriel/vantriel");
  MenuEntryFiles nothing;
  nothing.folder_is_users = true;
  const auto writes = plan_menu_entry(c, nothing);
  const fs::path share = c.data_home;
  ASSERT_EQ(paths_of(writes), (std::vector<fs::path>{
                                  share / "icons" / "hicolor" / "128x128" / "apps" / "vantriel.png",
                                  share / "icons" / "hicolor" / "512x512" / "apps" / "vantriel.png",
                                  share / "applications" / "vantriel.desktop"}));
  EXPECT_EQ(writes[0].contents, "png-128");
  EXPECT_EQ(writes[1].contents, "png-512");
  EXPECT_EQ(writes[2].contents,
            "[Desktop Entry]\n"
            "Type=Application\n"
            "Version=1.0\n"
            "Name=Vantriel\n"
            "Comment=Soporte remoto\n"
            "Exec=\"/home/ana/Descargas/Vantriel/vantriel\"\n"
            "TryExec=/home/ana/Descargas/Vantriel/vantriel\n"
            "Path=/home/ana/Descargas/Vantriel\n"
            "Icon=vantriel\n"
            "Terminal=false\n"
            "Categories=Network;RemoteAccess;\n");
}

TEST(MenuEntry, OnlyWhatIsWrongIsWrittenAgain) {
  const auto here = config("/home/ana/Vantriel/vantriel");
  EXPECT_TRUE(plan_menu_entry(here, written_for(here)).empty());

  // The folder moved: the entry follows it; the icons are right and stay.
  const auto moved = config("/home/ana/Mis programas/Vantriel 2%/vantriel");
  auto writes = plan_menu_entry(moved, written_for(here));
  ASSERT_EQ(paths_of(writes), std::vector<fs::path>{menu_desktop_file(moved)});
  EXPECT_NE(writes[0].contents.find("\nExec=\"/home/ana/Mis programas/Vantriel 2%%/vantriel\"\n"),
            std::string::npos)
      << writes[0].contents;
  EXPECT_NE(writes[0].contents.find("\nTryExec=/home/ana/Mis programas/Vantriel 2%/vantriel\n"),
            std::string::npos);

  // A missing icon and a changed one are written; the entry is right and stays.
  auto files = written_for(here);
  files.icons[0].reset();
  files.icons[1] = "older picture";
  EXPECT_EQ(paths_of(plan_menu_entry(here, files)),
            (std::vector<fs::path>{menu_icon_file(here, 128), menu_icon_file(here, 512)}));
}

TEST(MenuEntry, LeftAloneWhereItIsNotOursToKeep) {
  const auto c = config("/home/ana/Vantriel/vantriel");
  // Switched off in a menu editor, even while it points at another folder.
  for (const char* line : {"NoDisplay=true", "Hidden=true", "  Hidden=true\r"}) {
    auto files = written_for(config("/elsewhere/vantriel"));
    *files.desktop_file += std::string(line) + "\n";
    files.icons.clear();
    EXPECT_TRUE(plan_menu_entry(c, files).empty()) << line;
  }
  auto shown = written_for(config("/elsewhere/vantriel"));
  *shown.desktop_file += "NoDisplay=false\n";
  EXPECT_EQ(plan_menu_entry(c, shown).size(), 1u);

  // A folder someone else installed, or no data home to write into.
  MenuEntryFiles others;
  EXPECT_TRUE(plan_menu_entry(c, others).empty());
  auto no_home = c;
  no_home.data_home.clear();
  MenuEntryFiles mine;
  mine.folder_is_users = true;
  EXPECT_TRUE(plan_menu_entry(no_home, mine).empty());
}

TEST(MenuEntry, DataHomeFromTheEnvironment) {
  EXPECT_EQ(data_home_for("/x/data", "/home/ana"), fs::path("/x/data"));
  // A relative or empty XDG_DATA_HOME is ignored.
  EXPECT_EQ(data_home_for("data", "/home/ana"), fs::path("/home/ana") / ".local" / "share");
  EXPECT_EQ(data_home_for("", "/home/ana"), fs::path("/home/ana") / ".local" / "share");
  EXPECT_EQ(data_home_for(nullptr, nullptr), fs::path());
  EXPECT_EQ(data_home_for(nullptr, ""), fs::path());
}

}  // namespace
}  // namespace morvane
