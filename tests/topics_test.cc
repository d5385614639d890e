// Topics: which names pass, records split into topic and payload, and the bounded alias map.
#include "topics.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using P = TopicProblem;

TEST(Topic, OnlyNamesABrokerTakesPass) {
  const struct {
    std::string topic;
    TopicProblem problem;
  } cases[] = {
      {"a/b/c", P::kNone},
      {"/", P::kNone},
      {"sensors/", P::kNone},
      {"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80 \xf4\x8f\xbf\xbd", P::kNone},
      {std::string(65535, 't'), P::kNone},
      {"", P::kEmpty},
      {std::string(65536, 't'), P::kTooLong},
      {"a/+/c", P::kWildcard},
      {"a/#", P::kWildcard},
      {std::string("a\0b", 3), P::kZeroByte},
      {"bad\xff", P::kNotUtf8},
      {"\x80", P::kNotUtf8},              // continuation byte without a lead
      {"\xc3", P::kNotUtf8},              // cut short
      {"\xe2\x82", P::kNotUtf8},          // cut short
      {"\xc3(", P::kNotUtf8},             // lead without its continuation
      {"\xc0\xaf", P::kNotUtf8},          // overlong '/'
      {"\xe0\x80\xaf", P::kNotUtf8},      // overlong '/'
      {"\xf0\x82\x82\xac", P::kNotUtf8},  // overlong U+20AC
      {"\xc0\x80", P::kNotUtf8},          // overlong U+0000
      {"\xed\xa0\x80", P::kNotUtf8},      // U+D800
      {"\xed\xbf\xbf", P::kNotUtf8},      // U+DFFF
      {"\xf4\x90\x80\x80", P::kNotUtf8},  // U+110000
      {"\xf8\x88\x80\x80\x80", P::kNotUtf8},
      {"a\tb", P::kControlCharacter},
      {"a\x7f", P::kControlCharacter},
      {"\xc2\x9f", P::kControlCharacter},      // U+009F
      {"\xef\xb7\x90", P::kNoncharacter},      // U+FDD0
      {"\xef\xbf\xbe", P::kNoncharacter},      // U+FFFE
      {"\xf4\x8f\xbf\xbf", P::kNoncharacter},  // U+10FFFF
  };
  for (const auto& c : cases) {
    EXPECT_EQ(topic_problem(c.topic), c.problem) << testing::PrintToString(c.topic);
    EXPECT_EQ(topic_is_publishable(c.topic), c.problem == P::kNone);
  }
  EXPECT_STREQ(topic_problem_text(P::kWildcard), "contains a wildcard");
}

TEST(Topic, RecordSplitsAtTheFirstSeparator) {
  const struct {
    std::string record;
    char separator;
    std::string topic, payload;
  } cases[] = {
      {"temp_0d:23.5 C\n", ':', "sensors/temp_0d", "23.5 C\n"},
      {"no separator\n", ':', "sensors/", "no separator\n"},
      {":at start\n", ':', "sensors/", "at start\n"},
      {"at end:", ':', "sensors/at end", ""},
      {"a:b:c\n", ':', "sensors/a", "b:c\n"},
      {std::string("x\0y\0", 4), '\0', "sensors/x", std::string("y\0", 2)},
      {"", ':', "sensors/", ""},
  };
  std::string topic = "left over from the record before";
  for (const auto& c : cases) {
    std::string_view payload = split_record(c.record, c.separator, "sensors/", &topic);
    EXPECT_EQ(topic, c.topic) << testing::PrintToString(c.record);
    EXPECT_EQ(payload, c.payload) << testing::PrintToString(c.record);
  }
}

TEST(Topic, ASplitRecordsTopicHasTheProblemsOfTheWholeCheck) {
  // split_checked looks only at the subtopic when it is plain ASCII; every row must come out
  // as split_record followed by topic_problem says.
  const std::string prefixes[] = {"sensors/", "", "a/+/", "caf\xc3\xa9/", "cut\xc3",
                                  std::string(65530, 'p')};
  const std::string records[] = {
      "s042:0000000042 abc\n", "s:x", ":no subtopic\n", "no separator\n", "",
      "a+b:x", "a#:x", std::string("a\0b:x", 5), "a\tb:x", "a\x7f:x",
      "caf\xc3\xa9:x", "bad\xff:x", "\xc3:x", "x:y\xff", "long subtopic:x",
      "abcdef:x", "abcdefg:x",
  };
  for (char separator : {':', '\t', '#', '\0', '\xc3'}) {
    for (const std::string& prefix : prefixes) {
      TopicSplitter splitter = make_topic_splitter(prefix, separator);
      for (const std::string& record : records) {
        std::string want_topic = "left over";
        std::string_view want_payload = split_record(record, separator, prefix, &want_topic);
        std::string_view payload;
        TopicProblem problem = split_checked(splitter, record, &payload);
        std::string where = testing::PrintToString(prefix.substr(0, 12)) + " + " +
                            testing::PrintToString(record) + " at " +
                            testing::PrintToString(std::string(1, separator));
        EXPECT_EQ(splitter.topic, want_topic) << where;
        EXPECT_EQ(payload, want_payload) << where;
        EXPECT_EQ(problem, topic_problem(want_topic)) << where;
      }
    }
  }
}

TEST(Topic, AliasesGoToTopicsThatRecurSoon) {
  // Each row: the broker's maximum, the topics looked up in turn, and per lookup the answer:
  // '-' the full topic without alias, a digit N the topic binding alias N, 'kN' alias N alone.
  const struct {
    const char* name;
    uint16_t maximum;
    std::vector<const char*> topics;
    std::vector<const char*> uses;
  } cases[] = {
      {"free aliases bind at once", 3, {"a", "b", "a", "c", "b"}, {"1", "2", "k1", "3", "k2"}},
      {"a topic that recurs within the aliases' count takes the least recently used one",
       2,
       {"a", "b", "a", "c", "c", "c", "b"},
       {"1", "2", "k1", "-", "2", "k2", "-"}},
      {"topics in turn, one more than the aliases: the bound ones stay",
       2,
       {"a", "b", "c", "a", "b", "c", "a", "b", "c"},
       {"1", "2", "-", "k1", "k2", "-", "k1", "k2", "-"}},
      {"a topic that comes back too late stays without alias",
       2,
       {"a", "b", "x", "a", "b", "a", "x"},
       {"1", "2", "-", "k1", "k2", "k1", "-"}},
      {"a new connection knows none", 1, {"b", "b", "c", "c"}, {"1", "k1", "-", "1"}},
      {"no aliases granted", 0, {"a", "a"}, {"-", "-"}},
  };
  for (const auto& c : cases) {
    TopicAliases aliases;
    aliases.reset(5);
    aliases.lookup("left over from the connection before");
    aliases.reset(c.maximum);
    ASSERT_EQ(c.topics.size(), c.uses.size()) << c.name;
    for (size_t i = 0; i < c.topics.size(); ++i) {
      TopicAliases::Use use = aliases.lookup(c.topics[i]);
      std::string got = use.alias == 0 ? "-" : (use.known ? "k" : "") + std::to_string(use.alias);
      EXPECT_EQ(got, c.uses[i]) << c.name << ", lookup " << i << " of " << c.topics[i];
    }
  }
}

TEST(Topic, AForgottenAliasIsFreeAgain) {
  TopicAliases aliases;
  aliases.reset(2);
  aliases.lookup("a");
  aliases.lookup("b");
  aliases.forget("a");  // its PUBLISH went without the alias
  TopicAliases::Use use = aliases.lookup("c");
  EXPECT_EQ(use.alias, 1);
  EXPECT_FALSE(use.known);
  EXPECT_EQ(aliases.lookup("b").known, true);

  // Two forgotten in turn: the second is reused first, then the first, whose old topic is
  // bound elsewhere by then and must stay so.
  aliases.reset(2);
  aliases.lookup("a");
  aliases.lookup("b");
  aliases.forget("a");
  aliases.forget("b");
  use = aliases.lookup("a");
  EXPECT_EQ(use.alias, 2);
  EXPECT_FALSE(use.known);
  use = aliases.lookup("c");
  EXPECT_EQ(use.alias, 1);
  EXPECT_FALSE(use.known);
  use = aliases.lookup("a");
  EXPECT_EQ(use.alias, 2);
  EXPECT_TRUE(use.known) << "a is still bound to 2";
  aliases.forget("x");  // never bound: changes nothing
  EXPECT_TRUE(aliases.lookup("c").known);
}

TEST(Topic, ManyTopicsInTurnRebindNoAliasAndAHotOneGetsOne) {
  TopicAliases aliases;
  aliases.reset(10);  // what mosquitto grants
  int bindings = 0, known = 0;
  for (int i = 0; i < 3000; ++i) {
    TopicAliases::Use use = aliases.lookup("bench/s" + std::to_string(i % 1000));
    bindings += use.alias != 0 && !use.known;
    known += use.known;
  }
  EXPECT_EQ(bindings, 10) << "only the free aliases bind";
  EXPECT_EQ(known, 20) << "the ten bound at first stay bound, known in each later turn";
  // A topic every other record among them recurs soon: it takes an alias and keeps it.
  int hot_known = 0;
  for (int i = 0; i < 100; ++i) {
    hot_known += aliases.lookup("bench/hot").known;
    aliases.lookup("bench/s" + std::to_string(i));
  }
  EXPECT_EQ(hot_known, 98) << "bound at its second lookup, known from the third";
}

TEST(Topic, AliasesNameOnlyTheTopicTheBrokerBoundThemTo) {
  // A broker's view of the aliases, kept from what the lookups let out: a PUBLISH that binds an
  // alias goes with it, or now and then without it (too large with it) and is forgotten. Sets
  // of numbered topics take turns, so aliases are bound and rebound again and again, and
  // numbered topics differ only in their last bytes.
  for (uint16_t maximum : {1, 4, 10}) {
    TopicAliases aliases;
    aliases.reset(maximum);
    std::vector<std::string> broker(maximum + 1u);
    unsigned random = 12345;
    int known = 0;
    for (int phase = 0; phase < 40; ++phase) {
      for (int round = 0; round < 30; ++round) {
        for (int k = 0; k < maximum; ++k) {
          random = random * 1103515245 + 12345;
          int n = (random >> 16) % 8 == 0 ? (random >> 8) % 1000 : phase * maximum + k;
          std::string topic = "bench/s" + std::to_string(n);
          TopicAliases::Use use = aliases.lookup(topic);
          ASSERT_LE(use.alias, maximum);
          if (use.known) {
            ASSERT_EQ(broker[use.alias], topic) << "alias " << use.alias << ", phase " << phase;
            known += round >= 10;
          } else if (use.alias != 0 && (random >> 20) % 16 == 0) {
            aliases.forget(topic);
          } else if (use.alias != 0) {
            broker[use.alias] = topic;
          }
        }
      }
    }
    // From the tenth round of a phase on, its topics are bound and found (all but the few
    // strays each phase mixes in and those they push out).
    EXPECT_GT(known, 40 * 20 * maximum * 3 / 4) << "maximum " << maximum;
  }
}

TEST(Topic, AliasesStayWithinTheirBounds) {
  TopicAliases aliases;
  aliases.reset(0);  // the broker takes no aliases
  EXPECT_EQ(aliases.lookup("a").alias, 0);
  aliases.reset(65535);
  for (int i = 0; i < 3000; ++i) {
    TopicAliases::Use use = aliases.lookup("t/" + std::to_string(i));
    EXPECT_EQ(use.alias, i < TopicAliases::kMaxAliases ? i + 1 : 0) << i;
    EXPECT_FALSE(use.known);
  }
  std::string long_topic(TopicAliases::kMaxAliasedTopicBytes + 1, 'l');
  EXPECT_EQ(aliases.lookup(long_topic).alias, 0);
  EXPECT_EQ(aliases.lookup(long_topic).alias, 0);
}

}  // namespace
