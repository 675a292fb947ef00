#include "udf_call.h"

#include <dlfcn.h>

namespace quarn::test {

std::string plugin_path(const std::string& name) {
  return std::string(QUARN_PLUGIN_DIR) + "/" + name + ".so";
}

Plugin::Plugin(const std::string& name) {
  handle_ = dlopen(plugin_path(name).c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle_ == nullptr) throw std::runtime_error(dlerror());
}

Plugin::~Plugin() { dlclose(handle_); }

void* Plugin::symbol(const char* name) const {
  void* address = dlsym(handle_, name);
  if (address == nullptr) throw std::runtime_error(std::string("missing symbol ") + name);
  return address;
}

Args& Args::add(Item_result type, std::optional<std::string> bytes) {
  types_.push_back(type);
  maybe_null_.push_back(0x55);  // a marker: init must write what it means
  lengths_.push_back(bytes && (type == STRING_RESULT || type == DECIMAL_RESULT) ? bytes->size()
                                                                                : 0);
  values_.push_back(std::move(bytes));
  names_.emplace_back();
  return *this;
}

Args& Args::as(const std::string& name) {
  names_.back() = name;
  return *this;
}

Args& Args::text(const std::string& value) { return add(STRING_RESULT, value); }
Args& Args::text(std::string&& value) { return add(STRING_RESULT, std::move(value)); }
Args& Args::null_text() { return add(STRING_RESULT, std::nullopt); }
Args& Args::integer(long long value) {
  return add(INT_RESULT, std::string(reinterpret_cast<const char*>(&value), sizeof value));
}
Args& Args::null_integer() { return add(INT_RESULT, std::nullopt); }
Args& Args::real(double value) {
  return add(REAL_RESULT, std::string(reinterpret_cast<const char*>(&value), sizeof value));
}
Args& Args::decimal(const std::string& value) { return add(DECIMAL_RESULT, value); }

UDF_ARGS* Args::get() {
  pointers_.clear();
  for (auto& value : values_) pointers_.push_back(value ? value->data() : nullptr);
  record_.arg_count = static_cast<unsigned int>(types_.size());
  record_.arg_type = types_.data();
  record_.args = pointers_.data();
  record_.lengths = lengths_.data();
  record_.maybe_null = maybe_null_.data();
  name_pointers_.clear();
  name_lengths_.clear();
  for (auto& name : names_) {
    name_pointers_.push_back(name ? name->data() : nullptr);
    name_lengths_.push_back(name ? name->size() : 0);
  }
  record_.attributes = name_pointers_.data();
  record_.attribute_lengths = name_lengths_.data();
  record_.extension = nullptr;
  return &record_;
}

Function::Function(const Plugin& plugin, const std::string& name)
    : init_(plugin.function<InitFn>((name + "_init").c_str())),
      main_(plugin.symbol(name.c_str())),
      deinit_(plugin.function<DeinitFn>((name + "_deinit").c_str())) {}

InitOutcome Function::init(Args& args) const {
  InitOutcome outcome{};
  std::memset(&outcome.initid, 0, sizeof outcome.initid);
  outcome.initid.max_length = 12345;
  char message[512];
  std::memset(message, 'M', sizeof message);
  message[sizeof message - 1] = '\0';
  outcome.refused = init_(&outcome.initid, args.get(), message) != 0;
  outcome.message = outcome.refused ? std::string(message) : std::string();
  if (!outcome.refused && message[0] != 'M')
    throw std::logic_error("an accepting init wrote into the message buffer");
  return outcome;
}

StringOutcome Function::row_string(UDF_INIT& initid, Args& args) const {
  char result[256];
  std::memset(result, 'R', sizeof result);
  unsigned long length = 99999;
  char is_null = 0;
  char error = 0;
  auto* fn = reinterpret_cast<StringFn*>(main_);
  char* returned = fn(&initid, args.get(), result, &length, &is_null, &error);
  StringOutcome outcome{};
  outcome.length = length;
  outcome.is_null = is_null != 0;
  outcome.error = error != 0;
  outcome.returned_result_buffer = returned == result;
  // A value longer than the buffer is in the function's own memory.
  if (returned != nullptr && returned != result && !outcome.is_null)
    outcome.text.assign(returned, length);
  else if (length <= 255)
    outcome.text.assign(result, length);
  return outcome;
}

StringOutcome Function::call_string(Args& args) const {
  InitOutcome started = init(args);
  if (started.refused) throw std::logic_error("init refused: " + started.message);
  StringOutcome outcome = row_string(started.initid, args);
  deinit_(&started.initid);
  return outcome;
}

long long Function::call_int(Args& args, bool* is_null, bool* error) const {
  InitOutcome started = init(args);
  if (started.refused) throw std::logic_error("init refused: " + started.message);
  char null_flag = 0;
  char error_flag = 0;
  auto* fn = reinterpret_cast<IntFn*>(main_);
  const long long value = fn(&started.initid, args.get(), &null_flag, &error_flag);
  deinit_(&started.initid);
  *is_null = null_flag != 0;
  *error = error_flag != 0;
  return value;
}

}  // namespace quarn::test
