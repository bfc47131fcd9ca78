// The form of a PC's ID: nine digits, shown to people in groups of three.
#ifndef VANTRIEL_BASE_ID_FORMAT_H_
#define VANTRIEL_BASE_ID_FORMAT_H_

#include <string>
#include <string_view>

namespace vantriel {

// Exactly 9 ASCII digits, the first not "0".
bool is_valid_id(std::string_view id);

// "123 456 789" for a 9-character ID; any other text unchanged.
std::string format_id(std::string_view id);

// The member of the local API's replies that holds format_id() of the ID.
inline constexpr char kDisplayIdMember[] = "id_bonito";

}  // namespace vantriel

#endif  // VANTRIEL_BASE_ID_FORMAT_H_
