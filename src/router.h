// Where each record goes: the command line's topic, or with --topic-separator the topic the
// record names after it; records whose topic no broker takes are left out, each in one line.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "topics.h"

struct Router {
  std::string_view prefix;     // the command line's topic
  int separator = -1;          // a byte value, or -1: every record goes to `prefix`
  TopicSplitter splitter;      // with a separator: its topic is the record's at hand
  uint64_t routed = 0;         // records given their topic, in input order
  uint64_t not_published = 0;  // records whose topic no broker takes
};

/// The router of records to `prefix`, or with a `separator` (a byte value, -1 for none) to the
/// topic each record names before it.
Router make_router(std::string_view prefix, int separator);

/// The topic and payload of `record`; they stay valid until the next call or while `record`
/// does. False, after a line saying so, when no broker takes the record's topic.
bool route(Router& router, std::string_view record, std::string_view* topic,
           std::string_view* payload);

/// The --verbose line for a record about to be published.
void report_publishing(size_t len);
