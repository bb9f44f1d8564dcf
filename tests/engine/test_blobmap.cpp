// Blob map: arena placement and accounting, slot encodings, compaction, the
// image file byte for byte, the loader's checks, and a seeded differential
// test against a std::map of key -> (payload, hot_meta).
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "engine/ascending.hpp"
#include "engine/blobmap.hpp"
#include "engine/verify.hpp"
#include "support.hpp"
#include "temp_files.hpp"

namespace corvale_trie::blobmap {
namespace {

using testsupport::open_descriptors;
using testsupport::TempDir;

using testsupport::scaled;

std::span<const u8> bytes_of(const std::string& s) {
  return {reinterpret_cast<const u8*>(s.data()), s.size()};
}
std::string str_of(std::span<const u8> b) { return {reinterpret_cast<const char*>(b.data()), b.size()}; }

std::string save(const CorvaleBlobMap& m) {
  StringSink sink;
  int err = 0;
  const std::optional<u64> total = m.save_to_writer(sink, err);
  EXPECT_EQ(err, 0);
  EXPECT_EQ(total, sink.out.size());
  return sink.out;
}

// The expected image, field by field.
struct ChunkSpec {
  u64 used;
  u32 generation;
  std::string bytes;  // the first `used` bytes
};
void put64(std::string& s, u64 v) { s.append(reinterpret_cast<const char*>(&v), 8); }
void put32(std::string& s, u32 v) { s.append(reinterpret_cast<const char*>(&v), 4); }
std::string image(u64 chunk_size, const std::vector<KeyValue>& entries, const std::vector<ChunkSpec>& chunks) {
  u64 total = 64 + 16 * entries.size();
  for (const ChunkSpec& c : chunks) total += 24 + round_up16(c.used);
  std::string s("CORVALE", 8);
  put32(s, 1);
  put32(s, 0);
  put64(s, entries.size());
  put64(s, 64);
  put64(s, 64 + 16 * entries.size());
  put64(s, total);
  put64(s, chunk_size);
  put64(s, chunks.size());
  for (const KeyValue& kv : entries) {
    put64(s, kv.key);
    put64(s, kv.value);
  }
  for (const ChunkSpec& c : chunks) {
    put64(s, chunk_size);
    put64(s, c.used);
    put32(s, c.generation);
    put32(s, 0);
    std::string b = c.bytes;
    b.resize(round_up16(c.used), '\0');
    s += b;
  }
  return s;
}
// One record: header, payload, zero padding to 16.
std::string record(const std::string& payload, u32 generation) {
  std::string s;
  put32(s, static_cast<u32>(payload.size()));
  put32(s, generation);
  s += payload;
  s.resize(round_up16(s.size()), '\0');
  return s;
}

MaybeError load(const std::string& img, CorvaleBlobMap& into) { return CorvaleBlobMap::from_bytes_slice(bytes_of(img), into); }

std::optional<std::string> payload(const CorvaleBlobMap& m, u64 key) {
  const std::optional<BlobView> v = m.get(key);
  if (!v) return std::nullopt;
  return str_of(v->payload);
}

TEST(BlobArena, ChunkSizesPlacementAndLimits) {
  EXPECT_EQ(BlobArena(0).chunk_size(), 4096u);
  EXPECT_EQ(BlobArena(4097).chunk_size(), 4112u);
  EXPECT_EQ(BlobArena(u64{1} << 40).chunk_size(), 0x40000000u);
  EXPECT_EQ(BlobArena().chunk_size(), 0x200000u);

  BlobArena a(4096);
  EXPECT_EQ(a.alloc_blob(bytes_of(std::string(100, 'x'))).value(), 0u);
  EXPECT_EQ(a.chunks()[0].used, 112u);
  EXPECT_EQ(a.live_bytes(), 108u);
  EXPECT_EQ(a.alloc_blob(bytes_of(std::string(8, 'y'))).value(), 112u);
  EXPECT_EQ(a.chunks()[0].used, 128u);
  EXPECT_EQ(a.live_bytes(), 124u);
  EXPECT_EQ(a.alloc_blob(bytes_of(std::string(9, 'z'))).value(), 128u);  // 17 bytes take 32
  EXPECT_EQ(a.chunks()[0].used, 160u);
  // A record that does not fit opens a new chunk.
  EXPECT_EQ(a.alloc_blob(bytes_of(std::string(4000, 'w'))).value(), 4096u);
  EXPECT_EQ(str_of(*a.resolve(4096 / 16)), std::string(4000, 'w'));
  EXPECT_EQ(a.total_allocated(), 8192u);

  BlobArena full(0);
  const Outcome<u64> too_long = full.alloc_blob(bytes_of(std::string(4089, 'a')));
  ASSERT_FALSE(too_long.ok());
  EXPECT_EQ(too_long.error(), ArenaError::AllocFailed);
  EXPECT_TRUE(full.chunks().empty());
  EXPECT_EQ(full.alloc_blob(bytes_of(std::string(4088, 'a'))).value(), 0u);
  EXPECT_EQ(full.chunks()[0].used, 4096u);

  BlobArena big(0x40000000);
  EXPECT_TRUE(big.alloc_blob(bytes_of(std::string(8, 'a'))).ok());
  const Outcome<u64> second = big.alloc_blob(bytes_of(std::string(0x40000000 - 8, 'a')));
  ASSERT_FALSE(second.ok());
  EXPECT_EQ(second.error(), ArenaError::CeilingExceeded);
  EXPECT_EQ(big.chunks().size(), 1u);

  // The record check.
  EXPECT_FALSE(a.resolve(8192 / 16));  // chunk beyond the last
  EXPECT_FALSE(a.resolve(160 / 16));   // past `used`
  EXPECT_FALSE(a.resolve(16 / 16));    // inside a payload: no header of this generation

  EXPECT_EQ(ArenaChunk::from_raw_parts(0, 0, 1, {}).error(), ArenaError::InvalidOffset);
  EXPECT_EQ(ArenaChunk::from_raw_parts(16, 17, 1, {}).error(), ArenaError::InvalidOffset);
  const std::string src(20, 'q');
  EXPECT_EQ(ArenaChunk::from_raw_parts(16, 16, 1, bytes_of(src)).error(), ArenaError::InvalidOffset);
  const Outcome<ArenaChunk> c = ArenaChunk::from_raw_parts(64, 40, 7, bytes_of(src));
  ASSERT_TRUE(c.ok());
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(c.value().data.get()), 40), src + std::string(20, '\0'));

  const char* texts[] = {"Arena memory allocation failed",
                         "Arena growth exceeded the addressable/allowed ceiling",
                         "hot_meta exceeds the 24-bit ArenaMeta field",
                         "Invalid arena offset",
                         "Blob generation mismatch (ABA detected)",
                         "Corrupted blob record header"};
  for (u8 i = 0; i < 6; ++i) EXPECT_STREQ(error_text(static_cast<ArenaError>(i)), texts[i]);
}

TEST(BlobMap, SlotsAccountingAndMeta) {
  CorvaleBlobMap m;
  ASSERT_FALSE(m.insert(1, bytes_of("abc"), 0xFFFFFFFF));
  EXPECT_EQ(*m.index().get(1), 0x63626103u);
  EXPECT_EQ(m.get(1)->hot_meta, 0u);
  ASSERT_FALSE(m.insert(2, {}, 9));
  EXPECT_EQ(*m.index().get(2), 0u);
  EXPECT_EQ(payload(m, 2), "");
  ASSERT_FALSE(m.insert(3, bytes_of("1234567"), 0));
  EXPECT_EQ(*m.index().get(3) & 0xFF, 7u);
  EXPECT_EQ(m.arena().total_allocated(), 0u);

  ASSERT_FALSE(m.insert(4, bytes_of("12345678"), 0xFFFFFF));
  EXPECT_EQ(m.get(4)->hot_meta, 0xFFFFFFu);
  EXPECT_EQ(m.arena().live_bytes(), 16u);
  EXPECT_EQ(m.insert(4, bytes_of("abcdefgh"), 0x1000000), ArenaError::MetaOverflow);
  EXPECT_EQ(payload(m, 4), "12345678");
  EXPECT_EQ(m.insert(5, bytes_of(std::string(0x200000, 'a')), 0), ArenaError::AllocFailed);
  EXPECT_FALSE(m.contains_key(5));

  const std::string p100(100, 'p');
  ASSERT_FALSE(m.insert(6, bytes_of(p100), 3));
  EXPECT_EQ(m.arena().live_bytes(), 124u);
  ASSERT_FALSE(m.insert(6, bytes_of(p100), 4));  // +108 -108
  EXPECT_EQ(m.arena().live_bytes(), 124u);
  EXPECT_EQ(m.arena().chunks()[0].used, 16u + 112 + 112);
  ASSERT_FALSE(m.insert(6, bytes_of("in"), 4));  // arena -> inline subtracts 108
  EXPECT_EQ(m.arena().live_bytes(), 16u);
  EXPECT_FALSE(m.remove(99));
  EXPECT_TRUE(m.remove(4));
  EXPECT_EQ(m.arena().live_bytes(), 0u);
  EXPECT_EQ(m.len(), 4u);
  EXPECT_EQ(m.mem_used(), 0x200000u + m.index().mem_used());

  m.clear();
  EXPECT_EQ(m.len(), 0u);
  EXPECT_EQ(m.mem_used(), m.index().mem_used());
  ASSERT_FALSE(m.insert(7, bytes_of("abcdefghij"), 1));
  EXPECT_EQ(m.arena().chunks()[0].generation, 1u);
}

TEST(BlobMap, CompactionOrderStatsAndFailures) {
  CorvaleBlobMap m(4096);
  const Outcome<CompactStats> empty = m.compact();
  ASSERT_TRUE(empty.ok());
  EXPECT_EQ(empty.value().total_after, 0u);
  EXPECT_EQ(m.arena().generation(), 2u);

  std::map<u64, std::string> model;
  for (u64 k : {50, 10, 40, 20, 30}) {
    model[k] = std::string(20 + k, static_cast<char>('a' + k % 26));
    ASSERT_FALSE(m.insert(k, bytes_of(model[k]), static_cast<u32>(k)));
  }
  ASSERT_FALSE(m.insert(40, bytes_of(model[40]), 40));  // dead record
  ASSERT_FALSE(m.insert(60, bytes_of("tiny"), 0));
  const u64 live = m.arena().live_bytes();
  const Outcome<CompactStats> st = m.compact();
  ASSERT_TRUE(st.ok());
  EXPECT_EQ(st.value().live_before, live);
  EXPECT_EQ(st.value().live_after, live);
  EXPECT_EQ(st.value().relocated_count, 5u);
  EXPECT_EQ(st.value().chunks_after, 1u);
  EXPECT_EQ(m.arena().generation(), 3u);
  u64 expect_off = 0;
  for (const auto& [k, v] : model) {  // ascending key order, packed from 0
    const ValueSlot s(*m.index().get(k));
    EXPECT_EQ(u64{s.offset16()} * 16, expect_off);
    EXPECT_EQ(s.hot_meta(), k);
    EXPECT_EQ(payload(m, k), v);
    expect_off += round_up16(v.size() + 8);
  }
  EXPECT_EQ(payload(m, 60), "tiny");

  // Each compaction takes the next generation.
  CorvaleBlobMap g(4096);
  ASSERT_FALSE(g.insert(1, bytes_of(std::string(8, 'a')), 0));
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(g.compact().ok());
  EXPECT_EQ(g.arena().generation(), 4u);
}

// A prepared compaction changes nothing until it is committed: dropped, it
// leaves the map as it was; committed, it does what compact() does and its
// statistics are the ones it reported beforehand.
TEST(BlobMap, PreparedCompactionChangesNothingUntilCommitted) {
  const auto fill = [](CorvaleBlobMap& m) {
    for (u64 k = 1; k <= 80; ++k) ASSERT_FALSE(m.insert(k, bytes_of(std::string(100, 'x')), 1));
    for (u64 k = 1; k <= 80; ++k)
      ASSERT_FALSE(m.insert(k, bytes_of(std::string(k % 30, static_cast<char>('a' + k % 26))), 2));
  };
  CorvaleBlobMap m(4096);
  CorvaleBlobMap twin(4096);
  fill(m);
  fill(twin);
  const u64 mem = m.mem_used();
  const u32 gen = m.arena().generation();
  {
    Outcome<CorvaleBlobMap::Compaction> dropped = m.prepare_compaction();
    ASSERT_TRUE(dropped.ok());
    EXPECT_LT(dropped.value().stats().total_after, dropped.value().stats().total_before);
  }
  EXPECT_EQ(m.mem_used(), mem);
  EXPECT_EQ(m.arena().generation(), gen);
  for (u64 k = 1; k <= 80; ++k) EXPECT_EQ(payload(m, k), payload(twin, k));

  Outcome<CorvaleBlobMap::Compaction> c = m.prepare_compaction();
  ASSERT_TRUE(c.ok());
  const CompactStats st = c.value().stats();
  EXPECT_EQ(m.mem_used(), mem);
  m.commit_compaction(std::move(c.value()));
  const Outcome<CompactStats> same = twin.compact();
  ASSERT_TRUE(same.ok());
  EXPECT_EQ(st.live_after, same.value().live_after);
  EXPECT_EQ(st.total_after, same.value().total_after);
  EXPECT_EQ(st.relocated_count, same.value().relocated_count);
  EXPECT_EQ(m.mem_used(), twin.mem_used());
  EXPECT_EQ(m.arena().generation(), gen + 1);
  for (u64 k = 1; k <= 80; ++k) EXPECT_EQ(payload(m, k), std::string(k % 30, static_cast<char>('a' + k % 26)));
}

// A reference whose record fails the check reads as absent before and after
// compaction, even where the fresh arena holds a record at its offset.
TEST(BlobMap, BrokenReferencesStayAbsent) {
  const std::string r1 = record(std::string(8, 'A'), 1);
  const std::string r2 = record(std::string(8, 'B'), 2);  // wrong generation
  const std::string r3 = record(std::string(8, 'C'), 1);
  const std::string chunk = r1 + r2 + r3;
  const u64 bad = ValueSlot::arena_ref(1, 7).raw();  // the record of generation 2
  const std::string img = image(4096,
                                {{1, ValueSlot::arena_ref(0, 1).raw()},
                                 {2, ValueSlot::arena_ref(2, 2).raw()},
                                 {3, bad},
                                 {4, 0x0800000000000009u},  // unknown tag
                                 {5, ValueSlot::arena_ref(0x1000, 0).raw()}},  // no such chunk
                                {{chunk.size(), 1, chunk}});
  CorvaleBlobMap m;
  ASSERT_FALSE(load(img, m));
  EXPECT_EQ(m.len(), 5u);
  EXPECT_EQ(m.arena().live_bytes(), 32u);
  for (u64 k : {3, 4, 5}) {
    EXPECT_TRUE(m.contains_key(k));
    EXPECT_FALSE(m.get(k));
  }
  EXPECT_EQ(save(m), img);  // written back unchanged
  EXPECT_TRUE(m.remove(3));
  EXPECT_EQ(m.arena().live_bytes(), 32u);
  ASSERT_FALSE(m.insert(3, bytes_of("xyz"), 0));
  EXPECT_EQ(m.arena().live_bytes(), 32u);

  CorvaleBlobMap c;
  ASSERT_FALSE(load(img, c));
  ASSERT_TRUE(c.compact().ok());  // fresh arena: key 1 at 0, key 2 at 16
  EXPECT_EQ(payload(c, 1), std::string(8, 'A'));
  EXPECT_EQ(payload(c, 2), std::string(8, 'C'));
  EXPECT_FALSE(c.get(3));
  EXPECT_EQ(ValueSlot(*c.index().get(3)).hot_meta(), 7u);
  EXPECT_EQ(*c.index().get(4), 0x0800000000000009u);
  int visited = 0;
  c.scan_filtered(0, ~u64{0}, [](u64, u32) { return true; }, [&](u64, std::span<const u8>, u32) {
    ++visited;
    return true;
  });
  EXPECT_EQ(visited, 2);
  CorvaleBlobMap reloaded;
  ASSERT_FALSE(load(save(c), reloaded));
  EXPECT_FALSE(reloaded.get(3));
  EXPECT_EQ(reloaded.arena().live_bytes(), 32u);
}

TEST(BlobImage, ByteExactEmptyAndSmallMaps) {
  CorvaleBlobMap empty;
  EXPECT_EQ(save(empty), image(0x200000, {}, {}));
  EXPECT_EQ(save(empty).size(), 64u);
  CorvaleBlobMap back;
  ASSERT_FALSE(load(save(empty), back));
  EXPECT_EQ(back.len(), 0u);
  EXPECT_EQ(back.arena().generation(), 1u);

  CorvaleBlobMap m(4096);
  ASSERT_FALSE(m.insert(9, bytes_of(std::string(100, 'x')), 5));
  ASSERT_FALSE(m.insert(2, bytes_of("hi"), 0));
  const std::string want = image(4096, {{2, 0x696802}, {9, ValueSlot::arena_ref(0, 5).raw()}},
                                 {{112, 1, record(std::string(100, 'x'), 1)}});
  EXPECT_EQ(want.size(), 232u);
  EXPECT_EQ(save(m), want);

  m.clear();
  EXPECT_EQ(save(m), image(4096, {}, {}));
}

TEST(BlobImage, LoaderChecks) {
  CorvaleBlobMap src(4096);
  ASSERT_FALSE(src.insert(1, bytes_of(std::string(30, 'a')), 3));
  ASSERT_FALSE(src.insert(2, bytes_of("b"), 0));
  const std::string good = save(src);
  auto corrupt = [](const std::string& img) {
    CorvaleBlobMap m;
    const MaybeError e = load(img, m);
    EXPECT_EQ(e, ArenaError::CorruptHeader);
    EXPECT_EQ(m.len(), 0u);
    EXPECT_EQ(m.mem_used(), 0u);
  };
  auto patched = [&](std::size_t at, u64 v, int width = 8) {
    std::string s = good;
    std::memcpy(s.data() + at, &v, width);
    return s;
  };
  corrupt(good.substr(0, 63));
  corrupt(std::string(10, 'x'));
  corrupt(patched(3, 'X', 1));
  corrupt(patched(8, 2, 4));
  corrupt(patched(40, good.size() + 1));
  corrupt(patched(40, 63));
  corrupt(patched(48, 4095));
  corrupt(patched(48, 4104));
  corrupt(patched(48, 8192));  // chunk record capacity differs
  corrupt(patched(56, 65537));
  corrupt(patched(16, 1000));  // index records past the end
  corrupt(patched(24, good.size() + 1));
  corrupt(patched(32, ~u64{0}));
  corrupt(patched(96 + 8, 4097));          // used > capacity
  corrupt(patched(96 + 8, 4000));          // chunk bytes past the end
  corrupt(good.substr(0, good.size() - 1));  // total_size one past the end
  CorvaleBlobMap ok;
  ASSERT_FALSE(load(good + "trailing bytes", ok));
  EXPECT_EQ(payload(ok, 1), std::string(30, 'a'));
  EXPECT_EQ(ok.get(1)->hot_meta, 3u);
}

// Two records of one key: the later wins and only it counts as live.
// A chunk whose `used` is not a multiple of 16 saves back as it came, and the
// next record lands at the next multiple of 16.
TEST(BlobImage, RepeatedKeysAndUnalignedUsed) {
  const std::string r = record(std::string(10, 'a'), 1) + record(std::string(20, 'b'), 1);
  const u64 used = r.size() - 4;  // 64 - 4: the padding of the last record is cut short
  const std::string img = image(4096,
                                {{5, ValueSlot::arena_ref(0, 1).raw()}, {5, ValueSlot::arena_ref(2, 2).raw()}},
                                {{used, 1, r.substr(0, used)}});
  CorvaleBlobMap m;
  ASSERT_FALSE(load(img, m));
  EXPECT_EQ(m.len(), 1u);
  EXPECT_EQ(payload(m, 5), std::string(20, 'b'));
  EXPECT_EQ(m.arena().live_bytes(), 28u);

  const std::string one = image(4096, {{5, ValueSlot::arena_ref(2, 2).raw()}}, {{used, 1, r.substr(0, used)}});
  EXPECT_EQ(save(m), one);
  ASSERT_FALSE(m.insert(6, bytes_of(std::string(8, 'c')), 0));
  EXPECT_EQ(ValueSlot(*m.index().get(6)).offset16() * 16u, 64u);
  EXPECT_EQ(m.arena().chunks()[0].used, 80u);
  EXPECT_EQ(m.arena().live_bytes(), 44u);
  EXPECT_EQ(payload(m, 6), std::string(8, 'c'));
}

// Saves and loads through files, on every way out: each leaves no
// descriptor open.
TEST(BlobImage, Files) {
  const std::size_t fds = open_descriptors();
  char dir[] = "/tmp/corvale_blob_XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string base = dir;
  CorvaleBlobMap m;
  ASSERT_FALSE(m.insert(1, bytes_of(std::string(50, 'z')), 2));
  CorvaleBlobMap::SaveError err;
  EXPECT_EQ(m.save_to_file(base + "/img", err), save(m).size());
  CorvaleBlobMap back;
  CorvaleBlobMap::FileRead read;
  ASSERT_FALSE(CorvaleBlobMap::from_file(base + "/img", back, &read));
  EXPECT_EQ(read.bytes, save(m).size());
  EXPECT_EQ(read.os_error, 0);
  EXPECT_EQ(save(back), save(m));

  // A save over the file, through a symbolic link, puts a new file in its
  // place and keeps the link; nothing else is left in the directory.
  struct stat before {}, after {};
  ASSERT_EQ(stat((base + "/img").c_str(), &before), 0);
  ASSERT_EQ(symlink("img", (base + "/link").c_str()), 0);
  EXPECT_EQ(m.save_to_file(base + "/link", err), save(m).size());
  ASSERT_EQ(lstat((base + "/link").c_str(), &after), 0);
  EXPECT_TRUE(S_ISLNK(after.st_mode));
  ASSERT_EQ(stat((base + "/img").c_str(), &after), 0);
  EXPECT_NE(after.st_ino, before.st_ino);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(base), std::filesystem::directory_iterator()), 2);

  EXPECT_FALSE(m.save_to_file(base + "/missing/img", err));
  EXPECT_EQ(err.text, "No such file or directory (os error 2)");
  EXPECT_FALSE(err.image_in_place);
  EXPECT_FALSE(m.save_to_file(std::string("a\0b", 3), err));
  EXPECT_EQ(err.text, "file name contained an unexpected NUL byte");
  if (access("/dev/full", W_OK) == 0) {
    EXPECT_FALSE(m.save_to_file("/dev/full", err));
    EXPECT_EQ(err.text, "No space left on device (os error 28)");
    EXPECT_FALSE(err.image_in_place);
  }
  // A file that cannot be read is refused as a damaged one, and says why.
  auto unreadable = [](const std::string& path, int why) {
    CorvaleBlobMap none;
    CorvaleBlobMap::FileRead read;
    EXPECT_EQ(CorvaleBlobMap::from_file(path, none, &read), ArenaError::CorruptHeader) << path;
    EXPECT_EQ(read.os_error, why) << path;
  };
  unreadable(base + "/none", ENOENT);
  unreadable(base, EISDIR);
  unreadable(std::string("/tmp\0x", 6), 0);
  ASSERT_EQ(mkfifo((base + "/fifo").c_str(), 0600), 0);
  unreadable(base + "/fifo", ESPIPE);  // refused, not a hang
  std::ofstream(base + "/short") << "short";
  unreadable(base + "/short", 0);  // refused for what it holds
  for (const char* n : {"/img", "/link", "/fifo", "/short"}) std::remove((base + n).c_str());
  rmdir(dir);
  EXPECT_EQ(open_descriptors(), fds);
}

// A check that answers true at its n-th call from now on (0: never).
int g_stop_countdown = 0;
bool stop_at_countdown() noexcept { return g_stop_countdown > 0 && --g_stop_countdown == 0; }

std::string file_bytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The check asked between the pieces of a save and of a load, stopping each
// at every one in turn: a save fails with EINTR before its rename, leaving
// the old file and nothing else, and at the last two checks (right after
// the rename and after the directory's flush) with the new image in place,
// which it says; a load fails as a damaged file, its map empty; then both
// get through.
TEST(BlobImage, StopCheckEndsASaveOrALoadAtEveryPiece) {
  char dir[] = "/tmp/corvale_blob_XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string path = std::string(dir) + "/img";
  CorvaleBlobMap old, m(u64{1} << 20);
  ASSERT_FALSE(old.insert(7, bytes_of("old image"), 0));
  for (u64 k = 0; k < 3; ++k) ASSERT_FALSE(m.insert(k, bytes_of(std::string(900000, char('a' + k))), 1));
  CorvaleBlobMap::SaveError err;
  ASSERT_TRUE(old.save_to_file(path, err));
  const std::string old_image = file_bytes(path);
  const std::string new_image = save(m);
  std::vector<bool> in_place;  // for each stop, whether the new image was in place
  int n = 1;
  for (;; ++n) {
    ASSERT_TRUE(old.save_to_file(path, err));
    g_stop_countdown = n;
    if (m.save_to_file(path, err, &stop_at_countdown)) break;
    EXPECT_EQ(err.text, "Interrupted system call (os error 4)");
    EXPECT_EQ(file_bytes(path), err.image_in_place ? new_image : old_image) << n;
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir), std::filesystem::directory_iterator()), 1);
    in_place.push_back(err.image_in_place);
  }
  EXPECT_GE(n, 8);  // a few writes per chunk, the rename, then two checks after it
  std::vector<bool> expected(in_place.size(), false);
  expected.end()[-1] = expected.end()[-2] = true;
  EXPECT_EQ(in_place, expected);
  EXPECT_EQ(file_bytes(path), new_image);
  for (n = 1;; ++n) {
    g_stop_countdown = n;
    CorvaleBlobMap back;
    const MaybeError e = CorvaleBlobMap::from_file(path, back, nullptr, &stop_at_countdown);
    if (!e) {
      EXPECT_EQ(save(back), save(m));
      break;
    }
    EXPECT_EQ(*e, ArenaError::CorruptHeader);
    EXPECT_EQ(back.len(), 0u);
    EXPECT_EQ(back.mem_used(), 0u);
  }
  EXPECT_GE(n, 4);
  std::filesystem::remove_all(dir);
}

// A check that forks at its n-th call from now on, as a signal handler that
// runs there may: the parent waits for the child to be done before its
// call goes on.
int g_fork_countdown = 0;
pid_t g_child = -1;
int g_child_status = -1;
bool fork_at_countdown() noexcept {
  if (g_fork_countdown > 0 && --g_fork_countdown == 0) {
    g_child = fork();
    if (g_child > 0) waitpid(g_child, &g_child_status, 0);
  }
  return false;
}

// A fork in the middle of a save (replacing the file, or written in place
// through /proc/self/fd of a deleted file) and of a load: the child's call
// fails at its next file step, touching nothing (the new file is the
// parent's to rename), while a call the child begins is its own; the
// parent's call then finishes whole.
TEST(BlobImage, AForkInsideASaveOrALoadLeavesTheCallToTheParent) {
  TempDir dir;
  const std::string path = dir.path + "/img";
  CorvaleBlobMap old, m(u64{1} << 20);
  ASSERT_FALSE(old.insert(7, bytes_of("old image"), 0));
  for (u64 k = 0; k < 3; ++k) ASSERT_FALSE(m.insert(k, bytes_of(std::string(900000, char('a' + k))), 1));
  const std::string new_image = save(m);
  CorvaleBlobMap::SaveError err;
  for (const char* call : {"replace", "in place", "load"}) {
    SCOPED_TRACE(call);
    ASSERT_TRUE((std::string(call) == "load" ? m : old).save_to_file(path, err));
    const int held = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (std::string(call) == "in place") ::unlink(path.c_str());
    const std::string target = std::string(call) == "in place" ? "/proc/self/fd/" + std::to_string(held) : path;
    CorvaleBlobMap back;
    CorvaleBlobMap::FileRead read;
    g_fork_countdown = 3;
    g_child = -1;
    const bool done = std::string(call) == "load"
                          ? !CorvaleBlobMap::from_file(target, back, &read, &fork_at_countdown)
                          : m.save_to_file(target, err, &fork_at_countdown).has_value();
    if (g_child == 0) {
      const bool canceled = std::string(call) == "load" ? read.os_error == ECANCELED
                                                        : err.text == "Operation canceled (os error 125)";
      _exit(!done && canceled && old.save_to_file(dir.path + "/child", err) ? 0 : 1);
    }
    ASSERT_GT(g_child, 0);
    EXPECT_TRUE(WIFEXITED(g_child_status) && WEXITSTATUS(g_child_status) == 0) << g_child_status;
    EXPECT_TRUE(done) << err.text;
    std::string now(new_image.size() + 1, '\0');
    now.resize(static_cast<std::size_t>(std::max<ssize_t>(0, ::pread(held, now.data(), now.size(), 0))));
    EXPECT_TRUE((std::string(call) == "replace" ? file_bytes(path) : now) == new_image);  // no dump of 2.7 MB
    EXPECT_TRUE(std::string(call) != "load" || save(back) == new_image);
    ::close(held);
    std::error_code ec;
    std::filesystem::remove(path, ec);
    EXPECT_TRUE(std::filesystem::remove(dir.path + "/child"));
    EXPECT_TRUE(std::filesystem::is_empty(dir.path));
  }
}

// Seeded differential test: random inserts (inline and arena payloads,
// overwrites growing and shrinking), removals, gets, compactions, save/load
// round trips and filtered scans with early stops, against a std::map.
TEST(BlobMap, DifferentialAgainstModel) {
  const u64 seed = test_seed(0xb10b);
  CORVALE_SEED_TRACE(seed);
  std::mt19937_64 rng(seed);
  auto m = std::make_unique<CorvaleBlobMap>(4096 + 16 * (rng() % 64));
  std::map<u64, std::pair<std::string, u32>> model;
  auto key = [&] { return rng() % 4 == 0 ? rng() : rng() % 600; };
  auto check_all = [&] {
    ASSERT_EQ(m->len(), model.size());
    u64 live = 0;
    for (const auto& [k, v] : model) {
      const std::optional<BlobView> got = m->get(k);
      ASSERT_TRUE(got) << k;
      ASSERT_EQ(str_of(got->payload), v.first);
      ASSERT_EQ(got->hot_meta, v.second);
      if (v.first.size() >= 8) live += v.first.size() + 8;
    }
    ASSERT_EQ(m->arena().live_bytes(), live);
  };
  const u64 rounds = scaled(40000, 4000);
  for (u64 i = 0; i < rounds; ++i) {
    const u64 op = rng() % 100;
    const u64 k = key();
    if (op < 50) {
      const u64 len = rng() % 3 == 0 ? rng() % 8 : rng() % 300;
      std::string p(len, '\0');
      for (char& c : p) c = static_cast<char>(rng());
      const u32 meta = static_cast<u32>(rng() % 5 == 0 ? rng() : rng() % 0x1000000);
      const MaybeError e = m->insert(k, bytes_of(p), meta);
      if (len >= 8 && meta > 0xFFFFFF) {
        ASSERT_EQ(e, ArenaError::MetaOverflow);
      } else {
        ASSERT_FALSE(e);
        model[k] = {p, len >= 8 ? meta : 0};
      }
    } else if (op < 70) {
      ASSERT_EQ(m->remove(k), model.erase(k) == 1);
    } else if (op < 85) {
      const auto it = model.find(k);
      const std::optional<BlobView> got = m->get(k);
      ASSERT_EQ(got.has_value(), it != model.end());
      if (got) {
        ASSERT_EQ(str_of(got->payload), it->second.first);
      }
    } else if (op < 95) {
      u64 lo = key(), hi = key();
      if (rng() % 4 == 0) std::swap(lo, hi);
      const u32 mod = static_cast<u32>(rng() % 4 + 1);
      const u64 stop = rng() % 30 + 1;
      std::vector<std::tuple<u64, std::string, u32>> got, want;
      u64 filtered = 0;
      m->scan_filtered(
          lo, hi,
          [&](u64, u32 meta) {
            ++filtered;
            return meta % mod == 0;
          },
          [&](u64 kk, std::span<const u8> p, u32 meta) {
            got.emplace_back(kk, str_of(p), meta);
            return got.size() < stop;
          });
      u64 want_filtered = 0;
      for (auto it = model.lower_bound(lo); lo <= hi && it != model.end() && it->first <= hi; ++it) {
        ++want_filtered;
        if (it->second.second % mod != 0) continue;
        want.emplace_back(it->first, it->second.first, it->second.second);
        if (want.size() == stop) break;
      }
      ASSERT_EQ(got, want);
      ASSERT_EQ(filtered, want_filtered);
    } else if (op < 98) {
      const Outcome<CompactStats> st = m->compact();
      ASSERT_TRUE(st.ok());
      ASSERT_EQ(st.value().live_after, st.value().live_before);
      check_all();
    } else {
      const std::string img = save(*m);
      auto loaded = std::make_unique<CorvaleBlobMap>();
      ASSERT_FALSE(load(img, *loaded));
      ASSERT_EQ(loaded->arena().total_allocated(), m->arena().total_allocated());
      ASSERT_EQ(loaded->arena().chunk_size(), m->arena().chunk_size());
      ASSERT_EQ(save(*loaded), img);
      m = std::move(loaded);
      check_all();
    }
  }
  check_all();
}

// The loader as the format describes it, step by step over the whole image
// in memory, with every index record inserted one by one: the result any
// load must reproduce. Returns the error, or fills `index` (a new map),
// `chunks` and `live`.
struct Reference {
  map::CorvaleMap index;
  BlobArena arena;
  MaybeError error;
};
u64 get64(const std::string& s, u64 at) {
  u64 v;
  std::memcpy(&v, s.data() + at, 8);
  return v;
}
std::unique_ptr<Reference> reference_load(const std::string& img) {
  auto ref = std::make_unique<Reference>();
  const u64 L = img.size();
  auto fail = [&](ArenaError e) {
    ref->error = e;
    return std::move(ref);
  };
  if (L < 64 || img.compare(0, 8, std::string("CORVALE", 8)) != 0) return fail(ArenaError::CorruptHeader);
  u32 version;
  std::memcpy(&version, img.data() + 8, 4);
  const u64 entries = get64(img, 16), index_off = get64(img, 24), arena_off = get64(img, 32),
            total = get64(img, 40), cs = get64(img, 48), chunks = get64(img, 56);
  if (version != 1 || total > L || total < 64 || cs < 4096 || cs > 0x40000000 || chunks > 65536 || cs % 16 ||
      chunks * cs > 0x40000000 || chunks > L / 24 || entries > L / 16 || index_off > L || arena_off > L)
    return fail(ArenaError::CorruptHeader);
  ref->arena = BlobArena(cs);
  u64 p = arena_off;
  for (u64 i = 0; i < chunks; ++i) {
    if (p > L || 24 > L - p) return fail(ArenaError::CorruptHeader);
    const u64 capacity = get64(img, p), used = get64(img, p + 8);
    u32 gen;
    std::memcpy(&gen, img.data() + p + 16, 4);
    if (used > capacity || capacity != cs || used > L - p - 24) return fail(ArenaError::CorruptHeader);
    Outcome<ArenaChunk> c = ArenaChunk::from_raw_parts(cs, used, gen, bytes_of(img.substr(p + 24, used)));
    if (!c.ok()) return fail(c.error());
    ref->arena.push_chunk(std::move(c.value()));
    p += 24 + round_up16(used);
  }
  if (chunks > 0) ref->arena.set_generation(ref->arena.chunks().back().generation);
  auto size_of = [&](u64 slot) -> std::optional<u64> {
    const ValueSlot s(slot);
    if (!s.is_arena_ref()) return std::nullopt;
    const auto payload = ref->arena.resolve(s.offset16());
    if (!payload) return std::nullopt;
    return payload->size() + 8;
  };
  for (u64 i = 0, q = index_off; i < entries; ++i, q += 16) {
    if (16 > L - q) return fail(ArenaError::CorruptHeader);
    const std::optional<u64> old = ref->index.insert(get64(img, q), get64(img, q + 8));
    if (old)
      if (const auto n = size_of(*old)) ref->arena.sub_live(*n);
    if (const auto n = size_of(get64(img, q + 8))) ref->arena.add_live(*n);
  }
  return ref;
}

// A load from memory and from a file both give what the reference gives:
// the same error, or the same index (pairs, node memory, allocation count,
// a sound tree), chunks byte for byte, generation and live bytes.
void expect_loads_as_reference(const std::string& img, const std::string& file) {
  const std::unique_ptr<Reference> want = reference_load(img);
  {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out << img;
  }
  for (int from_file = 0; from_file < 2; ++from_file) {
    SCOPED_TRACE(from_file ? "from_file" : "from_bytes_slice");
    CorvaleBlobMap m;
    const MaybeError e = from_file ? CorvaleBlobMap::from_file(file, m) : load(img, m);
    ASSERT_EQ(e, want->error);
    if (e) {
      EXPECT_EQ(m.len(), 0u);
      EXPECT_EQ(m.mem_used(), 0u);
      continue;
    }
    ASSERT_EQ(m.index().to_vec(), want->index.to_vec());
    EXPECT_EQ(m.index().mem_used(), want->index.mem_used());
    EXPECT_EQ(m.index().total_node_allocs(), want->index.total_node_allocs());
    EXPECT_EQ(m.index().record().alloc.live_nodes(), want->index.record().alloc.live_nodes());
    EXPECT_EQ(verify::check_map(m.index()), "");
    EXPECT_EQ(m.arena().live_bytes(), want->arena.live_bytes());
    EXPECT_EQ(m.arena().generation(), want->arena.generation());
    EXPECT_EQ(m.arena().chunk_size(), want->arena.chunk_size());
    EXPECT_EQ(m.arena().total_allocated(), want->arena.total_allocated());
    ASSERT_EQ(m.arena().chunks().size(), want->arena.chunks().size());
    for (std::size_t i = 0; i < m.arena().chunks().size(); ++i) {
      const ArenaChunk& a = m.arena().chunks()[i];
      const ArenaChunk& b = want->arena.chunks()[i];
      ASSERT_EQ(a.used, b.used);
      ASSERT_EQ(a.generation, b.generation);
      ASSERT_EQ(std::memcmp(a.data.get(), b.data.get(), a.capacity), 0);
    }
  }
}

// The ascending inserter against insertion one by one: the same pairs, the
// same nodes (node memory, allocation count, live blocks, a sound tree),
// also when ordinary changes go on afterwards. Key sets cover the flat array
// and its change into a tree, every leaf form and its limits (Immediates,
// width-1 leaves to 25 pairs and bitmap leaves to 256, wider leaves to 32
// and their splits), skip prefixes that later keys leave, 0 and 2**64-1.
TEST(AscendingInserter, SameNodesAsInsertion) {
  const u64 seed = test_seed(0xa5c);
  CORVALE_SEED_TRACE(seed);
  std::mt19937_64 rng(seed);
  const u64 rounds = scaled(300, 40);
  for (u64 round = 0; round < rounds; ++round) {
    std::vector<u64> keys;
    const u64 n = rng() % (round % 3 == 0 ? 40 : round % 3 == 1 ? 600 : 6000);
    const int kind = static_cast<int>(rng() % 5);
    u64 base = rng();
    for (u64 i = 0; i < n; ++i) {
      switch (kind) {
        case 0: keys.push_back(rng()); break;                                  // uniform
        case 1: keys.push_back(base + i); break;                               // one dense run
        case 2: keys.push_back((base & ~u64{0xFFFFF}) | (rng() & 0xFFFFF)); break;  // one small range
        case 3:                                                                // clustered runs
          if (rng() % 40 == 0) base = rng() >> (rng() % 64);
          keys.push_back(base += 1 + rng() % (1u << (rng() % 12)));
          break;
        default: keys.push_back(rng() >> (8 * (rng() % 8))); break;            // every width
      }
    }
    if (rng() % 4 == 0) keys.push_back(0);
    if (rng() % 4 == 0) keys.push_back(~u64{0});
    std::sort(keys.begin(), keys.end());
    keys.erase(std::unique(keys.begin(), keys.end()), keys.end());

    map::CorvaleMap one, built;
    for (const u64 k : keys) one.insert(k, k * 3 + 1);
    {
      map::AscendingInserter ins(built);
      for (const u64 k : keys) ins.push(k, k * 3 + 1);
    }
    ASSERT_EQ(built.len(), keys.size()) << round;
    ASSERT_EQ(built.to_vec(), one.to_vec()) << round;
    ASSERT_EQ(built.mem_used(), one.mem_used()) << round;
    ASSERT_EQ(built.total_node_allocs(), one.total_node_allocs()) << round;
    ASSERT_EQ(built.record().alloc.live_nodes(), one.record().alloc.live_nodes()) << round;
    ASSERT_EQ(verify::check_map(built), "") << round;
    // Later changes: the same answers and the same nodes.
    for (int i = 0; i < 200; ++i) {
      const u64 k = keys.empty() || rng() % 2 ? rng() : keys[rng() % keys.size()] + rng() % 3;
      if (rng() % 3 == 0) {
        ASSERT_EQ(built.remove(k), one.remove(k));
      } else {
        ASSERT_EQ(built.insert(k, i), one.insert(k, i));
      }
    }
    ASSERT_EQ(built.to_vec(), one.to_vec()) << round;
    ASSERT_EQ(built.mem_used(), one.mem_used()) << round;
    ASSERT_EQ(built.total_node_allocs(), one.total_node_allocs()) << round;
    ASSERT_EQ(verify::check_map(built), "") << round;
  }
}

// Every image of the loader tests above, and each of them cut short at every
// length and with every header field set to edge values: the load gives
// what the step-by-step reference gives, from memory and from a file.
TEST(BlobImage, LoadsAsTheReference) {
  TempDir dir;
  const std::string file = dir.path + "/img";
  std::vector<std::string> images;
  CorvaleBlobMap src(4096);
  images.push_back(save(src));
  ASSERT_FALSE(src.insert(1, bytes_of(std::string(30, 'a')), 3));
  ASSERT_FALSE(src.insert(2, bytes_of("b"), 0));
  images.push_back(save(src));
  const std::string r = record(std::string(10, 'a'), 1) + record(std::string(20, 'b'), 1);
  const u64 used = r.size() - 4;
  images.push_back(image(4096, {{5, ValueSlot::arena_ref(0, 1).raw()}, {5, ValueSlot::arena_ref(2, 2).raw()}},
                         {{used, 1, r.substr(0, used)}}));
  for (u64 k = 0; k < 300; ++k)
    ASSERT_FALSE(src.insert(k * 977, bytes_of(std::string(k % 40, static_cast<char>(k))), static_cast<u32>(k)));
  ASSERT_TRUE(src.remove(977));
  ASSERT_FALSE(src.insert(3, bytes_of(std::string(3000, 'q')), 1));
  images.push_back(save(src));

  const u64 fields[] = {0, 1, 15, 16, 63, 64, 96, 4095, 4096, 4104, 65536, 65537, 0x40000000, ~u64{0}};
  for (const std::string& img : images) {
    expect_loads_as_reference(img, file);
    expect_loads_as_reference(img + "trailing bytes", file);
    for (u64 cut = 0; cut < img.size(); cut += 1 + cut / 8) expect_loads_as_reference(img.substr(0, cut), file);
    for (u64 at = 16; at < 64; at += 8)
      for (const u64 v : fields) {
        std::string bad = img;
        std::memcpy(bad.data() + at, &v, 8);
        expect_loads_as_reference(bad, file);
      }
    std::string magic = img;
    magic[7] = 'X';
    expect_loads_as_reference(magic, file);
  }
}

// Random maps saved and loaded, and their images with the index records
// shuffled, repeated and corrupted byte by byte: the load matches the
// reference (a map built by inserting the records in file order), and what
// loads holds the model's payloads.
TEST(BlobImage, RandomImagesLoadAsTheReference) {
  const u64 seed = test_seed(0x10ad);
  CORVALE_SEED_TRACE(seed);
  std::mt19937_64 rng(seed);
  TempDir dir;
  const std::string file = dir.path + "/img";
  const u64 rounds = scaled(60, 8);
  for (u64 round = 0; round < rounds; ++round) {
    CorvaleBlobMap m(4096 * (1 + rng() % 4));
    std::map<u64, std::pair<std::string, u32>> model;
    const u64 n = rng() % (round % 2 ? 3000 : 80);
    const u64 span = rng() % 2 ? ~u64{0} : 5000;
    for (u64 i = 0; i < n; ++i) {
      const u64 k = rng() % span;
      std::string p(rng() % 3 ? rng() % 8 : rng() % 200, '\0');
      for (char& c : p) c = static_cast<char>(rng());
      const u32 meta = static_cast<u32>(rng() % 0x1000000);
      ASSERT_FALSE(m.insert(k, bytes_of(p), meta));
      model[k] = {p, p.size() >= 8 ? meta : 0};
      if (rng() % 8 == 0) {
        const u64 gone = rng() % span;
        m.remove(gone);
        model.erase(gone);
      }
    }
    const std::string img = save(m);
    expect_loads_as_reference(img, file);
    CorvaleBlobMap back;
    ASSERT_FALSE(CorvaleBlobMap::from_file(file, back));
    ASSERT_EQ(back.len(), model.size());
    for (const auto& [k, v] : model) {
      const std::optional<BlobView> got = back.get(k);
      ASSERT_TRUE(got) << k;
      ASSERT_EQ(str_of(got->payload), v.first);
      ASSERT_EQ(got->hot_meta, v.second);
    }

    // Index records out of order and repeated: from the first key that is
    // not above the one before, the records are inserted one by one.
    const u64 entries = get64(img, 16);
    if (entries >= 2) {
      std::string mixed = img;
      const u64 at = rng() % entries;
      for (u64 i = at; i < entries; ++i) {
        const u64 j = at + rng() % (entries - at);
        if (rng() % 3 == 0)
          std::memcpy(mixed.data() + 64 + 16 * i, img.data() + 64 + 16 * j, 16);  // a repeat
        else if (rng() % 2 == 0)
          std::swap_ranges(mixed.data() + 64 + 16 * i, mixed.data() + 64 + 16 * i + 16, mixed.data() + 64 + 16 * j);
      }
      expect_loads_as_reference(mixed, file);
    }
    for (int i = 0; i < 4; ++i) {
      std::string bad = img;
      const u64 at = rng() % bad.size();
      bad[at] = static_cast<char>(bad[at] ^ (1 << (rng() % 8)));
      expect_loads_as_reference(bad, file);
    }
  }
}

// Images of several MiB, read from a file through the read window (chunks
// of 4 KiB), straight into the chunks (256 KiB and 2 MiB), with the index
// after the arena, and cut short in the chunk bytes and in the index.
TEST(BlobImage, LargeImagesLoadAsTheReference) {
  const u64 seed = test_seed(0xb16);
  CORVALE_SEED_TRACE(seed);
  std::mt19937_64 rng(seed);
  TempDir dir;
  const std::string file = dir.path + "/img";
  for (const u64 chunk_size : {u64{4096}, u64{0x40000}, u64{0x200000}}) {
    CorvaleBlobMap m(chunk_size);
    const u64 n = scaled(40000, 4000);
    for (u64 i = 0; i < n; ++i) {
      std::string p(rng() % 4 ? rng() % 300 : rng() % 3000, '\0');
      for (char& c : p) c = static_cast<char>(rng());
      ASSERT_FALSE(m.insert(rng() % (n * 4), bytes_of(p.substr(0, std::min<u64>(p.size(), chunk_size - 8))),
                            static_cast<u32>(rng() % 0x1000000)));
    }
    const std::string img = save(m);
    SCOPED_TRACE(chunk_size);
    expect_loads_as_reference(img, file);
    const u64 entries = get64(img, 16);
    const u64 arena_at = 64 + 16 * entries;
    // The index moved behind the arena.
    std::string moved = img.substr(0, 64) + img.substr(arena_at) + img.substr(64, 16 * entries);
    const u64 index_at = 64 + (img.size() - arena_at), arena_now = 64;
    std::memcpy(moved.data() + 24, &index_at, 8);
    std::memcpy(moved.data() + 32, &arena_now, 8);
    expect_loads_as_reference(moved, file);
    // Cut short, with a total_size that the shorter file still holds: the
    // records themselves run past the end.
    auto cut = [](std::string s, u64 len) {
      s.resize(len);
      const u64 total = 64;
      std::memcpy(s.data() + 40, &total, 8);
      return s;
    };
    for (int i = 0; i < 3; ++i) {
      expect_loads_as_reference(cut(img, arena_at + rng() % (img.size() - arena_at)), file);
      expect_loads_as_reference(cut(moved, index_at + rng() % (16 * entries)), file);
    }
  }
}

// A file is rejected by what its header says before the rest is read: a
// sparse file of 4 GiB with a wrong magic, or one that declares more index
// records than it holds, costs a few reads. A read counter shows it.
TEST(BlobImage, LargeFilesRejectedCheaply) {
  TempDir dir;
  const std::string file = dir.path + "/big";
  const u64 big = u64{4} << 30;
  auto sparse = [&](const std::string& head) {
    const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::pwrite(fd, head.data(), head.size(), 0), static_cast<ssize_t>(head.size()));
    ASSERT_EQ(::ftruncate(fd, static_cast<off_t>(big)), 0);
    ::close(fd);
  };
  CorvaleBlobMap src(4096);
  ASSERT_FALSE(src.insert(1, bytes_of(std::string(30, 'a')), 3));
  const std::string good = save(src);

  std::string wrong = good;
  wrong[0] = 'X';
  sparse(wrong);
  CorvaleBlobMap m;
  CorvaleBlobMap::FileRead read{.bytes = ~u64{0}};
  EXPECT_EQ(CorvaleBlobMap::from_file(file, m, &read), ArenaError::CorruptHeader);
  EXPECT_EQ(read.bytes, 64u);

  // Index records past the end: the chunk record is checked (its header
  // read), its bytes are not, and nothing stays allocated.
  std::string many = good;
  const u64 entries = big / 16;
  std::memcpy(many.data() + 16, &entries, 8);
  sparse(many);
  EXPECT_EQ(CorvaleBlobMap::from_file(file, m, &read), ArenaError::CorruptHeader);
  EXPECT_EQ(read.bytes, 64u + 24u);
  EXPECT_EQ(m.mem_used(), 0u);

  // A header that holds: the chunk and index records are read, the rest of
  // the 4 GiB is not.
  sparse(good);
  ASSERT_FALSE(CorvaleBlobMap::from_file(file, m, &read));
  EXPECT_LT(read.bytes, u64{4} << 20);
  EXPECT_EQ(payload(m, 1), std::string(30, 'a'));
}

// Writes seed images for the loader's fuzz target into the directory named
// by CORVALE_FUZZ_CORPUS (nothing to do without it).
TEST(BlobImage, WriteFuzzCorpus) {
  const char* dir = std::getenv("CORVALE_FUZZ_CORPUS");
  if (!dir) GTEST_SKIP() << "CORVALE_FUZZ_CORPUS not set";
  std::vector<std::string> images;
  CorvaleBlobMap m(4096);
  images.push_back(save(m));
  for (u64 k = 0; k < 40; ++k) {
    ASSERT_FALSE(m.insert(k * 7, bytes_of(std::string(k * 13 % 90, static_cast<char>(k))), static_cast<u32>(k)));
    if (k % 10 == 9) images.push_back(save(m));
  }
  ASSERT_FALSE(m.insert(3, bytes_of(std::string(3000, 'q')), 1));  // second chunk
  images.push_back(save(m));
  for (std::size_t i = 0; i < images.size(); ++i) {
    std::ofstream out(std::string(dir) + "/seed" + std::to_string(i), std::ios::binary);
    out << images[i];
  }
}

}  // namespace
}  // namespace corvale_trie::blobmap
