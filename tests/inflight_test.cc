// The in-flight window: the broker's quota on first sending and on resending, stages that
// acknowledgements out of order cannot break, and what a new connection sends again.
#include "inflight.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "mqtt_packets.h"

namespace {

// Adds `count` records with the seqs that follow, the first seq 0 (packet identifier 1).
void add(Window& w, size_t count, int qos) {
  for (size_t i = 0; i < count; ++i) {
    uint64_t seq = w.ring[0].packet_id == 0 ? 0 : w.last_seq + 1;
    std::string payload = "r" + std::to_string(seq);
    window_add(w, seq, "t", payload.data(), payload.size(), qos, false);
  }
}

// Writes every record the quota lets out; returns their packet identifiers.
std::vector<uint16_t> send_all(Window& w) {
  std::vector<uint16_t> sent;
  while (InflightRecord* r = window_next_unsent(w)) {
    sent.push_back(r->packet_id);
    window_mark_sent(w, *r);
  }
  return sent;
}

std::vector<uint16_t> releases(Window& w) {
  std::vector<uint16_t> ids;
  for (uint16_t id = 0; window_next_release(w, &id);) ids.push_back(id);
  return ids;
}

std::vector<uint16_t> ids(uint16_t from, uint16_t count) {
  std::vector<uint16_t> out;
  for (uint16_t i = 0; i < count; ++i) out.push_back(static_cast<uint16_t>(from + i));
  return out;
}

Window qos2_window(bool mqtt5) {
  Window w;
  w.qos2_quota = 20;
  w.slot_until_complete = mqtt5;
  return w;
}

TEST(Window, Qos2QuotaHoldsOnFirstSendingAndOnResending) {
  for (bool mqtt5 : {false, true}) {
    Window w = qos2_window(mqtt5);
    add(w, 200, 2);
    EXPECT_EQ(send_all(w), ids(1, 20)) << "mqtt5 " << mqtt5;
    EXPECT_EQ(w.awaiting, 20u) << "every record sent awaits its PUBREC";
    window_ack(w, kPubrecType, 1, 0);
    EXPECT_EQ(w.awaiting, 19u) << "a record whose PUBREL is still to go awaits nothing";
    EXPECT_EQ(releases(w), ids(1, 1));
    EXPECT_EQ(w.awaiting, 20u) << "its PUBREL went: it awaits PUBCOMP";
    // 3.1.1: the slot is free once the PUBREL is written; MQTT 5: only at PUBCOMP.
    EXPECT_EQ(send_all(w), mqtt5 ? ids(0, 0) : ids(21, 1));
    window_ack(w, kPubcompType, 1, 0);
    EXPECT_EQ(send_all(w), mqtt5 ? ids(21, 1) : ids(0, 0));
    EXPECT_EQ(w.awaiting, 20u);
    // A new connection: the records go again, oldest first, within the same quota.
    uint16_t last = 0;
    EXPECT_EQ(window_restart(w, false, kWindowRecords, &last), 20u)
        << "records 2 to 21 were sent before";
    EXPECT_EQ(last, 21);
    EXPECT_EQ(w.awaiting, 0u) << "nothing is out on the new connection yet";
    EXPECT_EQ(send_all(w), ids(2, 20)) << "mqtt5 " << mqtt5;
  }
}

TEST(Window, AcknowledgementsOutOfOrderChangeNothing) {
  Window w = qos2_window(false);
  add(w, 3, 2);
  send_all(w);
  // PUBCOMP before PUBREC for a record that is not the first: ignored, no progress.
  AckOutcome early = window_ack(w, kPubcompType, 2, 0);
  EXPECT_FALSE(early.progress);
  EXPECT_EQ(w.holding_qos2, 3u);
  EXPECT_TRUE(window_ack(w, kPubrecType, 2, 0).progress);
  EXPECT_EQ(releases(w), ids(2, 1));
  EXPECT_EQ(w.holding_qos2, 2u);
  // The same PUBREC again gets one more PUBREL and holds no second slot.
  EXPECT_FALSE(window_ack(w, kPubrecType, 2, 0).progress);
  EXPECT_EQ(releases(w), ids(2, 1));
  EXPECT_EQ(w.holding_qos2, 2u);
  EXPECT_TRUE(window_ack(w, kPubcompType, 2, 0).completed);
  // PUBACK for a QoS 2 record and acknowledgements for no record change nothing.
  EXPECT_FALSE(window_ack(w, kPubackType, 1, 0).progress);
  EXPECT_TRUE(window_ack(w, kPubrecType, 99, 0).unknown);
  EXPECT_TRUE(window_ack(w, kPubrecType, 2, 0).unknown) << "its record is done";
  EXPECT_FALSE(window_ack(w, kPubcompType, 99, 0).progress);
  for (uint16_t id : {1, 3}) {
    window_ack(w, kPubrecType, id, 0);
    releases(w);
    window_ack(w, kPubcompType, id, 0);
  }
  EXPECT_EQ(w.count, 0u);
  EXPECT_EQ(w.holding, 0u);
  EXPECT_EQ(w.holding_qos2, 0u);
}

TEST(Window, RefusalsEndARecordWithoutRelease) {
  Window w;
  add(w, 1, 1);
  add(w, 1, 2);
  send_all(w);
  AckOutcome puback = window_ack(w, kPubackType, 1, 0x87);
  EXPECT_TRUE(puback.refused);
  EXPECT_FALSE(puback.completed);
  AckOutcome pubrec = window_ack(w, kPubrecType, 2, 0x97);
  EXPECT_TRUE(pubrec.refused);
  EXPECT_TRUE(releases(w).empty());
  EXPECT_EQ(w.count, 0u);
  add(w, 1, 1);
  send_all(w);
  EXPECT_FALSE(window_ack(w, kPubackType, 3, 0x10).refused) << "No matching subscribers";
}

TEST(Window, ResumedSessionContinuesEachRecordWhereItWas) {
  Window w = qos2_window(true);
  add(w, 4, 2);
  send_all(w);
  window_ack(w, kPubrecType, 1, 0);
  window_ack(w, kPubrecType, 2, 0);
  releases(w);                       // records 1 and 2 await PUBCOMP
  window_ack(w, kPubrecType, 3, 0);  // record 3: PUBREL due, not written
  uint16_t last = 0;
  EXPECT_EQ(window_restart(w, true, kWindowRecords, &last), 4u);
  EXPECT_EQ(last, 4);
  EXPECT_EQ(releases(w), (std::vector<uint16_t>{1, 2, 3}));
  InflightRecord* r = window_next_unsent(w);
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(r->packet_id, 4);
  EXPECT_TRUE(r->dup) << "the broker may hold it already";
  window_restart(w, false, kWindowRecords, &last);
  r = window_next_unsent(w);
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(r->packet_id, 1);
  EXPECT_FALSE(r->dup) << "a new session knows none of them";
}

// Packet identifiers follow the records' seqs, gaps and all; a record whose identifier a held
// record has waits until that one is handed over.
TEST(Window, IdentifiersFollowSeqsAndNeverRepeatInFlight) {
  Window w;
  for (uint64_t seq : {7u, 9u, 20u}) window_add(w, seq, "t", "p", 1, 1, false);
  EXPECT_EQ(send_all(w), (std::vector<uint16_t>{8, 10, 21}));
  EXPECT_TRUE(window_id_in_use(w, 7 + 65535)) << "identifier 8 is in flight";
  EXPECT_FALSE(window_id_in_use(w, 8 + 65535));
  EXPECT_TRUE(window_ack(w, kPubackType, 10, 0).completed) << "found past the gap";
  EXPECT_EQ(window_settled(w), 6u) << "record 7 is still held";
  EXPECT_TRUE(window_ack(w, kPubackType, 8, 0).completed);
  EXPECT_EQ(window_settled(w), 19u) << "every record taken before 20 is handed over";
  EXPECT_FALSE(window_id_in_use(w, 7 + 65535));
  window_add(w, 7 + 65535, "t", "p", 1, 1, false);
  EXPECT_EQ(send_all(w), (std::vector<uint16_t>{8}));
  EXPECT_TRUE(window_ack(w, kPubackType, 21, 0).completed);
  EXPECT_TRUE(window_ack(w, kPubackType, 8, 0).completed);
  EXPECT_EQ(window_settled(w), 7u + 65535);
  EXPECT_EQ(packet_id_of(0), 1);
  EXPECT_EQ(packet_id_of(65534), 65535);
}

TEST(Window, RoomIsBoundByRecordsAndBytes) {
  Window w;
  EXPECT_TRUE(window_has_room(w, 10 * kWindowBytes, kWindowRecords, kWindowBytes));
  add(w, 1, 1);
  EXPECT_FALSE(window_has_room(w, kWindowBytes, kWindowRecords, kWindowBytes));
  add(w, kWindowRecords - 1, 1);
  EXPECT_FALSE(window_has_room(w, 1, kWindowRecords, kWindowBytes));
  EXPECT_FALSE(window_has_room(w, 1, kWindowRecords / 2, kWindowBytes));
}

}  // namespace
