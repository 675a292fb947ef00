// bench_malloc_trim(): calls malloc_trim(0) inside the server and returns
// its answer, so that the memory benchmark can tell what the server's
// malloc arenas hold that a trim would hand back. A function of the
// benchmark alone: never installed, never part of a plug-in.
#include <malloc.h>

#include <cstdio>

#include "udf_host.h"

QUARN_EXPORT my_bool bench_malloc_trim_init(UDF_INIT*, UDF_ARGS* args, char* message) {
  if (args->arg_count == 0) return 0;
  std::snprintf(message, MYSQL_ERRMSG_SIZE, "bench_malloc_trim() takes no arguments");
  return 1;
}

QUARN_EXPORT long long bench_malloc_trim(UDF_INIT*, UDF_ARGS*, char*, char*) { return malloc_trim(0); }
