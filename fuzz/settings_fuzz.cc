// Fuzz target for the option parser: the settings must be those of a plain model of the command
// line, or the usage exit must come exactly when the model refuses it; the password's argument
// must be blanked and every other argument left as given.
//
// Input: arguments separated by zero bytes, the first one the topic. settings.cc is built with
// exit_to_harness.h, so that print_usage's exit comes back here instead of ending the run.
#include <algorithm>
#include <csetjmp>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "exit_to_harness.h"
#include "settings.h"

namespace {

jmp_buf usage_exit;
int usage_status = 0;

struct StringOption {
  const char* name;
  const char* PublisherSettings::*field;
};

// Options whose value is kept as given.
const StringOption kStringOptions[] = {
    {"--host", &PublisherSettings::host},         {"--port", &PublisherSettings::port},
    {"--clientid", &PublisherSettings::clientid}, {"--username", &PublisherSettings::username},
    {"--cafile", &PublisherSettings::cafile},     {"--capath", &PublisherSettings::capath},
    {"--cert", &PublisherSettings::cert},         {"--key", &PublisherSettings::key},
};

// Like atoi, but a value beyond the range of int becomes its nearest end.
long saturated_decimal(const char* s) {
  while (*s == ' ' || (*s >= '\t' && *s <= '\r')) ++s;
  bool negative = *s == '-';
  if (*s == '+' || *s == '-') ++s;
  long long n = 0;
  for (; *s >= '0' && *s <= '9'; ++s) n = std::min(n * 10 + (*s - '0'), 1LL << 40);
  if (negative) n = -n;
  return static_cast<long>(std::max<long long>(std::min<long long>(n, INT32_MAX), INT32_MIN));
}

struct Expected {
  PublisherSettings settings;  // the password aside
  bool has_password = false;
  std::string password;
  std::vector<size_t> password_args;  // indexes of the arguments to be blanked
  bool usage = false;
};

// What the command line should give, worked out one argument at a time.
Expected model(const std::vector<std::string>& args) {
  Expected e;
  PublisherSettings& s = e.settings;
  for (size_t i = 2; i < args.size(); ++i) {
    const std::string& option = args[i];
    if (option == "--retained") {
      s.retained = 1;
      continue;
    }
    if (option == "--verbose") {
      s.verbose = 1;
      continue;
    }
    const StringOption* string_option = nullptr;
    for (const StringOption& o : kStringOptions) {
      if (option == o.name) string_option = &o;
    }
    bool other = option == "--qos" || option == "--password" || option == "--maxdatalen" ||
                 option == "--delimiter";
    if (string_option == nullptr && !other) continue;
    if (i + 1 >= args.size()) {
      e.usage = true;
      return e;
    }
    const std::string& value = args[++i];
    if (string_option != nullptr) {
      s.*(string_option->field) = value.c_str();
    } else if (option == "--qos") {
      if (value != "0" && value != "1" && value != "2") {
        e.usage = true;
        return e;
      }
      s.qos = value[0] - '0';
    } else if (option == "--password") {
      e.has_password = true;
      e.password = value;
      e.password_args.push_back(i);
    } else if (option == "--maxdatalen") {
      s.maxdatalen = static_cast<int>(saturated_decimal(value.c_str()));
    } else {
      s.delimiter = value[0];
    }
  }
  long limit = kMaxPacketBytes - 4 - static_cast<long>(args[1].size());
  e.usage = s.maxdatalen < 1 || s.maxdatalen > limit;
  return e;
}

bool same(const char* a, const char* b) {
  return (a == nullptr || b == nullptr) ? a == b : strcmp(a, b) == 0;
}

// Runs the parser; false when it took the usage exit.
bool parse(int argc, char** argv) {
  if (setjmp(usage_exit) != 0) return false;
  parse_arguments(argc, argv);
  return true;
}

}  // namespace

// print_usage ends here instead of in exit().
[[noreturn]] void fuzz_exit(int status) {
  usage_status = status;
  longjmp(usage_exit, 1);
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The usage text would flood the fuzzer's output.
  if (freopen("/dev/null", "w", stdout) == nullptr) abort();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<std::string> args = {"linecast"};
  std::string arg;
  for (size_t i = 0; i <= size && args.size() < 40; ++i) {
    if (i == size || data[i] == '\0') {
      args.push_back(arg);
      arg.clear();
    } else {
      arg += static_cast<char>(data[i]);
    }
  }
  const std::vector<std::string> given = args;
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);

  const Expected expected = model(given);
  settings = PublisherSettings();
  bool parsed = parse(static_cast<int>(given.size()), argv.data());
  if (parsed == expected.usage) abort();
  if (!parsed) {
    if (usage_status != -1) abort();
    return 0;
  }
  const PublisherSettings& s = settings;
  const PublisherSettings& x = expected.settings;
  for (const StringOption& o : kStringOptions) {
    if (!same(s.*(o.field), x.*(o.field))) abort();
  }
  if (s.qos != x.qos || s.maxdatalen != x.maxdatalen || s.delimiter != x.delimiter ||
      s.retained != x.retained || s.verbose != x.verbose ||
      !same(s.password, expected.has_password ? expected.password.c_str() : nullptr)) {
    abort();
  }
  // The password's arguments hold zero bytes only; all others are untouched.
  for (size_t i = 0; i < given.size(); ++i) {
    bool blanked = false;
    for (size_t p : expected.password_args) blanked = blanked || p == i;
    const std::string now(argv[i], given[i].size());
    if (now != (blanked ? std::string(given[i].size(), '\0') : given[i])) abort();
  }
  return 0;
}
