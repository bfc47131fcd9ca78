// Call codes: the six characters that name a voice-call room, made when a call starts
// and never stored.
#ifndef VANTRIEL_BASE_CALL_CODE_H_
#define VANTRIEL_BASE_CALL_CODE_H_

#include <string>
#include <string_view>

namespace vantriel {

inline constexpr std::string_view kCallCodeAlphabet = "ABCDEFGHJKLMNPQRSTUVWXYZ23456789";

// A fresh 6-character call code.
std::string new_call_code();

}  // namespace vantriel

#endif  // VANTRIEL_BASE_CALL_CODE_H_
