// The user manual: the Markdown file of the chosen language, read from the folder
// "manual" beside the executable, as the help tab's JSON object and as a printable page.
#ifndef VANTRIEL_MANUAL_MANUAL_H_
#define VANTRIEL_MANUAL_MANUAL_H_

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "base/log.h"
#include "morvane/core/result.h"

namespace vantriel {

// The manual object for `lang` (a query value, or nothing): "en" only for exactly "en",
// "es" for anything else. Members in order: ok, lang, html, toc, version, author,
// contact, txt; or ok false with a message in that language when the file cannot be read
// or is not UTF-8, and another when the manual could not be prepared at all (the reason
// goes to `log`). Reads the file on every call; never throws.
nlohmann::ordered_json manual_document(const std::optional<std::string>& lang, const Log& log);

// The stand-alone printable HTML page of the manual for `lang`; the same page with an
// empty body when the manual cannot be read. An error with the text to show, in the
// manual's language, when the page could not be made (the reason goes to `log`). Never
// throws.
morvane::Result<std::string> manual_print_page(const std::optional<std::string>& lang,
                                               const Log& log);

// What the two above run at their edge: what `make` gives, or, when it throws, the
// "could not be prepared" text of `language` with the reason logged once.
morvane::Result<std::string> manual_guarded(std::string_view language, const Log& log,
                                            const std::function<std::string()>& make);

// The small page the print window shows instead of the manual: `message`, escaped.
std::string print_failure_page(std::string_view language, std::string_view message);

// The two above with the folder that holds "manual_es.md" and "manual_en.md" given; these
// throw only what the library does (out of memory, a path it cannot handle).
nlohmann::ordered_json manual_document_in(const std::filesystem::path& folder,
                                          const std::optional<std::string>& lang);
std::string manual_print_page_in(const std::filesystem::path& folder,
                                 const std::optional<std::string>& lang);

// "en" when `lang` is exactly "en", else "es".
std::string manual_language(const std::optional<std::string>& lang);

// The manual object built from the Markdown `text` of language `language` ("es" or
// "en"): the version from the first line's "manual-version:" marker (else
// `app_version`), every "{{VERSION}}" replaced by `app_version`, the text rendered.
nlohmann::ordered_json manual_document_from_text(std::string_view language, std::string_view text,
                                                 std::string_view app_version);

// The manual object's refusal for a file that cannot be read.
nlohmann::ordered_json manual_missing(std::string_view language);
// The manual object's refusal for a manual that could not be prepared.
nlohmann::ordered_json manual_failed(std::string_view language);

// The printable page filled from a manual object (as the two functions above make it)
// for the requested `language`.
std::string print_page_from_document(std::string_view language,
                                     const nlohmann::ordered_json& document);

}  // namespace vantriel

#endif  // VANTRIEL_MANUAL_MANUAL_H_
