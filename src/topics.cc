// Topic names: the checks a broker makes, records split into topic and payload, and the topic
// aliases of one MQTT 5 connection.
#include "topics.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <utility>

namespace {

// The code point that starts at `s[*i]`, with `*i` moved past it; -1 when the bytes there are not
// well-formed UTF-8 (a stray or missing continuation byte, an overlong form, a surrogate, or a
// value beyond U+10FFFF).
long decode_utf8(std::string_view s, size_t* i) {
  unsigned char lead = static_cast<unsigned char>(s[*i]);
  size_t extra;
  long code, smallest;
  if (lead < 0x80) {
    ++*i;
    return lead;
  } else if ((lead & 0xE0) == 0xC0) {
    extra = 1, code = lead & 0x1F, smallest = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    extra = 2, code = lead & 0x0F, smallest = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    extra = 3, code = lead & 0x07, smallest = 0x10000;
  } else {
    return -1;
  }
  if (s.size() - *i <= extra) return -1;
  for (size_t k = 1; k <= extra; ++k) {
    unsigned char next = static_cast<unsigned char>(s[*i + k]);
    if ((next & 0xC0) != 0x80) return -1;
    code = (code << 6) | (next & 0x3F);
  }
  if (code < smallest || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return -1;
  *i += extra + 1;
  return code;
}

// The bytes a topic name may hold as they are, without decoding: printable ASCII other than
// the wildcards. A table, as every byte of a record's topic is looked at.
struct PlainBytes {
  bool plain[256] = {};
  constexpr PlainBytes() {
    for (int c = 0x20; c < 0x7F; ++c) plain[c] = c != '+' && c != '#';
  }
};
constexpr PlainBytes kPlainBytes;

// What a broker thinks of one well-formed code point in a topic name.
TopicProblem code_point_problem(long code) {
  if (code == 0) return TopicProblem::kZeroByte;
  if (code == '+' || code == '#') return TopicProblem::kWildcard;
  if (code <= 0x1F || (code >= 0x7F && code <= 0x9F)) return TopicProblem::kControlCharacter;
  if ((code >= 0xFDD0 && code <= 0xFDEF) || (code & 0xFFFE) == 0xFFFE) {
    return TopicProblem::kNoncharacter;
  }
  return TopicProblem::kNone;
}

// The hash TopicAliases keys topics by: eight bytes at a time, as topics are short.
uint64_t topic_hash(std::string_view topic) {
  constexpr uint64_t kMultiplier = 0x9E3779B97F4A7C15ull;
  auto mix = [](uint64_t h, uint64_t word) {
    h = (h ^ word) * kMultiplier;
    return h ^ (h >> 32);
  };
  const char* p = topic.data();
  size_t n = topic.size();
  uint64_t h = mix(0, n);
  uint64_t word = 0;
  if (n < 8) {
    for (size_t i = 0; i < n; ++i) word |= uint64_t{static_cast<unsigned char>(p[i])} << (8 * i);
    return mix(h, word);
  }
  for (; n > 8; p += 8, n -= 8) {
    memcpy(&word, p, 8);
    h = mix(h, word);
  }
  memcpy(&word, p + n - 8, 8);  // the last eight bytes, some of them hashed already
  return mix(h, word);
}

}  // namespace

TopicProblem topic_problem(std::string_view topic) {
  if (topic.empty()) return TopicProblem::kEmpty;
  if (topic.size() > kMaxTopicBytes) return TopicProblem::kTooLong;
  for (size_t i = 0; i < topic.size();) {
    // Printable ASCII other than the wildcards, the bulk of most topics, needs no decoding: it
    // is checked once a record with --topic-separator.
    if (kPlainBytes.plain[static_cast<unsigned char>(topic[i])]) {
      ++i;
      continue;
    }
    long code = decode_utf8(topic, &i);
    if (code < 0) return TopicProblem::kNotUtf8;
    TopicProblem problem = code_point_problem(code);
    if (problem != TopicProblem::kNone) return problem;
  }
  return TopicProblem::kNone;
}

bool is_mqtt_utf8(std::string_view text) {
  if (text.size() > kMaxTopicBytes) return false;
  for (size_t i = 0; i < text.size();) {
    if (decode_utf8(text, &i) <= 0) return false;
  }
  return true;
}

bool is_mqtt_text(std::string_view text) {
  if (text.size() > kMaxTopicBytes) return false;
  for (size_t i = 0; i < text.size();) {
    long code = decode_utf8(text, &i);
    if (code < 0) return false;
    TopicProblem problem = code_point_problem(code);
    if (problem != TopicProblem::kNone && problem != TopicProblem::kWildcard) return false;
  }
  return true;
}

const char* topic_problem_text(TopicProblem problem) {
  switch (problem) {
    case TopicProblem::kNone:
      return "";
    case TopicProblem::kEmpty:
      return "is empty";
    case TopicProblem::kTooLong:
      return "is longer than 65,535 bytes";
    case TopicProblem::kWildcard:
      return "contains a wildcard";
    case TopicProblem::kZeroByte:
      return "contains a zero byte";
    case TopicProblem::kNotUtf8:
      return "is not valid UTF-8";
    case TopicProblem::kControlCharacter:
      return "contains a control character";
    case TopicProblem::kNoncharacter:
      return "contains a Unicode noncharacter";
  }
  return "";
}

std::string_view split_record(std::string_view record, char separator, std::string_view prefix,
                              std::string* topic) {
  size_t at = record.find(separator);
  size_t taken = at == std::string_view::npos ? 0 : at;
  // One resize, a no-op while the topics have one length, and two copies: an assign and an
  // append cost three times as much.
  topic->resize(prefix.size() + taken);
  memmove(&(*topic)[0], prefix.data(), prefix.size());
  memcpy(&(*topic)[prefix.size()], record.data(), taken);
  return at == std::string_view::npos ? record : record.substr(at + 1);
}

void TopicAliases::reset(uint16_t broker_maximum) {
  maximum_ = std::min(broker_maximum, kMaxAliases);
  lookups_ = 0;
  // Four slots for each sighting that counts keep their collisions rare.
  size_t slots = 1;
  while (maximum_ > 0 && slots < 4u * maximum_) slots *= 2;
  seen_.assign(maximum_ > 0 ? slots : 0, Sighting{0, 0});
  by_hash_.clear();
  recent_.clear();
}

bool TopicAliases::recurs_soon(uint64_t hash) {
  Sighting& s = seen_[hash & (seen_.size() - 1)];
  bool soon = s.at != 0 && s.hash == hash && lookups_ - s.at <= maximum_;
  s = {hash, lookups_};
  return soon;
}

TopicAliases::Use TopicAliases::lookup(std::string_view topic) {
  ++lookups_;
  // The same topic as the last record's, the common case, needs no hashing.
  if (!recent_.empty() && recent_.front().topic == topic && !topic.empty()) {
    return {recent_.front().alias, true};
  }
  // Long topics go in full: keeping them would let a few of them hold megabytes.
  if (maximum_ == 0 || topic.size() > kMaxAliasedTopicBytes) return {0, false};
  const uint64_t hash = topic_hash(topic);
  auto found = by_hash_.find(hash);
  if (found != by_hash_.end()) {
    if (found->second->topic != topic) return {0, false};  // another topic has its hash
    recent_.splice(recent_.begin(), recent_, found->second);
    return {found->second->alias, true};
  }
  if (recent_.size() < maximum_) {
    uint16_t alias = static_cast<uint16_t>(recent_.size() + 1);
    recent_.push_front({std::string(topic), hash, alias});
    by_hash_.emplace(hash, recent_.begin());
    return {alias, false};
  }
  // All aliases taken: the least recently used topic's alias now means this one, if it recurs
  // soon enough to use it (a forgotten alias is free). The map node and the topic's buffer are
  // reused, so a full map allocates nothing more.
  auto oldest = std::prev(recent_.end());
  const bool forgotten = oldest->topic.empty();
  if (!forgotten && !recurs_soon(hash)) return {0, false};
  // A forgotten entry is in no map node: its stale hash may be a bound topic's now.
  auto node = forgotten ? decltype(by_hash_)::node_type() : by_hash_.extract(oldest->hash);
  oldest->topic.assign(topic);
  oldest->hash = hash;
  if (node.empty()) {
    by_hash_.emplace(hash, oldest);
  } else {
    node.key() = hash;
    by_hash_.insert(std::move(node));
  }
  recent_.splice(recent_.begin(), recent_, oldest);
  return {oldest->alias, false};
}

void TopicAliases::forget(std::string_view topic) {
  if (topic.empty()) return;
  auto found = by_hash_.find(topic_hash(topic));
  if (found == by_hash_.end() || found->second->topic != topic) return;
  auto entry = found->second;
  by_hash_.erase(found);
  entry->topic.clear();  // no topic is empty, so no lookup finds it
  recent_.splice(recent_.end(), recent_, entry);
}

std::vector<std::string_view> TopicAliases::by_alias() const {
  std::vector<std::string_view> table(maximum_ + 1u);
  for (const Entry& e : recent_) table[e.alias] = e.topic;
  return table;
}
