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

// The hash TopicAliases keys topics by: eight bytes at a time, as topics are short. Its high
// bits pick a slot: they depend on every byte, where the low bits of topics that differ only
// in their last bytes, such as numbered ones, are the same.
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
  if (n >= 8 && n <= 16) {  // most topics: the first eight bytes and the last eight
    uint64_t last = 0;
    memcpy(&word, p, 8);
    memcpy(&last, p + n - 8, 8);
    return mix(mix(h, word), last);
  }
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

// Whether `a` and `b` hold the same bytes: a topic is compared with the last one looked up for
// every record, and a call of memcmp cost more than the comparison of a short one.
bool same_text(std::string_view a, std::string_view b) {
  const size_t n = a.size();
  if (n != b.size()) return false;
  if (n < 8 || n > 16) return a == b;
  uint64_t a1, a2, b1, b2;
  memcpy(&a1, a.data(), 8);
  memcpy(&b1, b.data(), 8);
  memcpy(&a2, a.data() + n - 8, 8);
  memcpy(&b2, b.data() + n - 8, 8);
  return ((a1 ^ b1) | (a2 ^ b2)) == 0;
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

TopicSplitter make_topic_splitter(std::string_view prefix, char separator) {
  TopicSplitter splitter;
  splitter.prefix = prefix;
  splitter.separator = separator;
  splitter.prefix_problem = topic_problem(prefix);
  for (int c = 0; c < 256; ++c) splitter.stops[c] = !kPlainBytes.plain[c];
  splitter.stops[static_cast<unsigned char>(separator)] = true;
  splitter.topic.assign(prefix);
  return splitter;
}

TopicProblem split_checked(TopicSplitter& splitter, std::string_view record,
                           std::string_view* payload) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(record.data());
  size_t at = 0;
  while (at < record.size() && !splitter.stops[bytes[at]]) ++at;
  std::string& topic = splitter.topic;
  if (at == record.size() || record[at] != splitter.separator) {
    *payload = split_record(record, splitter.separator, splitter.prefix, &topic);
    return topic_problem(topic);
  }
  // The topic holds the prefix already: only the subtopic is copied.
  const size_t kept = splitter.prefix.size();
  if (topic.size() != kept + at) topic.resize(kept + at);
  memcpy(&topic[kept], record.data(), at);
  *payload = record.substr(at + 1);
  // In topic_problem's order: the length, then the first character found wrong, which can
  // only be the prefix's.
  if (topic.empty()) return TopicProblem::kEmpty;
  if (topic.size() > kMaxTopicBytes) return TopicProblem::kTooLong;
  const TopicProblem problem = splitter.prefix_problem;
  return problem == TopicProblem::kEmpty ? TopicProblem::kNone : problem;
}

void TopicAliases::reset(uint16_t broker_maximum) {
  maximum_ = std::min(broker_maximum, kMaxAliases);
  lookups_ = 0;
  // Four slots for each sighting that counts, and for each bound topic, keep their collisions
  // rare and their probes short.
  size_t slots = 1;
  shift_ = 64;
  while (maximum_ > 0 && slots < 4u * maximum_) slots *= 2, --shift_;
  seen_.assign(maximum_ > 0 ? slots : 0, Sighting{0, 0});
  recent_.clear();
  bound_.assign(maximum_ > 0 ? slots : 0, recent_.end());
}

size_t TopicAliases::find_bound(uint64_t hash) {
  const size_t mask = bound_.size() - 1;
  for (size_t i = slot_of(hash); bound_[i] != recent_.end(); i = (i + 1) & mask) {
    if (bound_[i]->hash == hash) return i;
  }
  return bound_.size();
}

void TopicAliases::bind(Node entry) {
  const size_t mask = bound_.size() - 1;
  size_t i = slot_of(entry->hash);
  while (bound_[i] != recent_.end()) i = (i + 1) & mask;
  bound_[i] = entry;
}

void TopicAliases::unbind(size_t gap) {
  // Later entries of the same probe run move up into the gap, so that no probe stops short of
  // them: an entry may fill it unless its home slot lies after the gap, up to the entry.
  const size_t mask = bound_.size() - 1;
  for (size_t i = (gap + 1) & mask; bound_[i] != recent_.end(); i = (i + 1) & mask) {
    const size_t home = slot_of(bound_[i]->hash);
    if (((i - home) & mask) < ((i - gap) & mask)) continue;  // home in (gap, i]: it stays
    bound_[gap] = bound_[i];
    gap = i;
  }
  bound_[gap] = recent_.end();
}

bool TopicAliases::recurs_soon(uint64_t hash) {
  Sighting& s = seen_[slot_of(hash)];
  bool soon = s.at != 0 && s.hash == hash && lookups_ - s.at <= maximum_;
  s = {hash, lookups_};
  return soon;
}

TopicAliases::Use TopicAliases::lookup(std::string_view topic) {
  ++lookups_;
  // The same topic as the last record's, the common case, needs no hashing.
  if (!recent_.empty() && same_text(recent_.front().topic, topic) && !topic.empty()) {
    return {recent_.front().alias, true};
  }
  // Long topics go in full: keeping them would let a few of them hold megabytes.
  if (maximum_ == 0 || topic.size() > kMaxAliasedTopicBytes) return {0, false};
  const uint64_t hash = topic_hash(topic);
  const size_t found = find_bound(hash);
  if (found != bound_.size()) {
    Node entry = bound_[found];
    if (!same_text(entry->topic, topic)) return {0, false};  // another topic has its hash
    recent_.splice(recent_.begin(), recent_, entry);
    return {entry->alias, true};
  }
  if (recent_.size() < maximum_) {
    uint16_t alias = static_cast<uint16_t>(recent_.size() + 1);
    recent_.push_front({std::string(topic), hash, alias});
    bind(recent_.begin());
    return {alias, false};
  }
  // All aliases taken: the least recently used topic's alias now means this one, if it recurs
  // soon enough to use it (a forgotten alias is free). The topic's buffer is reused, so a full
  // table allocates nothing more.
  Node oldest = std::prev(recent_.end());
  const bool forgotten = oldest->topic.empty();
  if (!forgotten && !recurs_soon(hash)) return {0, false};
  // A forgotten entry is in no slot: its stale hash may be a bound topic's now.
  const size_t slot = forgotten ? bound_.size() : find_bound(oldest->hash);
  if (slot != bound_.size()) unbind(slot);
  oldest->topic.assign(topic);
  oldest->hash = hash;
  bind(oldest);
  recent_.splice(recent_.begin(), recent_, oldest);
  return {oldest->alias, false};
}

void TopicAliases::forget(std::string_view topic) {
  if (topic.empty() || bound_.empty()) return;
  const size_t found = find_bound(topic_hash(topic));
  if (found == bound_.size() || bound_[found]->topic != topic) return;
  Node entry = bound_[found];
  unbind(found);
  entry->topic.clear();  // no topic is empty, so no lookup finds it
  recent_.splice(recent_.end(), recent_, entry);
}

std::vector<std::string_view> TopicAliases::by_alias() const {
  std::vector<std::string_view> table(maximum_ + 1u);
  for (const Entry& e : recent_) table[e.alias] = e.topic;
  return table;
}
