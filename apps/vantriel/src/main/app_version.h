// The program's name, version and executable file name. They are defined in one file that
// CMake generates from app_version.cpp.in, so that a build of another version (the
// updater's tests make one) compiles that file alone.
#ifndef VANTRIEL_MAIN_APP_VERSION_H_
#define VANTRIEL_MAIN_APP_VERSION_H_

namespace vantriel {

extern const char* const kAppName;
extern const char* const kAppVersion;
// The executable's file name on this platform.
extern const char* const kExecutableFile;

}  // namespace vantriel

#endif  // VANTRIEL_MAIN_APP_VERSION_H_
