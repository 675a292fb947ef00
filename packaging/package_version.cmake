# Writes OUTPUT, the C++ source of the package version the plug-ins carry
# (frame/package_version.h): VERSION when given, else what version.sh says
# for the tree in SOURCE_DIR, BASE being the project's version. Run at every
# build, so that a new commit changes it without configuring again; the file
# is rewritten only when the version changed, so an unchanged one rebuilds
# nothing.
if(VERSION STREQUAL "")
  # version.sh says why it falls back to BASE; configuring showed that once.
  execute_process(COMMAND sh ${SOURCE_DIR}/packaging/version.sh ${BASE}
                  OUTPUT_VARIABLE VERSION OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  if(VERSION STREQUAL "")
    set(VERSION ${BASE})
  endif()
endif()
set(content "// Written by the build (packaging/package_version.cmake).
#include \"package_version.h\"

namespace quarn {

const char kPackageVersion[] = \"${VERSION}\";

}  // namespace quarn
")
set(old "")
if(EXISTS ${OUTPUT})
  file(READ ${OUTPUT} old)
endif()
if(NOT old STREQUAL content)
  file(WRITE ${OUTPUT} "${content}")
endif()
