// Builds the server's UDF records and calls plug-in entry points the way the
// server does: the library is loaded with dlopen(RTLD_NOW | RTLD_LOCAL).
#pragma once

#include <cstring>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "udf_host.h"

namespace quarn::test {

std::string plugin_path(const std::string& name);

class Plugin {
 public:
  explicit Plugin(const std::string& name);
  ~Plugin();
  Plugin(const Plugin&) = delete;
  Plugin& operator=(const Plugin&) = delete;

  void* symbol(const char* name) const;
  template <class F>
  F* function(const char* name) const {
    return reinterpret_cast<F*>(symbol(name));
  }

 private:
  void* handle_;
};

using InitFn = my_bool(UDF_INIT*, UDF_ARGS*, char*);
using StringFn = char*(UDF_INIT*, UDF_ARGS*, char*, unsigned long*, char*, char*);
using IntFn = long long(UDF_INIT*, UDF_ARGS*, char*, char*);
using DeinitFn = void(UDF_INIT*);

// Argument list of one call; values are copied and outlive the call. The
// record from get() points into this object: don't copy it afterwards.
class Args {
 public:
  Args& text(const std::string& value);
  Args& text(std::string&& value);  // without a copy: a large image's bytes
  Args& null_text();
  Args& integer(long long value);
  Args& null_integer();
  Args& real(double value);
  Args& decimal(const std::string& value);
  // The last argument's attribute, as the server passes the alias of
  // `expr AS name` (or an expression's text); without one it is nullptr.
  Args& as(const std::string& name);
  UDF_ARGS* get();
  std::size_t size() const { return types_.size(); }
  std::vector<char>& maybe_null() { return maybe_null_; }
  std::vector<Item_result>& types() { return types_; }

 private:
  Args& add(Item_result type, std::optional<std::string> bytes);
  std::vector<Item_result> types_;
  std::vector<std::optional<std::string>> values_;
  std::vector<char*> pointers_;
  std::vector<unsigned long> lengths_;
  std::vector<char> maybe_null_;
  std::vector<std::optional<std::string>> names_;
  std::vector<const char*> name_pointers_;
  std::vector<unsigned long> name_lengths_;
  UDF_ARGS record_{};
};

struct InitOutcome {
  bool refused;
  std::string message;
  UDF_INIT initid;
};

struct StringOutcome {
  std::string text;  // length bytes of the result buffer, or of the function's own memory
  unsigned long length;
  bool is_null;
  bool error;
  bool returned_result_buffer;
};

// A function of a plug-in, called with fresh server records each time.
class Function {
 public:
  Function(const Plugin& plugin, const std::string& name);
  InitOutcome init(Args& args) const;
  // Calls init (which must accept), the main entry once, then deinit.
  StringOutcome call_string(Args& args) const;
  StringOutcome row_string(UDF_INIT& initid, Args& args) const;
  // The end of a statement whose rows row_string called.
  void deinit(UDF_INIT& initid) const { deinit_(&initid); }
  long long call_int(Args& args, bool* is_null, bool* error) const;

 private:
  InitFn* init_;
  void* main_;
  DeinitFn* deinit_;
};

}  // namespace quarn::test
