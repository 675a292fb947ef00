#include "common/libjpeg.h"

namespace quarn::thumb {
namespace {

void on_message(j_common_ptr info, int level) {
  if (level < 0) give_up(info);  // a warning: the data is corrupt
}

void stay_silent(j_common_ptr) {}

}  // namespace

void give_up(j_common_ptr info) { std::longjmp(reinterpret_cast<Trap*>(info->err)->jump, 1); }

void install(Trap& trap, jpeg_common_struct& info) {
  info.err = jpeg_std_error(&trap.manager);
  trap.manager.error_exit = give_up;
  trap.manager.emit_message = on_message;
  trap.manager.output_message = stay_silent;
}

}  // namespace quarn::thumb
