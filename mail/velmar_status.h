// What velmar_status() shows: the rows of every statement since the library
// was loaded, counted as the statement summary counts them.
#pragma once

#include <string>
#include <string_view>

namespace quarn::mail {

// {"version": ..., "rows": N, "sent": N, "refused": N, "failed": N,
// "not_tried": N, "connections": N, "retries": N}
std::string status_json(std::string_view version);

}  // namespace quarn::mail
