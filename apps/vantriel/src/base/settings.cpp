#include "base/settings.h"

#include <optional>
#include <system_error>
#include <vector>

#include "base/file_util.h"
#include "morvane/core/sync/mutex.h"
#include "morvane/core/text/ascii.h"
#include "morvane/core/text/utf8.h"

namespace vantriel {

// 33 lines, a line feed after the last.
const std::string_view kSettingsTemplate =
    R"ini(; Vantriel · ajustes. También se cambian desde la pestaña «Ajustes» de la app.
; Las líneas que empiezan con «;» son comentarios.

[general]
; Tu nombre como lo ve la otra persona (vacío = el nombre de tu PC)
nombre =
; Idioma de la interfaz: es · en
idioma = es
; Buscar actualizaciones al abrir (una vez al día): si · no
buscar_actualizaciones = si
; Servidor de señalización (vacío = el de la suite). Solo presenta a las dos PCs: la imagen, el audio y la voz van
; directo y cifrados entre ellas.
servidor =

[recibir]
; Estar disponible para recibir soporte mientras Vantriel está abierto (aunque la ventana esté minimizada): si · no
disponible = si
; Al aceptar, permitir que te controlen con mouse y teclado (lo puedes cambiar en cada solicitud): si · no
permitir_control = si
; Al aceptar, compartir el audio de tu PC (lo puedes cambiar en cada solicitud): si · no
compartir_audio = si
; Calidad máxima de la imagen que mandas: auto · nitidez (texto) · fluidez (movimiento)
calidad = auto
; Cuadros por segundo máximos de la imagen: 15 · 30 · 60
fps = 30
; Sonido cuando alguien pide conectarse: si · no
sonido = si

[llamada]
; Micrófono (vacío = el predeterminado de Windows)
microfono =
; Cancelación de eco y supresión de ruido del navegador: si · no
procesar_voz = si
)ini";

namespace {

// Every read-modify-write of "vantriel.ini" (set_setting and the creation of the file from
// the template) holds the file's lock, so two requests saving at once never lose a change
// and never race on the shared temporary file.
morvane::Mutex& settings_lock(const DataFolder& folder) { return folder.file_lock(kSettingsFileName); }

std::filesystem::path settings_temp_path(const DataFolder& folder) {
  return folder.file("vantriel.ini.tmp");
}

// Lines split at LF, a CR before the LF dropped. A final line feed ends the last line
// rather than starting an empty one, so rewriting a file never adds blank lines.
std::vector<std::string_view> split_lines(std::string_view text) {
  std::vector<std::string_view> lines;
  while (!text.empty()) {
    const std::size_t lf = text.find('\n');
    std::string_view line = text.substr(0, lf);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    lines.push_back(line);
    if (lf == std::string_view::npos) break;
    text.remove_prefix(lf + 1);
  }
  return lines;
}

// The line as the parser sees it: trimmed, then any leading byte order marks dropped.
std::string normalized_line(std::string_view line) {
  std::string text = morvane::trim_unicode(line);
  constexpr std::string_view kBom = "\xEF\xBB\xBF";
  std::size_t start = 0;
  while (text.compare(start, kBom.size(), kBom) == 0) start += kBom.size();
  return start == 0 ? text : text.substr(start);
}

bool is_comment(std::string_view line) {
  return !line.empty() && (line.front() == ';' || line.front() == '#');
}

// The lower-cased section name when `line` (normalised) is a section header.
std::optional<std::string> section_header(std::string_view line) {
  if (line.size() < 2 || line.front() != '[' || line.back() != ']') return std::nullopt;
  return morvane::ascii_lower(morvane::trim_unicode(line.substr(1, line.size() - 2)));
}

std::string crlf(std::string_view text) {
  std::string out;
  out.reserve(text.size() + text.size() / 16);
  for (const char c : text) {
    if (c == '\n') out += '\r';
    out += c;
  }
  return out;
}

const Settings& template_defaults() {
  static const Settings defaults = parse_settings(kSettingsTemplate);
  return defaults;
}

}  // namespace

const std::string& Settings::get(std::string_view section, std::string_view key) const {
  static const std::string kEmpty;
  const auto it = values_.find({std::string(section), std::string(key)});
  return it == values_.end() ? kEmpty : it->second;
}

void Settings::set(std::string section, std::string key, std::string value) {
  values_[{std::move(section), std::move(key)}] = std::move(value);
}

Settings parse_settings(std::string_view text) {
  Settings settings;
  std::string section;
  for (const std::string_view raw : split_lines(text)) {
    const std::string line = normalized_line(raw);
    if (line.empty() || is_comment(line)) continue;
    if (auto name = section_header(line)) {
      section = std::move(*name);
      continue;
    }
    const std::size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    std::string key = morvane::ascii_lower(morvane::trim_unicode(std::string_view(line).substr(0, eq)));
    std::string_view value = std::string_view(line).substr(eq + 1);
    if (const std::size_t remark = value.find(" ;"); remark != std::string_view::npos) {
      value = value.substr(0, remark);
    }
    std::string trimmed = morvane::trim_unicode(value);
    std::string_view unquoted = trimmed;
    while (!unquoted.empty() && unquoted.front() == '"') unquoted.remove_prefix(1);
    while (!unquoted.empty() && unquoted.back() == '"') unquoted.remove_suffix(1);
    settings.set(section, std::move(key), std::string(unquoted));
  }
  return settings;
}

std::string setting(const Settings& settings, std::string_view section, std::string_view key) {
  return settings.get(section, key);
}

morvane::Status create_settings_file(const DataFolder& folder) {
  const std::filesystem::path path = folder.file(kSettingsFileName);
  std::error_code ec;
  if (!std::filesystem::exists(path, ec) && !ec) {
    morvane::MutexLock lock(settings_lock(folder));
    // Checked again under the lock: a writer may have created it meanwhile.
    if (!std::filesystem::exists(path, ec) && !ec) {
      return write_file_atomic(path, settings_temp_path(folder), crlf(kSettingsTemplate));
    }
  }
  if (ec) return morvane::make_error("cannot look for the settings file: " + ec.message());
  return {};
}

Settings load_settings(const DataFolder& folder) {
  Settings settings = template_defaults();
  try {
    const std::filesystem::path path = folder.file(kSettingsFileName);
    // A file that cannot be made leaves the defaults; the host logged why at start.
    [[maybe_unused]] const morvane::Status created = create_settings_file(folder);
    auto text = read_file(path);
    if (text && morvane::is_valid_utf8(*text)) {
      const Settings file = parse_settings(*text);
      for (const auto& [name, value] : file.values()) {
        settings.set(name.first, name.second, value);
      }
    }
  } catch (...) {
    // Settings never fail towards the caller: the defaults stand.
  }
  return settings;
}

std::string apply_setting(std::string_view file_text, std::string_view section,
                          std::string_view key, std::string_view value) {
  // A value is one line of valid UTF-8: a stray byte would make the whole file unreadable
  // as UTF-8 and so reset every setting at the next load.
  std::string clean;
  for (const char c : morvane::sanitize_utf8(value)) {
    if (c != '\r' && c != '\n') clean += c;
  }
  clean = morvane::trim_unicode(clean);
  std::string new_line = std::string(key) + " = " + clean;

  std::vector<std::string> lines;
  for (const std::string_view line : split_lines(file_text)) lines.emplace_back(line);

  std::string current;
  bool found_section = section.empty();  // lines before any header form the "" section
  std::size_t section_start = 0;
  // The line to rewrite is the one parse_settings takes: the last for the key in the
  // section, wherever the section appears again. Rewriting an earlier one would leave
  // the old value in force behind it.
  std::optional<std::size_t> match;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const std::string line = normalized_line(lines[i]);
    if (auto name = section_header(line)) {
      current = std::move(*name);
      if (current == section && !found_section) {
        found_section = true;
        section_start = i + 1;
      }
      continue;
    }
    if (current != section || is_comment(line)) continue;
    const std::size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    if (morvane::equals_ignoring_ascii_case(morvane::trim_unicode(std::string_view(line).substr(0, eq)), key)) match = i;
  }
  const bool replaced = match.has_value();
  if (replaced) lines[*match] = new_line;
  if (!replaced && found_section) {
    std::size_t end = section_start;
    while (end < lines.size() && !section_header(normalized_line(lines[end]))) ++end;
    while (end > section_start && morvane::trim_unicode(lines[end - 1]).empty()) --end;
    lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(end), new_line);
  } else if (!replaced) {
    lines.emplace_back();
    lines.push_back("[" + std::string(section) + "]");
    lines.push_back(new_line);
  }
  std::string out;
  for (const std::string& line : lines) {
    out += line;
    out += "\r\n";
  }
  return out;
}

morvane::Status set_setting(const DataFolder& folder, std::string_view section,
                            std::string_view key, std::string_view value) {
  try {
    morvane::MutexLock lock(settings_lock(folder));
    const std::filesystem::path path = folder.file(kSettingsFileName);
    auto text = read_file(path);
    const std::string_view base =
        text && morvane::is_valid_utf8(*text) ? std::string_view(*text) : kSettingsTemplate;
    return write_file_atomic(path, settings_temp_path(folder),
                             apply_setting(base, section, key, value));
  } catch (const std::exception& e) {
    return morvane::make_error(std::string("cannot save setting: ") + e.what());
  }
}

bool setting_is_off(std::string_view value) {
  const std::string text = morvane::ascii_lower(morvane::trim_unicode(value));
  return text == "0" || text == "no" || text == "off" || text == "false";
}

}  // namespace vantriel
