// The in-flight window of QoS 1 and 2 records.
#include "inflight.h"

#include "mqtt_packets.h"

namespace {

InflightRecord& at(Window& w, size_t i) { return w.ring[(w.first + i) % kWindowRecords]; }

bool holds_slot(const Window& w, const InflightRecord& r) {
  switch (r.stage) {
    case Stage::kAwaitAck:
      return true;
    case Stage::kReleasing:
      return r.qos == 2;
    case Stage::kAwaitComp:
      return r.qos == 2 && w.slot_until_complete;
    default:
      return false;
  }
}

// Every stage change goes through here, so that the slot counts stay true.
void set_stage(Window& w, InflightRecord& r, Stage stage) {
  if (holds_slot(w, r)) {
    --w.holding;
    if (r.qos == 2) --w.holding_qos2;
  }
  if (r.stage == Stage::kAwaitAck || r.stage == Stage::kAwaitComp) --w.awaiting;
  r.stage = stage;
  if (holds_slot(w, r)) {
    ++w.holding;
    if (r.qos == 2) ++w.holding_qos2;
  }
  if (r.stage == Stage::kAwaitAck || r.stage == Stage::kAwaitComp) ++w.awaiting;
}

void queue_release(Window& w, uint16_t packet_id) {
  w.releases[(w.releases_first + w.releases_count) % kWindowRecords] = packet_id;
  ++w.releases_count;
}

// Drops handed-over records from the front so that their slots can be reused.
void drop_done(Window& w) {
  while (w.count > 0 && at(w, 0).stage == Stage::kDone) {
    InflightRecord& r = at(w, 0);
    w.bytes -= r.bytes.size();
    // A huge record's buffer is not kept for the small ones that follow.
    if (r.bytes.capacity() > 64 * 1024) std::vector<unsigned char>().swap(r.bytes);
    w.first = (w.first + 1) % kWindowRecords;
    --w.count;
    if (w.send_cursor > 0) --w.send_cursor;
  }
}

// The held record with `packet_id`, or null. Identifiers follow the records' seqs, which
// ascend through the window, so the seq the identifier names is where it would be without gaps
// in the seqs (the common case: three lookups a record at QoS 2), or else found by bisection;
// a window spanning 65535 records or more falls back to a scan.
InflightRecord* find(Window& w, uint16_t packet_id) {
  if (w.count == 0) return nullptr;
  const InflightRecord& oldest = at(w, 0);
  uint64_t want = oldest.seq + (packet_id + 65535 - oldest.packet_id) % 65535;
  if (want - oldest.seq < w.count && at(w, want - oldest.seq).seq == want) {
    return &at(w, want - oldest.seq);
  }
  size_t low = 0, high = w.count;
  while (low < high) {
    size_t mid = low + (high - low) / 2;
    if (at(w, mid).seq < want) {
      low = mid + 1;
    } else {
      high = mid;
    }
  }
  if (low < w.count && at(w, low).seq == want) return &at(w, low);
  if (at(w, w.count - 1).seq - oldest.seq < 65535) return nullptr;
  for (size_t i = 0; i < w.count; ++i) {
    if (at(w, i).packet_id == packet_id) return &at(w, i);
  }
  return nullptr;
}

}  // namespace

bool window_has_room(const Window& w, size_t len, size_t records, size_t bytes) {
  if (w.count == 0) return true;
  return w.count < records && w.count < kWindowRecords && w.bytes + len <= bytes;
}

bool window_id_in_use(Window& w, uint64_t seq) {
  // Identifiers repeat every 65535 records: only a window that spans that many can hold one.
  if (w.count == 0 || seq - at(w, 0).seq < 65535) return false;
  return find(w, packet_id_of(seq)) != nullptr;
}

uint64_t window_settled(const Window& w) {
  return w.count == 0 ? w.last_seq : w.ring[w.first].seq - 1;
}

void window_add(Window& w, uint64_t seq, std::string_view topic, const void* payload, size_t len,
                int qos, bool retain) {
  InflightRecord& r = at(w, w.count);
  r.seq = seq;
  r.packet_id = packet_id_of(seq);
  w.last_seq = seq;
  r.qos = static_cast<uint8_t>(qos);
  r.retain = retain;
  r.dup = false;
  r.stage = Stage::kUnsent;
  r.release_recorded = false;
  r.topic_len = static_cast<uint16_t>(topic.size());
  const auto* bytes = static_cast<const unsigned char*>(payload);
  r.bytes.assign(topic.begin(), topic.end());
  r.bytes.insert(r.bytes.end(), bytes, bytes + len);
  ++w.count;
  w.bytes += r.bytes.size();
}

InflightRecord* window_next_unsent(Window& w) {
  while (w.send_cursor < w.count && at(w, w.send_cursor).stage != Stage::kUnsent) {
    ++w.send_cursor;
  }
  if (w.send_cursor == w.count || w.holding >= w.quota) return nullptr;
  InflightRecord& r = at(w, w.send_cursor);
  if (r.qos == 2 && w.holding_qos2 >= w.qos2_quota) return nullptr;
  return &r;
}

void window_mark_sent(Window& w, InflightRecord& record) { set_stage(w, record, Stage::kAwaitAck); }

void window_add_sent(Window& w, uint64_t seq, std::string_view topic, const void* payload,
                     size_t len, int qos, bool retain, bool released) {
  window_add(w, seq, topic, payload, len, qos, retain);
  InflightRecord& r = at(w, w.count - 1);
  r.release_recorded = released;
  set_stage(w, r, released ? Stage::kAwaitComp : Stage::kAwaitAck);
}

void window_gated_releases(Window& w, std::vector<uint64_t>* seqs) {
  seqs->clear();
  if (!w.release_gate) return;
  for (size_t i = 0; i < w.releases_count; ++i) {
    uint16_t id = w.releases[(w.releases_first + i) % kWindowRecords];
    const InflightRecord* r = find(w, id);
    if (r != nullptr && r->stage == Stage::kReleasing && !r->release_recorded) {
      seqs->push_back(r->seq);
    }
  }
}

void window_open_release(Window& w, uint64_t seq) {
  InflightRecord* r = find(w, packet_id_of(seq));
  if (r != nullptr && r->seq == seq) r->release_recorded = true;
}

bool window_next_release(Window& w, uint16_t* packet_id) {
  while (w.releases_count > 0) {
    uint16_t id = w.releases[w.releases_first];
    InflightRecord* r = find(w, id);
    if (w.release_gate && r != nullptr && r->stage == Stage::kReleasing && !r->release_recorded) {
      return false;
    }
    w.releases_first = (w.releases_first + 1) % kWindowRecords;
    --w.releases_count;
    if (r == nullptr || r->stage != Stage::kReleasing) continue;
    set_stage(w, *r, Stage::kAwaitComp);
    *packet_id = id;
    return true;
  }
  return false;
}

AckOutcome window_ack(Window& w, unsigned char type, uint16_t packet_id, uint8_t reason) {
  AckOutcome outcome;
  InflightRecord* r = find(w, packet_id);
  bool failed = reason >= kFirstFailureReason;
  if (r != nullptr) outcome.seq = r->seq;
  if (type == kPubackType && r != nullptr && r->qos == 1 && r->stage == Stage::kAwaitAck) {
    set_stage(w, *r, Stage::kDone);
    outcome.progress = true;
    outcome.completed = !failed;
    outcome.refused = failed;
  } else if (type == kPubackType && r != nullptr && r->qos == 2 && r->stage == Stage::kAwaitAck) {
    outcome.wrong_kind = true;
  } else if (type == kPubrecType && r != nullptr && r->qos == 2 && r->stage == Stage::kAwaitAck) {
    set_stage(w, *r, failed ? Stage::kDone : Stage::kReleasing);  // no PUBREL after a refusal
    if (!failed) queue_release(w, packet_id);
    outcome.progress = true;
    outcome.refused = failed;
  } else if (type == kPubrecType && r != nullptr && r->qos == 2 && r->stage == Stage::kAwaitComp) {
    // The broker did not get our PUBREL, or asks again: it gets another, once.
    set_stage(w, *r, Stage::kReleasing);
    queue_release(w, packet_id);
  } else if (type == kPubrecType && (r == nullptr || r->stage == Stage::kDone)) {
    outcome.unknown = true;
  } else if (type == kPubcompType && r != nullptr && r->qos == 2 && r->stage == Stage::kAwaitComp) {
    set_stage(w, *r, Stage::kDone);
    outcome.progress = true;
    outcome.completed = true;
  }
  drop_done(w);
  return outcome;
}

size_t window_restart(Window& w, bool resume, size_t slots, uint16_t* last) {
  w.releases_count = 0;
  w.send_cursor = 0;
  size_t again = 0;
  *last = 0;
  for (size_t i = 0; i < w.count; ++i) {
    InflightRecord& r = at(w, i);
    if (r.stage == Stage::kDone) continue;
    if (r.stage == Stage::kUnsent) {
      r.dup = resume && r.dup;  // sent on an earlier connection: a duplicate only to that session
      continue;
    }
    if (again++ < slots) *last = r.packet_id;
    if (resume && (r.stage == Stage::kReleasing || r.stage == Stage::kAwaitComp)) {
      set_stage(w, r, Stage::kReleasing);
      queue_release(w, r.packet_id);
      continue;
    }
    r.dup = resume && (r.dup || r.stage == Stage::kAwaitAck);
    set_stage(w, r, Stage::kUnsent);
  }
  return again;
}

bool window_answered(Window& w, uint16_t packet_id) {
  const InflightRecord* r = find(w, packet_id);
  return r == nullptr || (r->stage != Stage::kUnsent && r->stage != Stage::kAwaitAck);
}

