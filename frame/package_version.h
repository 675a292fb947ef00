// The package version of the build, e.g. "0.1.0+262.gb7a3e41", the same
// text as the Debian package's version. Compiled into each plug-in from a
// file the build writes anew when the version changes
// (packaging/package_version.cmake), so the libraries of every commit tell
// which they are.
#pragma once

namespace quarn {

extern const char kPackageVersion[];

}  // namespace quarn
