// Command-line options: parsing, validation and the usage text.
#include "settings.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

PublisherSettings settings;

void print_usage() {
  printf("MQTT linecast\n");
  printf("Usage: linecast topicname <options>, where options are:\n");
  printf("  --host <hostname> (default is localhost)\n");
  printf("  --port <port> (default is 1883)\n");
  printf("  --qos <qos> (default is 0)\n");
  printf("  --retained (default is off)\n");
  printf("  --delimiter <delim> (default is \n)\n");
  printf("  --clientid <clientid> (default is hostname+timestamp)\n");
  printf("  --maxdatalen 100\n");
  printf("  --username none\n");
  printf("  --password none\n");
  fflush(stdout);
  exit(-1);
}

namespace {

// Only the exact texts "0", "1" and "2" name a quality of service.
int parse_qos(const char* value) {
  if (value[0] >= '0' && value[0] <= '2' && value[1] == '\0') return value[0] - '0';
  print_usage();
}

// The password lives on in a private copy; its argument is blanked so that the command line
// other users can read no longer shows it.
const char* take_password(char* arg) {
  static std::string copy;
  copy = arg;
  memset(arg, 0, copy.size());
  return copy.c_str();
}

// Decimal in the manner of atoi (leading blanks, a sign, digits up to the first non-digit, 0
// without digits), but saturating instead of overflowing: a huge value is then refused as too
// large.
int parse_length(const char* value) {
  long n = strtol(value, nullptr, 10);
  if (n > INT_MAX) return INT_MAX;
  if (n < INT_MIN) return INT_MIN;
  return static_cast<int>(n);
}

// Options whose value is kept as the text of the argument itself.
struct TextOption {
  const char* name;
  const char** field;
};
const TextOption kTextOptions[] = {
    {"--host", &settings.host},         {"--port", &settings.port},
    {"--clientid", &settings.clientid}, {"--username", &settings.username},
    {"--cafile", &settings.cafile},     {"--capath", &settings.capath},
    {"--cert", &settings.cert},         {"--key", &settings.key},
};

// The options with a value that is converted; each takes one argument like the text options.
const char* const kConvertedOptions[] = {"--qos", "--password", "--maxdatalen", "--delimiter"};

bool takes_value(const char* option) {
  for (const TextOption& o : kTextOptions) {
    if (strcmp(option, o.name) == 0) return true;
  }
  for (const char* name : kConvertedOptions) {
    if (strcmp(option, name) == 0) return true;
  }
  return false;
}

void set_option(const char* option, char* value) {
  for (const TextOption& o : kTextOptions) {
    if (strcmp(option, o.name) == 0) {
      *o.field = value;
      return;
    }
  }
  if (strcmp(option, "--qos") == 0) {
    settings.qos = parse_qos(value);
  } else if (strcmp(option, "--password") == 0) {
    settings.password = take_password(value);
  } else if (strcmp(option, "--maxdatalen") == 0) {
    settings.maxdatalen = parse_length(value);
  } else {
    settings.delimiter = value[0];  // "--delimiter"; an empty value gives the zero byte
  }
}

}  // namespace

void parse_arguments(int argc, char** argv) {
  for (int i = 2; i < argc; ++i) {
    const char* option = argv[i];
    if (strcmp(option, "--retained") == 0) {
      settings.retained = 1;
    } else if (strcmp(option, "--verbose") == 0) {
      settings.verbose = 1;
    } else if (takes_value(option)) {
      if (i + 1 >= argc) print_usage();
      set_option(option, argv[++i]);
    }
    // anything else is skipped without a message
  }
  // A record must fit one buffer of at least a byte and one PUBLISH packet to this topic.
  long max_payload = kMaxPacketBytes - 4 - static_cast<long>(strlen(argv[1]));
  if (settings.maxdatalen < 1 || settings.maxdatalen > max_payload) print_usage();
}
