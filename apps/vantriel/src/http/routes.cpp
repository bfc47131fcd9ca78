#include "http/routes.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <memory>

#include "main/app_version.h"
#include "base/access_code.h"
#include "base/call_code.h"
#include "base/display_name.h"
#include "base/id_format.h"
#include "base/identity.h"
#include "base/json_member.h"
#include "base/log.h"
#include "base/recents.h"
#include "base/server_url.h"
#include "base/setting_names.h"
#include "base/settings.h"
#include "embedded/embedded_files.h"
#include "http/pipeline.h"
#include "http/reply.h"
#include "http/settings_api.h"
#include "input/desktop.h"
#include "manual/manual.h"
#include "morvane/core/shell/shell.h"
#include "morvane/core/text/utf8.h"
#include "support/history.h"
#include "support/support_sessions.h"
#include "update/updater.h"

namespace vantriel {
namespace {

using json = nlohmann::ordered_json;

// Texts of the refusals.
constexpr char kUnknownAction[] = "acci\xC3\xB3n desconocida";
constexpr char kNoControl[] = "sin permiso de control";
constexpr char kEndSessionFirst[] = "Termina la sesi\xC3\xB3n antes de cambiar tu ID";
constexpr char kWhatToOpen[] = "\xC2\xBFqu\xC3\xA9 abro?";
constexpr char kClipboardUnread[] =
    "No se pudo leer el portapapeles: el programa que tiene el texto copiado no "
    "respondi\xC3\xB3. Copia el texto de nuevo y vuelve a intentarlo.";

// The routes that carry this PC's identity and its access code.
constexpr char kIdentityRoute[] = "/api/identidad";
constexpr char kNewIdentityRoute[] = "/api/id/nuevo";
constexpr char kRenewAccessCodeRoute[] = "/api/clave/nueva";
constexpr char kCheckAccessCodeRoute[] = "/api/verificar";

// Where "/api/abrir" sends the fixed link targets.
constexpr char kHomePage[] = "https://vantriel.app/";
constexpr char kDonatePage[] = "https://vantriel.app/donar";

// Clipboard texts written through the API are cut to this many characters.
constexpr std::size_t kMaxClipboardChars = 1000000;

struct StaticFile {
  std::string_view path;
  std::string_view content_type;
  const embedded::EmbeddedFile* file;
};

constexpr StaticFile kStaticFiles[] = {
    {"/favicon.ico", "image/x-icon", &embedded::favicon_ico},
    {"/img/emblema.png", "image/png", &embedded::emblema_png},
    {"/img/emblema-512.png", "image/png", &embedded::emblema_512_png},
    {"/img/firma.png", "image/png", &embedded::firma_png},
    {"/font/bold.woff2", "font/woff2", &embedded::bold_woff2},
    {"/font/semi.woff2", "font/woff2", &embedded::semi_woff2},
    {"/font/symbols.ttf", "font/ttf", &embedded::symbols_ttf},
};

// The bytes of each embedded file, joined once and shared by every reply. Constant data,
// made on first use and kept to the end of the process.
const std::shared_ptr<const std::string>& static_bytes(std::size_t index) {
  static const std::vector<std::shared_ptr<const std::string>> joined = [] {
    std::vector<std::shared_ptr<const std::string>> all;
    for (const StaticFile& f : kStaticFiles) {
      all.push_back(std::make_shared<const std::string>(f.file->joined()));
    }
    return all;
  }();
  return joined[index];
}

json refusal(const char* msg) { return {{"ok", false}, {"msg", msg}}; }

json identity_reply(const Identity& identity, const ApiContext& api) {
  return {{"id", identity.id},
          {kDisplayIdMember, format_id(identity.id)},
          {kSecretMember, identity.secret},
          {kAccessCodeMember, api.access_code.current()},
          {"nombre", display_name(api.folder)},
          {"servidor", server_url(api.folder)}};
}

// A body cut at the size limit reads as {}, which would put an empty text on the clipboard
// and report success; the user's clipboard is kept and the write reported as failed.
bool write_clipboard(const HttpRequest& request, const json& body, Desktop& desktop) {
  if (request.body_cut) return false;
  return desktop.write_clipboard(morvane::utf8_prefix(text_member(body, "texto"), kMaxClipboardChars));
}

json route_open(const json& body, const DataFolder& folder) {
  std::string what = text_member(body, "what");
  std::string target;
  if (what == "log") {
    target = folder.file(kLogFileName).string();
  } else if (what == "datos") {
    target = folder.path().string();
  } else if (what == "inicio") {
    target = kHomePage;
  } else if (what == "sitio") {
    target = kSupportPageUrl;
  } else if (what == "donar") {
    target = kDonatePage;
  } else if (what == "url") {
    target = text_member(body, "url");
    bool allowed = target.rfind("https://", 0) == 0 || target.rfind("mailto:", 0) == 0;
    if (!allowed) return {{"ok", false}};
  } else {
    return refusal(kWhatToOpen);
  }
  return {{"ok", morvane::shell_open(target)}};
}

json route_notice(const json& body, const ShellActions& shell) {
  std::string title = text_member(body, "titulo", kAppName);
  std::string text = text_member(body, "texto");
  if (shell.show_window) shell.show_window();
  if (shell.notify) shell.notify(title, text);
  return {{"ok", true}};
}

}  // namespace

HttpReply route_input(const HttpRequest& request, const ApiContext& api) {
  // An index past the last monitor stays past it: the decoder then uses the primary.
  return apply_input_batch(read_input_batch(request.body, kMaxBodyNesting), api);
}

HttpReply apply_input_batch(const InputBatch& batch, const ApiContext& api) {
  const uint64_t grant = api.sessions.control_grant();
  if (grant == 0) return reply_json(refusal(kNoControl));
  // The batch stops at the first event after control is taken back or the session ends,
  // even if control has been given again meanwhile.
  const SupportSessions& sessions = api.sessions;
  const int applied = api.desktop.apply_input(
      batch, [&sessions, grant] { return sessions.control_grant() == grant; });
  return reply_json({{"ok", true}, {"n", applied}});
}

json status_document(const ApiContext& api) {
  Identity identity = load_identity(api.folder, api.log);
  Settings settings = load_settings(api.folder);
  SessionSnapshot session = api.sessions.snapshot();
  json doc;
  doc["app"] = "vantriel";
  doc["version"] = kAppVersion;
  doc["id"] = identity.id;
  doc[kDisplayIdMember] = format_id(identity.id);
  doc["nombre"] = display_name(api.folder);
  doc["servidor"] = server_url(api.folder);
  doc["admin"] = morvane::is_user_an_admin();
  doc["monitores"] = monitors_json(api.desktop.monitors());
  doc["idioma"] = setting(settings, kGeneralSection, kLanguageKey);
  doc["disponible"] = !setting_is_off(setting(settings, kReceiveSection, kAvailableKey));
  doc["sesion"] = {{"activa", session.active},
                   {"rol", session.role},
                   {"control", session.control},
                   {"con", session.peer_name}};
  doc["llamada"] = api.sessions.call_active();
  doc["recientes"] = load_recents(api.folder);
  doc["sesiones"] = api.history.recent(15);
  doc["inicio_windows"] = api.shell.startup_enabled ? api.shell.startup_enabled() : false;
  doc["actualizacion"] = api.updater.state();
  // Whether the technician's input can reach this desktop, and the reason when it cannot
  // (a Wayland session, say): the page offers control only where it works.
  const InputReach& reach = api.desktop.input_reach();
  doc["control_posible"] = reach.possible;
  doc["control_motivo"] = reach.why;
  // A desktop that asks the person first (the portal): whether its dialog is open now, and
  // why control stopped (the person refused, the desktop ended it), for this session.
  doc["control_pregunta"] = api.desktop.control_asking();
  doc["control_rechazo"] = api.desktop.control_refusal();
  // Where the clipboard is read and written ("x11", "wlroots", "windows"), or why it cannot
  // be: the technician's clipboard requests are refused with that reason.
  const ClipboardReach clipboard = api.desktop.clipboard_reach();
  doc["portapapeles_posible"] = clipboard.possible;
  doc["portapapeles_via"] = clipboard.method;
  doc["portapapeles_motivo"] = clipboard.why;
  return doc;
}

bool is_memory_route(std::string_view path) {
  if (path == "/" || path == "/index.html" || path == "/api/version") return true;
  return std::any_of(std::begin(kStaticFiles), std::end(kStaticFiles),
                     [path](const StaticFile& f) { return f.path == path; });
}

HttpReply route_get(const HttpRequest& request, std::string_view path, const ApiContext& api) {
  if (path == "/" || path == "/index.html") {
    HttpReply reply = reply_text({}, "text/html; charset=utf-8", 200);
    reply.body = api.page;
    return reply;
  }
  for (std::size_t i = 0; i < std::size(kStaticFiles); ++i) {
    if (path == kStaticFiles[i].path) {
      return reply_file(static_bytes(i), std::string(kStaticFiles[i].content_type));
    }
  }
  if (path == "/api/version") return reply_json({{"version", kAppVersion}, {"app", "vantriel"}});
  if (path == "/api/show") {
    if (api.shell.show_window) api.shell.show_window();
    return reply_json({{"ok", true}});
  }
  if (path == "/api/estado") return reply_json(status_document(api));
  if (path == "/api/update") return reply_json(api.updater.state());
  if (path == "/api/ajustes") return reply_json(settings_document(api.folder));
  if (path == "/api/monitores") return reply_json(monitors_json(api.desktop.monitors()));
  if (path == "/api/manual") {
    return reply_json(manual_document(query_lang(request.target), api.log));
  }
  if (path == "/manual/imprimir") {
    const std::optional<std::string> lang = query_lang(request.target);
    morvane::Result<std::string> page = manual_print_page(lang, api.log);
    if (!page) {
      return reply_text(print_failure_page(manual_language(lang), page.error()),
                        "text/html; charset=utf-8", 500);
    }
    return reply_text(std::move(*page), "text/html; charset=utf-8", 200);
  }
  return reply_not_found();
}

HttpReply route_post(const HttpRequest& request, std::string_view path, const json& body,
                     const ApiContext& api) {
  SupportSessions& sessions = api.sessions;
  if (path == "/api/ajustes") {
    json reply = save_settings(api.folder, api.log, body);
    // Control turned off: an agreement the desktop keeps for later sessions goes too.
    if (setting_is_off(setting(load_settings(api.folder), kReceiveSection, kAllowControlKey))) {
      api.desktop.forget_consent();
    }
    return reply_json(reply);
  }
  if (path == kIdentityRoute) {
    return reply_json(identity_reply(load_identity(api.folder, api.log), api));
  }
  if (path == kNewIdentityRoute) {
    if (sessions.session_active()) return reply_json(refusal(kEndSessionFirst));
    Identity identity = new_identity(api.folder, api.log);
    std::string access_code = api.access_code.renew();
    return reply_json({{"ok", true},
                       {"id", identity.id},
                       {kDisplayIdMember, format_id(identity.id)},
                       {kSecretMember, identity.secret},
                       {kAccessCodeMember, access_code}});
  }
  if (path == kRenewAccessCodeRoute) {
    return reply_json({{"ok", true}, {kAccessCodeMember, api.access_code.renew()}});
  }
  if (path == kCheckAccessCodeRoute) {
    return reply_json({{"ok", api.access_code.check(text_member(body, kAccessCodeMember))}});
  }
  if (path == "/api/codigo_llamada") return reply_json({{"codigo", new_call_code()}});
  if (path == "/api/sesion") return reply_json(sessions.report(body));
  if (path == "/api/llamada") {
    sessions.set_call_active(member_is_true(body, "activa"));
    return reply_json({{"ok", true}});
  }
  if (path == "/api/portapapeles/leer") {
    if (!member_is_true(body, "propio") && !sessions.control_allowed()) {
      return reply_json(refusal(kNoControl));
    }
    if (const ClipboardReach reach = api.desktop.clipboard_reach(); !reach.possible) {
      return reply_json(refusal(reach.why.c_str()));
    }
    morvane::Result<std::string> text = api.desktop.read_clipboard();
    if (!text) {
      api.log.line("[PORTAPAPELES] No se pudo leer: " + text.error());
      return reply_json(refusal(kClipboardUnread));
    }
    return reply_json({{"ok", true}, {"texto", std::move(*text)}});
  }
  if (path == "/api/portapapeles/poner") {
    if (!sessions.control_allowed()) return reply_json(refusal(kNoControl));
    if (const ClipboardReach reach = api.desktop.clipboard_reach(); !reach.possible) {
      return reply_json(refusal(reach.why.c_str()));
    }
    return reply_json({{"ok", write_clipboard(request, body, api.desktop)}});
  }
  if (path == "/api/portapapeles/escribir_local") {
    if (const ClipboardReach reach = api.desktop.clipboard_reach(); !reach.possible) {
      return reply_json(refusal(reach.why.c_str()));
    }
    return reply_json({{"ok", write_clipboard(request, body, api.desktop)}});
  }
  if (path == "/api/sonido_pc") {
    const bool share = member_is_true(body, "compartir");
    const bool available = api.shell.pc_sound ? api.shell.pc_sound(share) : true;
    return reply_json({{"ok", true}, {"disponible", share ? available : true}});
  }
  if (path == "/api/aviso") return reply_json(route_notice(body, api.shell));
  if (path == "/api/inicio_windows") {
    if (!api.shell.set_startup) return reply_json({{"ok", false}, {"msg", nullptr}, {"on", false}});
    const morvane::StartupChange change = api.shell.set_startup(member_is_true(body, "on"));
    return reply_json({{"ok", change.ok},
                       {"msg", change.msg.empty() ? json(nullptr) : json(change.msg)},
                       {"on", change.enabled}});
  }
  if (path == "/api/abrir") return reply_json(route_open(body, api.folder));
  if (path == "/api/recientes/agregar") {
    return reply_json(
        add_recent(api.folder, api.log, text_member(body, "id"), text_member(body, "nombre")));
  }
  if (path == "/api/recientes/quitar") {
    return reply_json(remove_recent(api.folder, api.log, text_member(body, "id")));
  }
  if (path == "/api/update") return reply_json(api.updater.action(body));
  if (path == "/api/salir") {
    // The exit starts once the reply has been sent.
    HttpReply reply = reply_json({{"ok", true}});
    reply.on_sent = api.shell.exit;
    return reply;
  }
  return reply_json(refusal(kUnknownAction));
}

}  // namespace vantriel
