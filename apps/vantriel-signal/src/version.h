#pragma once

namespace vantriel::signal {

// The server's version ("1.4.0"), from the build's configuration. Only the generated
// version.cpp (from version.cpp.in) holds it, so a new version compiles that file alone.
extern const char* const kVersion;

}  // namespace vantriel::signal
