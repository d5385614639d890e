// The disk spool: order across segments and reopening, kill safety, damage, a full spool under
// both policies, the lock, and what the ledger keeps.
#include "spool.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "crc32c.h"

namespace {

constexpr uint64_t kSmallSpool = uint64_t{1} << 20;  // 128 KiB segments

std::string make_dir() {
  char path[] = "/tmp/linecast-spool-XXXXXX";
  EXPECT_NE(mkdtemp(path), nullptr);
  return std::string(path) + "/spool";  // the spool makes the last level itself
}

SpoolOptions options(const std::string& dir, uint64_t size = kSmallSpool, bool drop = false) {
  SpoolOptions o;
  o.dir = dir;
  o.size_bytes = size;
  o.drop_oldest = drop;
  o.max_record = 4096;
  return o;
}

SpoolPtr open_ok(const SpoolOptions& o, SpoolRecovery* recovery) {
  std::string error;
  SpoolPtr spool = spool_open(o, recovery, &error);
  EXPECT_NE(spool, nullptr) << error;
  return spool;
}

// Record `seq`'s payload: its number and a length that varies, so that segments roll unevenly.
std::string payload(uint64_t seq) {
  std::string p = std::to_string(seq) + ":";
  p.resize(1 + (seq * 7919) % 1500, static_cast<char>('a' + seq % 26));
  return p;
}

void append(Spool& spool, uint64_t expected_seq) {
  std::string p = payload(expected_seq);
  uint64_t seq = 0, dropped = 0;
  ASSERT_EQ(spool_append(spool, reinterpret_cast<const unsigned char*>(p.data()), p.size(), &seq,
                         &dropped),
            kSpoolOk);
  ASSERT_EQ(seq, expected_seq);
}

// Reads every record there is now, checking each against what was appended.
std::vector<uint64_t> drain(Spool& spool) {
  std::vector<uint64_t> seqs;
  SpoolRecord r;
  int rc;
  while ((rc = spool_next(spool, &r)) == 1) {
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(r.data), r.len), payload(r.seq));
    seqs.push_back(r.seq);
  }
  EXPECT_EQ(rc, 0) << spool_error(spool);
  return seqs;
}

std::vector<uint64_t> range(uint64_t first, uint64_t last) {
  std::vector<uint64_t> v;
  for (uint64_t s = first; s <= last; ++s) v.push_back(s);
  return v;
}

std::map<std::string, off_t> files(const std::string& dir) {
  std::map<std::string, off_t> out;
  DIR* d = opendir(dir.c_str());
  while (dirent* e = d != nullptr ? readdir(d) : nullptr) {
    struct stat st;
    if (e->d_name[0] != '.' && stat((dir + "/" + e->d_name).c_str(), &st) == 0) {
      out[e->d_name] = st.st_size;
    }
  }
  if (d != nullptr) closedir(d);
  return out;
}

TEST(Spool, Crc32cKnownValue) {
  EXPECT_EQ(crc32c(0, "123456789", 9), 0xE3069283u);
  EXPECT_EQ(crc32c(crc32c(0, "1234", 4), "56789", 5), 0xE3069283u);
}

// Records come back in order across segment rolls; what is acknowledged is gone after a
// reopen, closed in order or dropped as by kill -9 (flushed, never synced), and numbering
// goes on where it was.
TEST(Spool, OrderAcrossRollsAckAndReopen) {
  struct Case {
    uint64_t appended, acked;
    bool close;
  };
  for (const Case& c : std::vector<Case>{
           {600, 0, true}, {600, 250, false}, {600, 600, true}, {600, 599, false}, {3, 1, false}}) {
    std::string dir = make_dir();
    SpoolRecovery rec;
    SpoolPtr spool = open_ok(options(dir), &rec);
    for (uint64_t s = 1; s <= c.appended; ++s) append(*spool, s);
    ASSERT_EQ(spool_flush(*spool), kSpoolOk);
    EXPECT_EQ(drain(*spool), range(1, c.appended));
    ASSERT_EQ(spool_ack(*spool, c.acked), kSpoolOk);
    if (c.close) {
      ASSERT_EQ(spool_close(std::move(spool)), kSpoolOk);
    } else {
      spool.reset();
    }
    spool = open_ok(options(dir), &rec);
    EXPECT_EQ(rec.records, c.appended - c.acked);
    EXPECT_EQ(rec.damaged, 0u);
    EXPECT_EQ(drain(*spool), range(c.acked + 1, c.appended));
    append(*spool, c.appended + 1);
    ASSERT_EQ(spool_flush(*spool), kSpoolOk);
    EXPECT_EQ(drain(*spool), range(c.appended + 1, c.appended + 1));
    // Acknowledged segments went: at most the one holding the watermark is left before.
    if (c.appended > 100) {
      EXPECT_LE(files(dir).size(), 3 + (c.appended - c.acked) / 80);
    }
  }
}

TEST(Spool, RewindGivesTheUnacknowledgedAgain) {
  SpoolRecovery rec;
  SpoolPtr spool = open_ok(options(make_dir()), &rec);
  for (uint64_t s = 1; s <= 300; ++s) append(*spool, s);
  ASSERT_EQ(spool_flush(*spool), kSpoolOk);
  EXPECT_EQ(drain(*spool).size(), 300u);
  ASSERT_EQ(spool_ack(*spool, 120), kSpoolOk);
  spool_rewind(*spool);
  EXPECT_EQ(drain(*spool), range(121, 300));
}

// Flips or cuts bytes of a closed spool of 500 records (3 segments).
struct Damage {
  const char* what;
  void (*apply)(const std::map<std::string, off_t>& segs, const std::string& dir);
  uint64_t open_damaged;  // reported at opening
  uint64_t lost_at_least, lost_at_most;
};

void flip(const std::string& path, off_t at) {
  int fd = open(path.c_str(), O_RDWR);
  unsigned char b = 0;
  ASSERT_EQ(pread(fd, &b, 1, at), 1);
  b ^= 0x10;
  ASSERT_EQ(pwrite(fd, &b, 1, at), 1);
  close(fd);
}

TEST(Spool, DamageIsSkippedNeverReturnedNeverRefused) {
  const std::vector<Damage> cases = {
      {"torn tail",
       [](const auto& s, const std::string& d) {
         ASSERT_EQ(truncate((d + "/" + s.rbegin()->first).c_str(), s.rbegin()->second - 5), 0);
       },
       1, 1, 1},
      {"garbage after the tail",
       [](const auto& s, const std::string& d) {
         int fd = open((d + "/" + s.rbegin()->first).c_str(), O_WRONLY | O_APPEND);
         ASSERT_EQ(write(fd, "\x10\0\0\0garbage-garbage", 20), 20);
         close(fd);
       },
       1, 0, 0},
      {"flipped byte in the first segment",
       [](const auto& s, const std::string& d) { flip(d + "/" + s.begin()->first, 5000); }, 0, 1,
       1},
      {"flipped length in the last segment",
       [](const auto& s, const std::string& d) { flip(d + "/" + s.rbegin()->first, 16); }, 0, 1, 1},
      // Each record has its own CRC and number: a damaged header loses none of them.
      {"damaged segment header",
       [](const auto& s, const std::string& d) { flip(d + "/" + s.begin()->first, 1); }, 0, 0, 0},
      {"damaged header of the last segment",
       [](const auto& s, const std::string& d) { flip(d + "/" + s.rbegin()->first, 9); }, 0, 0, 0},
      // Files with segment names but no records claim no numbers; an empty one goes.
      {"stray segment-named files",
       [](const auto&, const std::string& d) {
         for (const char* name : {"00000000000000000100.seg", "00000000000001000000.seg"}) {
           int fd = open((d + "/" + name).c_str(), O_WRONLY | O_CREAT, 0600);
           ASSERT_EQ(write(fd, std::string(3000, 'x').data(), 3000), 3000);
           close(fd);
         }
         close(open((d + "/00000000000000000300.seg").c_str(), O_WRONLY | O_CREAT, 0600));
       },
       0, 0, 0},
  };
  for (const Damage& c : cases) {
    std::string dir = make_dir();
    SpoolRecovery rec;
    SpoolPtr spool = open_ok(options(dir), &rec);
    for (uint64_t s = 1; s <= 500; ++s) append(*spool, s);
    ASSERT_EQ(spool_close(std::move(spool)), kSpoolOk);
    std::map<std::string, off_t> segs = files(dir);
    segs.erase("ledger"), segs.erase("lock");
    ASSERT_GE(segs.size(), 3u);
    c.apply(segs, dir);
    spool = open_ok(options(dir), &rec);
    ASSERT_NE(spool, nullptr) << c.what;
    EXPECT_EQ(rec.damaged, c.open_damaged) << c.what;
    if (c.lost_at_most == 0) {
      EXPECT_EQ(rec.last_seq, 500u) << c.what;
    }
    std::vector<uint64_t> got = drain(*spool);  // checks every payload against its number
    uint64_t lost = 500 - got.size();
    EXPECT_GE(lost, c.lost_at_least) << c.what;
    EXPECT_LE(lost, c.lost_at_most) << c.what;
    EXPECT_EQ(spool_counters(*spool).damaged, lost + (c.open_damaged > 0 && lost == 0 ? 1 : 0))
        << c.what;
    for (size_t i = 1; i < got.size(); ++i) EXPECT_LT(got[i - 1], got[i]) << c.what;
  }
}

// A damaged ledger loses how far records were handed over: opening says so, and every waiting
// record may go again; a sound one says nothing.
TEST(Spool, DamagedLedgerIsReportedWithWhatMayGoAgain) {
  struct Case {
    const char* what;
    void (*apply)(const std::string& ledger);
    bool damaged;
    uint64_t first_seq;
  };
  const std::vector<Case> cases = {
      {"sound", [](const std::string&) {}, false, 101},
      {"deleted", [](const std::string& l) { ASSERT_EQ(unlink(l.c_str()), 0); }, true, 1},
      {"zeroed",
       [](const std::string& l) {
         std::string zeros(static_cast<size_t>(files(l.substr(0, l.rfind('/')))["ledger"]), '\0');
         int fd = open(l.c_str(), O_WRONLY);
         ASSERT_EQ(write(fd, zeros.data(), zeros.size()), static_cast<ssize_t>(zeros.size()));
         close(fd);
       },
       true, 1},
      {"first entry flipped", [](const std::string& l) { flip(l, 20); }, true, 1},
  };
  for (const Case& c : cases) {
    std::string dir = make_dir();
    SpoolRecovery rec;
    SpoolPtr spool = open_ok(options(dir), &rec);
    for (uint64_t s = 1; s <= 300; ++s) append(*spool, s);
    ASSERT_EQ(spool_flush(*spool), kSpoolOk);
    ASSERT_EQ(spool_ack(*spool, 100), kSpoolOk);
    spool.reset();
    c.apply(dir + "/ledger");
    spool = open_ok(options(dir), &rec);
    EXPECT_EQ(rec.ledger_damaged, c.damaged) << c.what;
    EXPECT_EQ(rec.first_seq, c.first_seq) << c.what;
    EXPECT_EQ(rec.last_seq, 300u) << c.what;
    EXPECT_EQ(drain(*spool), range(c.first_seq, 300)) << c.what;
  }
}

// Under "block" a full spool refuses records until acknowledgements free a segment; under
// "drop-oldest" whole oldest segments go, counted. Either way the files stay within the size.
TEST(Spool, FullSpoolUnderBothPolicies) {
  for (bool drop : {false, true}) {
    std::string dir = make_dir();
    SpoolRecovery rec;
    SpoolPtr spool = open_ok(options(dir, kSmallSpool, drop), &rec);
    uint64_t seq = 0, dropped = 0, total_dropped = 0, appended = 0;
    std::string p(1000, 'x');
    int rc = kSpoolOk;
    for (int i = 0; i < 3000 && rc == kSpoolOk; ++i) {
      rc = spool_append(*spool, reinterpret_cast<const unsigned char*>(p.data()), p.size(), &seq,
                        &dropped);
      appended += rc == kSpoolOk;
      total_dropped += dropped;
      ASSERT_EQ(spool_flush(*spool), kSpoolOk);
      off_t on_disk = 0;
      for (const auto& f : files(dir)) on_disk += f.first == "lock" ? 0 : f.second;
      ASSERT_LE(static_cast<uint64_t>(on_disk), kSmallSpool) << "after record " << i;
    }
    SpoolCounters counters = spool_counters(*spool);
    if (!drop) {
      EXPECT_EQ(rc, kSpoolFull);
      EXPECT_GT(appended, 500u);
      EXPECT_EQ(counters.records, appended);
      ASSERT_EQ(spool_ack(*spool, appended / 2), kSpoolOk);
      EXPECT_EQ(spool_append(*spool, reinterpret_cast<const unsigned char*>(p.data()), p.size(),
                             &seq, &dropped),
                kSpoolOk);
    } else {
      EXPECT_EQ(rc, kSpoolOk);
      EXPECT_GT(total_dropped, 1000u);
      EXPECT_EQ(counters.dropped, total_dropped);
      EXPECT_EQ(counters.records + total_dropped, 3000u);
      SpoolRecord r;
      ASSERT_EQ(spool_next(*spool, &r), 1);
      EXPECT_EQ(r.seq, total_dropped + 1);
    }
    // A record longer than the spool can ever hold is refused, and nothing goes for it.
    const uint64_t max = spool_max_record(kSmallSpool);
    std::string large(max + 1, 'L');
    auto append_large = [&]() {
      return spool_append(*spool, reinterpret_cast<const unsigned char*>(large.data()),
                          large.size(), &seq, &dropped);
    };
    SpoolCounters before = spool_counters(*spool);
    EXPECT_EQ(append_large(), kSpoolError);
    EXPECT_EQ(dropped, 0u);
    EXPECT_EQ(spool_counters(*spool).records, before.records);
    EXPECT_EQ(spool_counters(*spool).dropped, before.dropped);
    // The largest one fits once everything else is gone.
    large.pop_back();
    EXPECT_EQ(append_large(), drop ? kSpoolOk : kSpoolFull);
  }
}

// The lock is the directory's own: a deleted pid file names no holder but lets nobody in.
// A disk that fills before the spool does: appends say full, a restart on the full disk opens,
// hands records over, and the segments that frees take new records.
TEST(Spool, FullDiskOpensAndHandsOver) {
  std::string dir = make_dir();
  std::string disk = dir.substr(0, dir.rfind('/'));
  if (mount("tmpfs", disk.c_str(), "tmpfs", 0, "size=2m") != 0) {
    GTEST_SKIP() << "no tmpfs mount here: " << strerror(errno);
  }
  SpoolRecovery rec;
  SpoolPtr spool = open_ok(options(dir, uint64_t{1} << 30), &rec);
  ASSERT_NE(spool, nullptr);
  uint64_t seq = 0, dropped = 0, written = 0;
  std::string p(1000, 'x');
  for (int rc = kSpoolOk; rc == kSpoolOk;) {
    rc = spool_append(*spool, reinterpret_cast<const unsigned char*>(p.data()), p.size(), &seq,
                      &dropped);
    if (rc == kSpoolOk) rc = spool_flush(*spool);
    ASSERT_NE(rc, kSpoolError) << spool_error(*spool);
    written = rc == kSpoolOk ? seq : written;
  }
  spool.reset();  // killed on the full disk, filled to the last byte
  int filler = open((disk + "/filler").c_str(), O_WRONLY | O_CREAT, 0600);
  for (size_t chunk : {size_t{4096}, size_t{1}}) {
    while (write(filler, p.data(), chunk) > 0) {
    }
  }
  close(filler);
  spool = open_ok(options(dir, uint64_t{1} << 30), &rec);
  ASSERT_NE(spool, nullptr);
  EXPECT_EQ(rec.last_seq, written);
  SpoolRecord r;
  uint64_t read = 0;
  while (spool_next(*spool, &r) == 1) read = r.seq;
  EXPECT_EQ(read, written);
  EXPECT_EQ(spool_ack(*spool, written), kSpoolOk) << spool_error(*spool);
  EXPECT_EQ(spool_append(*spool, reinterpret_cast<const unsigned char*>(p.data()), p.size(), &seq,
                         &dropped),
            kSpoolOk);
  EXPECT_EQ(spool_flush(*spool), kSpoolOk);
  spool.reset();
  EXPECT_EQ(umount(disk.c_str()), 0);
}

TEST(Spool, SecondOpenerIsRefusedWithTheHoldersPid) {
  std::string dir = make_dir();
  SpoolRecovery rec;
  SpoolPtr spool = open_ok(options(dir), &rec);
  std::string error;
  EXPECT_EQ(spool_open(options(dir), &rec, &error), nullptr);
  EXPECT_EQ(error, "Spool " + dir + " is in use by process " + std::to_string(getpid()));
  ASSERT_EQ(unlink((dir + "/lock").c_str()), 0);
  EXPECT_EQ(spool_open(options(dir), &rec, &error), nullptr);
  EXPECT_EQ(error, "Spool " + dir + " is in use by process unknown");
  spool.reset();
  EXPECT_NE(spool_open(options(dir), &rec, &error), nullptr);
}

// The client identifier and "PUBREL sent" survive a kill, also through ledger rewrites; marks
// at or before the watermark are forgotten.
TEST(Spool, LedgerKeepsClientidAndReleaseMarks) {
  std::string dir = make_dir();
  SpoolRecovery rec;
  SpoolPtr spool = open_ok(options(dir, 16 * kSmallSpool), &rec);
  ASSERT_EQ(spool_set_clientid(*spool, "first"), kSpoolOk);
  ASSERT_EQ(spool_set_clientid(*spool, "station-7"), kSpoolOk);
  for (uint64_t s = 1; s <= 12000; ++s) append(*spool, s);
  ASSERT_EQ(spool_flush(*spool), kSpoolOk);
  // Enough marks and acknowledgements for several rewrites of a 1 MiB ledger.
  for (uint64_t s = 1; s <= 11990; ++s) {
    ASSERT_EQ(spool_mark_released(*spool, s), kSpoolOk);
    if (s >= 3) {
      ASSERT_EQ(spool_ack(*spool, s - 2), kSpoolOk);
    }
  }
  spool.reset();
  spool = open_ok(options(dir, 16 * kSmallSpool), &rec);
  EXPECT_EQ(rec.clientid, "station-7");
  EXPECT_EQ(rec.released, (std::vector<uint64_t>{11989, 11990}));
  EXPECT_EQ(rec.first_seq, 11989u);
  EXPECT_EQ(rec.last_seq, 12000u);
  EXPECT_LE(files(dir)["ledger"], 1 << 20);
  // Marks belong to the client identifier they were made under: another one drops them, and
  // they do not come back with the first one.
  ASSERT_EQ(spool_set_clientid(*spool, "station-8"), kSpoolOk);
  ASSERT_EQ(spool_set_clientid(*spool, "station-7"), kSpoolOk);
  spool.reset();
  spool = open_ok(options(dir, 16 * kSmallSpool), &rec);
  EXPECT_EQ(rec.clientid, "station-7");
  EXPECT_EQ(rec.released, std::vector<uint64_t>{}) << "marks made under station-7 before";
}

}  // namespace
