// How the JPEG reader and the JPEG writer call libjpeg: its errors and
// warnings jump back to the step that called it.
#pragma once

#include <csetjmp>
#include <cstdio>

// jpeglib.h needs FILE and size_t declared first.
#include <jerror.h>
#include <jpeglib.h>

namespace quarn::thumb {

// libjpeg's own error handler ends the process. This one jumps back to the
// step that called into libjpeg, for errors and warnings alike. The steps
// hold no C++ objects, since the jump skips their destructors.
struct Trap {
  jpeg_error_mgr manager;  // first, so libjpeg's pointer to it is one to the trap
  std::jmp_buf jump;
};

// Jumps back to the trap of the coder `info`.
[[noreturn]] void give_up(j_common_ptr info);

// Makes `trap` the error handler of the coder `info`, before it is created.
void install(Trap& trap, jpeg_common_struct& info);

}  // namespace quarn::thumb
