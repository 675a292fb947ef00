// The work of one tarvik_jpeg call, apart from the server's buffers: the
// same image stage as tarvik's, and the same JPEG encoding, but the
// thumbnail's bytes are the row's value instead of a file. A row that keeps
// them is replicated with them; nothing is written on any disk.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "log.h"
#include "outcome.h"
#include "settings_snapshot.h"
#include "udf_host.h"

namespace quarn::thumb {

// Refusal texts of tarvik_jpeg_init.
extern const char kJpegArgCountMessage[];
extern const char kJpegArgTypeMessage[];

// The longest JPEG a call returns: 15 MB. The server neither tells a
// function its max_allowed_packet nor checks a function's result against
// it; a row that carries the value, to a client or in the binary log, must
// fit into one packet, which MariaDB allows 16 MB by default, with the
// row's other columns beside it. A thumbnail is rarely more than a few
// hundred kilobytes.
inline constexpr std::size_t kMaxJpegResult = std::size_t{15} << 20;

// Failure lines carry the function's name; a value needs no text buffer.
inline constexpr ResultConvention kJpegConvention{quarn::kResultCapacity, "tarvik_jpeg", false};

// What a statement keeps from init to deinit, in initid->ptr.
struct JpegStatement {
  RepeatCap cap;
  std::string jpeg;  // the last row's value; its memory serves the next row
};

// Checks the argument list at init (a BLOB, two integers) and marks every
// argument as nullable; nullptr when accepted, else the refusal text.
const char* check_jpeg_arguments(UDF_ARGS& args);

// The whole call, the JPEG into `jpeg`: nothing when it is the value, else
// what the row gives instead: NULL with the line of the failure (the line
// tarvik writes, without a path; of the same kind for every row), or plain
// NULL for an image that is NULL. Never throws; an exception gives NULL
// with the error flag.
std::optional<Outcome> run_jpeg_call(const UDF_ARGS& args, const SettingsSnapshot& settings,
                                     std::string& jpeg) noexcept;

// The main entry from start to end: the statement's JPEG as the value, or
// the failure delivered. Nothing reaches the server.
char* answer_jpeg(JpegStatement* statement, const UDF_ARGS& args, char* result,
                  unsigned long* length, char* is_null, char* error) noexcept;

// The statement's end: the [Note] of its held-back lines, state deleted.
void end_jpeg_statement(JpegStatement* statement) noexcept;

}  // namespace quarn::thumb
