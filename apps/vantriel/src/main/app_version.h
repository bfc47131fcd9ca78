// The program's name, version, executable file name and web addresses. They are defined in
// one file that CMake generates from app_version.cpp.in, so that a build of another version
// (the updater's tests make one) compiles that file alone. The libraries know none of
// them: the program passes them in.
#ifndef VANTRIEL_MAIN_APP_VERSION_H_
#define VANTRIEL_MAIN_APP_VERSION_H_

namespace vantriel {

extern const char* const kAppName;
extern const char* const kAppVersion;
// The executable's file name on this platform.
extern const char* const kExecutableFile;
// The name release documents give the program.
extern const char* const kAppId;
// Where the publisher's release document is.
extern const char* const kReleaseManifestUrl;
// The publisher's support page.
extern const char* const kSupportPageUrl;
// A published portable build (tools/release.sh makes them): on Linux it keeps an entry
// in the user's application menu that starts it from wherever its folder is.
extern const bool kPortableRelease;

}  // namespace vantriel

#endif  // VANTRIEL_MAIN_APP_VERSION_H_
