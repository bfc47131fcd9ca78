#include "morvane/update/unpack.h"

#include <cerrno>
#include <fstream>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "morvane/core/text/ascii.h"
#include "morvane/update/zip/zip_reader.h"

namespace morvane {
namespace {

namespace fs = std::filesystem;

fs::path utf8_path(std::string_view text) {
  return fs::path(std::u8string(reinterpret_cast<const char8_t*>(text.data()), text.size()));
}

std::string system_text(const std::error_code& ec, const fs::path& path) {
  const std::u8string p = path.u8string();
  return ec.message() + ": '" + std::string(reinterpret_cast<const char*>(p.data()), p.size()) + "'";
}

Result<std::vector<uint8_t>> read_whole_file(const fs::path& path) {
  std::error_code ec;
  const auto size = fs::file_size(path, ec);
  if (ec) return make_error(system_text(ec, path));
  std::ifstream in(path, std::ios::binary);
  std::vector<uint8_t> data(static_cast<size_t>(size));
  if (!in || !in.read(reinterpret_cast<char*>(data.data()), static_cast<std::streamsize>(size))) {
    return make_error(system_text(std::make_error_code(std::errc::io_error), path));
  }
  return data;
}

bool only_dots_and_blanks(std::string_view piece) {
  return piece.find_first_not_of(". ") == std::string_view::npos;
}

struct Selected {
  size_t entry;
  fs::path destination;
};

}  // namespace

Result<size_t> unpack_package(const fs::path& archive, const fs::path& target,
                              std::string_view top_folder) {
  auto bytes = read_whole_file(archive);
  if (!bytes.ok()) return make_error(bytes.error());
  auto entries = read_zip_directory(*bytes);
  if (!entries.ok()) return make_error(entries.error());

  const std::string prefix = std::string(top_folder) + "/";
  std::vector<Selected> selected;
  for (size_t i = 0; i < entries->size(); ++i) {
    const std::string& name = (*entries)[i].name;
    if (name.ends_with('/') || !name.starts_with(prefix)) continue;
    const std::string_view relative = std::string_view(name).substr(prefix.size());
    const Error refused = make_error("ruta no permitida en el paquete: " + name);
    if (relative.starts_with('/')) return refused;
    std::vector<std::string_view> pieces;
    size_t start = 0;
    while (start <= relative.size()) {
      size_t slash = relative.find('/', start);
      if (slash == std::string_view::npos) slash = relative.size();
      const std::string_view piece = relative.substr(start, slash - start);
      if (!piece.empty()) {
        if (only_dots_and_blanks(piece) || piece.find(':') != std::string_view::npos) {
          return refused;
        }
        pieces.push_back(piece);
      }
      start = slash + 1;
    }
    if (pieces.empty()) continue;
    const std::string first = ascii_lower(pieces.front());
    if (first == "tools" || first == "data") continue;
    fs::path destination = target;
    for (const std::string_view piece : pieces) destination /= utf8_path(piece);
    selected.push_back(Selected{i, std::move(destination)});
  }
  if (selected.empty()) return make_error("el paquete no trae la carpeta " + std::string(top_folder));

  std::error_code ignored;
  fs::remove_all(target, ignored);
  size_t written = 0;
  for (const Selected& s : selected) {
    std::error_code ec;
    fs::create_directories(s.destination.parent_path(), ec);
    if (ec) return make_error(system_text(ec, s.destination.parent_path()));
    auto contents = read_zip_entry(*bytes, (*entries)[s.entry]);
    if (!contents.ok()) return make_error(contents.error());
    errno = 0;
    std::ofstream out(s.destination, std::ios::binary | std::ios::trunc);
    if (out) {
      out.write(reinterpret_cast<const char*>(contents->data()),
                static_cast<std::streamsize>(contents->size()));
      out.close();
    }
    if (!out) {
      const int code = errno != 0 ? errno : EIO;
      return make_error(system_text(std::error_code(code, std::generic_category()), s.destination));
    }
    ++written;
  }
  return written;
}

}  // namespace morvane
