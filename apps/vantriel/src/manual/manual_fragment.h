// The manual's sections for a technician, as one HTML fragment: what the technician's
// page in a browser shows as its help. Built once, when the page is built, from the
// same Markdown files and renderer as the manual of the app.
#ifndef VANTRIEL_MANUAL_MANUAL_FRAGMENT_H_
#define VANTRIEL_MANUAL_MANUAL_FRAGMENT_H_

#include <string>
#include <string_view>

#include "morvane/core/result.h"

namespace vantriel {

// The technician's sections of the manual text `text` of `language` ("es" or "en"),
// with "{{VERSION}}" replaced by `version`: the level-2 sections on giving support,
// voice calls, chat and files and staying safe from scams, in that order, then the
// level-3 section on the check code, raised to level 2. Every heading keeps the id the
// whole manual gives it (as the help tab's contents link to it); a link to a section
// that is not in the fragment becomes its plain text. Fails, naming the heading, when
// one of those sections is missing.
morvane::Result<std::string> technician_manual_fragment(std::string_view language,
                                                        std::string_view text,
                                                        std::string_view version);

}  // namespace vantriel

#endif  // VANTRIEL_MANUAL_MANUAL_FRAGMENT_H_
