// The run's configuration: what the program needs of the command line, mapped once from the
// parsed settings, so that no part of the run reads the settings themselves.
#pragma once

#include <cstdint>
#include <string>

#include "session.h"
#include "settings.h"
#include "spool.h"

struct RunConfig {
  const char* topic = nullptr;  // the command line's
  SessionConfig session;        // from_store and resume_first are decided once the spool is open
  bool verbose = false;
  char delimiter = '\n';
  int maxdatalen = 100;
  int topic_separator = -1;  // a byte value, or -1 for none
  // With --spool: where and how (sync_seconds 0 for "--spool-sync always").
  bool spool = false;
  SpoolOptions spool_options;
  // QoS 2 over MQTT 5 with a session: the records in flight can be completed by a later run.
  bool exactly_once = false;
  // Running as a service: the counters line every `stats_interval` seconds (0: never), at most
  // `rate` records a second (0: no limit), and refused records skipped (session.skip_refused).
  int stats_interval = 0;
  int64_t rate = 0;
};

/// The configuration of a run publishing to `topic` with `settings`.
RunConfig make_run_config(const PublisherSettings& settings, const char* topic);
