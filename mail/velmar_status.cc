#include "velmar_status.h"

#include "smtp_session.h"
#include "status_json.h"

namespace quarn::mail {

std::string status_json(std::string_view version) {
  const StatementTally tally = process_tally();
  return JsonObject()
      .text("version", version)
      .number("rows", tally.rows)
      .number("sent", tally.sent)
      .number("refused", tally.refused)
      .number("failed", tally.failed)
      .number("not_tried", tally.not_tried)
      .number("connections", tally.connections)
      .number("retries", tally.retries)
      .str();
}

}  // namespace quarn::mail
