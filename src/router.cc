// Routing records to their topics, and the lines about it.
#include "router.h"

#include <cstdio>

#include "topics.h"

namespace {

// One line for a record left out for its topic. The topic may hold any byte: control bytes,
// and every byte above ASCII when they do not make well-formed text, are shown as \xNN.
void report_unpublished(uint64_t number, std::string_view topic, TopicProblem problem) {
  bool raw_high = problem != TopicProblem::kNotUtf8 && problem != TopicProblem::kControlCharacter;
  std::string shown;
  for (char c : topic) {
    auto b = static_cast<unsigned char>(c);
    if (b < 0x20 || b == 0x7F || (b >= 0x80 && !raw_high)) {
      char hex[5];
      snprintf(hex, sizeof hex, "\\x%02X", b);
      shown += hex;
    } else {
      shown += c;
    }
  }
  printf("Record %llu not published: topic \"%s\" %s\n", static_cast<unsigned long long>(number),
         shown.c_str(), topic_problem_text(problem));
}

}  // namespace

Router make_router(std::string_view prefix, int separator) {
  Router router;
  router.prefix = prefix;
  router.separator = separator;
  if (separator >= 0) router.splitter = make_topic_splitter(prefix, static_cast<char>(separator));
  return router;
}

bool route(Router& router, std::string_view record, std::string_view* topic,
           std::string_view* payload) {
  ++router.routed;
  *topic = router.prefix;
  *payload = record;
  if (router.separator < 0) return true;
  TopicProblem problem = split_checked(router.splitter, record, payload);
  *topic = router.splitter.topic;
  if (problem == TopicProblem::kNone) return true;
  report_unpublished(router.routed, *topic, problem);
  ++router.not_published;
  return false;
}

void report_publishing(size_t len) {
  printf("Publishing data of length %d\n", static_cast<int>(len));
}
