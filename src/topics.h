// Topics of published records: which names a broker takes, the topic and payload of each record,
// and the MQTT 5 topic aliases of one connection. Pure functions and plain data, no I/O.
#pragma once

#include <cstddef>
#include <cstdint>
#include <list>
#include <string>
#include <string_view>
#include <vector>

/// The longest topic name a PUBLISH can carry: its length is a two-byte field.
constexpr size_t kMaxTopicBytes = 65535;

/// Why a broker would refuse messages published to a topic name.
enum class TopicProblem {
  kNone,
  kEmpty,
  kTooLong,           // more than kMaxTopicBytes
  kWildcard,          // '+' or '#'
  kZeroByte,          // U+0000
  kNotUtf8,           // stray or missing continuation bytes, overlong, surrogate, > U+10FFFF
  kControlCharacter,  // U+0001..U+001F, U+007F..U+009F: the broker closes the connection
  kNoncharacter,      // U+FDD0..U+FDEF, U+xFFFE, U+xFFFF: likewise
};

/// The first problem found in `topic`, kNone when a broker accepts messages published to it.
TopicProblem topic_problem(std::string_view topic);

/// A few words for a refusal line, such as "contains a wildcard"; "" for kNone.
const char* topic_problem_text(TopicProblem problem);

/// Whether a broker accepts messages published to `topic` (see topic_problem).
inline bool topic_is_publishable(std::string_view topic) {
  return topic_problem(topic) == TopicProblem::kNone;
}

/// Whether `text` is well-formed UTF-8 (shortest forms, no surrogates, nothing past U+10FFFF)
/// without U+0000, and at most 65,535 bytes: what an MQTT string may hold.
bool is_mqtt_utf8(std::string_view text);

/// Whether `text` is a string MQTT takes as it is (a client identifier, say): at most 65,535
/// bytes of UTF-8 without the characters a broker refuses in a topic name other than wildcards.
bool is_mqtt_text(std::string_view text);

/// Splits `record` at its first `separator` byte: `*topic` becomes `prefix` followed by the
/// bytes before the separator, and the result is the bytes after it (the record's delimiter, if
/// any, included). A record without the separator gives `prefix` and the whole record.
/// `*topic` keeps its capacity, so no allocation happens once it has grown to the longest topic.
/// The result refers into `record`.
std::string_view split_record(std::string_view record, char separator, std::string_view prefix,
                              std::string* topic);

/// How records are split into topic and payload by one run: with `stops`, the bytes that end
/// a scan of the subtopic (the separator, and every byte topic_problem would have to decode or
/// refuse), what topic_problem says of `prefix` alone, and the topic of the record split last,
/// which always begins with the prefix.
struct TopicSplitter {
  std::string_view prefix;
  char separator = 0;
  TopicProblem prefix_problem = TopicProblem::kNone;
  bool stops[256] = {};
  std::string topic;
};

/// The splitter of `prefix` (which it refers to) and `separator`.
TopicSplitter make_topic_splitter(std::string_view prefix, char separator);

/// Splits `record` as split_record does, into `splitter.topic` and `*payload`, and returns
/// topic_problem of the topic. A subtopic of printable ASCII other than the wildcards, the
/// common case, is found in one scan and needs no check of its own: the prefix followed by it
/// has the prefix's problem, if any, once the topic is neither empty nor too long. Anything
/// else is checked whole.
TopicProblem split_checked(TopicSplitter& splitter, std::string_view record,
                           std::string_view* payload);

/// The topic aliases of one MQTT 5 connection. Topics take the free aliases from 1 to the
/// broker's Topic Alias Maximum as they come. Once all are taken, a topic without one gets the
/// alias of the least recently used topic only when it recurs soon: when it was last sent
/// without an alias at most as many lookups ago as there are aliases. Other topics go in full,
/// so that many topics in turn do not rebind an alias with every record, which costs both sides
/// more than the full topic. Memory is bounded whatever the number of distinct topics: at most
/// kMaxAliases topics of at most kMaxAliasedTopicBytes are kept, and a fixed table of sightings.
class TopicAliases {
 public:
  static constexpr uint16_t kMaxAliases = 1024;
  static constexpr size_t kMaxAliasedTopicBytes = 1024;

  /// What to send with a PUBLISH. `alias` 0: the full topic and no alias. `known`: the broker
  /// already maps `alias` to this topic, send an empty topic and the alias; otherwise send the
  /// topic and the alias, which binds it (replacing what the alias meant before).
  struct Use {
    uint16_t alias;
    bool known;
  };

  /// Forgets every alias and allows `broker_maximum` (the CONNACK's Topic Alias Maximum, 0 when
  /// absent) of them, at most kMaxAliases. Call on each new connection, before its first PUBLISH.
  void reset(uint16_t broker_maximum);

  /// The alias for a PUBLISH to `topic`, counted as used now. Call in the order the packets go
  /// out on this connection: a packet resent on a later one needs a new lookup after reset().
  Use lookup(std::string_view topic);

  /// Undoes the binding the last lookup of `topic` made when its PUBLISH goes without the
  /// alias after all: the alias then means nothing known to us, and is the next to be reused.
  void forget(std::string_view topic);

  /// The topic each alias stands for, indexed by alias (entry 0 and unknown ones empty). The
  /// views are valid until the next lookup, forget or reset.
  std::vector<std::string_view> by_alias() const;

 private:
  struct Entry {
    std::string topic;  // empty once forgotten
    uint64_t hash;      // of `topic`, while it is not empty
    uint16_t alias;
  };
  // A topic last sent without an alias: its hash and the lookup count then.
  struct Sighting {
    uint64_t hash;
    uint64_t at;
  };
  // Whether the topic of `hash` was sent without an alias within the last maximum_ lookups;
  // notes it now.
  bool recurs_soon(uint64_t hash);

  // The slot of a topic's hash in seen_ and bound_, which are of one size, a power of two.
  size_t slot_of(uint64_t hash) const { return shift_ < 64 ? hash >> shift_ : 0; }

  uint16_t maximum_ = 0;
  unsigned shift_ = 64;  // 64 less the bits of a slot number
  uint64_t lookups_ = 0;
  std::vector<Sighting> seen_;  // direct-mapped by hash; a collision only forgets a sighting
  std::list<Entry> recent_;  // most recently used first; nodes never move, so views stay valid
  // Bound topics by hash, hashed once per lookup that misses (with 1,000 topics in turn and 10
  // aliases, every one): open addressing with linear probing in a table of at least four
  // slots an alias, recent_.end() for a free slot. A map of the library's cost a division and
  // a walk of its bucket per miss. Two topics of one hash cannot both be bound: the second
  // goes in full.
  using Node = std::list<Entry>::iterator;
  std::vector<Node> bound_;
  size_t find_bound(uint64_t hash);  // the slot, or bound_.size() when none holds `hash`
  void bind(Node entry);
  void unbind(size_t slot);
};

