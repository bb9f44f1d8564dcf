// libFuzzer target: the blob map's image loader on arbitrary bytes.
//
// Every input is loaded, from memory and from a file alike; whatever loads
// must then behave like any map: every entry reads back through a full scan
// and a point lookup, the image it writes has the size it announces and
// loads again to the same image, compaction succeeds or fails cleanly, and
// an insert into the loaded arena lands where it can be read. AddressSanitizer and UndefinedBehaviorSanitizer
// watch every read of the input and of the chunks.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "engine/blobmap.hpp"

namespace {

using namespace corvale_trie;
using namespace corvale_trie::blobmap;

[[noreturn]] void fail(const char* what) {
  __builtin_printf("fuzz_blob_image: %s\n", what);
  std::abort();
}

std::string save(const CorvaleBlobMap& m) {
  StringSink sink;
  int err = 0;
  const std::optional<u64> total = m.save_to_writer(sink, err);
  if (!total || *total != sink.out.size()) fail("saved size differs from total_size");
  return sink.out;
}

}  // namespace

// The same bytes loaded from a file (in memory, through its descriptor's
// path) give the same error, or a map that saves to the same image.
static void check_file_load(const std::uint8_t* data, std::size_t size, const MaybeError& want,
                     const CorvaleBlobMap& m) {
  const int fd = memfd_create("fuzz_blob_image", MFD_CLOEXEC);
  if (fd < 0) return;
  if (::write(fd, data, size) != static_cast<ssize_t>(size)) fail("memfd write");
  CorvaleBlobMap f;
  const MaybeError got = CorvaleBlobMap::from_file("/proc/self/fd/" + std::to_string(fd), f);
  ::close(fd);
  if (got != want) fail("file and memory loads disagree");
  if (!got && save(f) != save(m)) fail("file and memory loads give different maps");
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  CorvaleBlobMap m;
  const MaybeError e = CorvaleBlobMap::from_bytes_slice({data, size}, m);
  check_file_load(data, size, e, m);
  if (e) {
    if (m.len() != 0 || m.mem_used() != 0) fail("a failed load left a partial map");
    return 0;
  }
  u64 visited = 0;
  m.scan_filtered(0, ~u64{0}, [](u64, u32) { return true; },
                  [&](u64 key, std::span<const u8> payload, u32 meta) {
                    const std::optional<BlobView> v = m.get(key);
                    if (!v || v->payload.size() != payload.size() || v->hot_meta != meta)
                      fail("scan and get disagree");
                    ++visited;
                    return true;
                  });
  if (visited > m.len()) fail("more entries visited than held");
  const std::string image = save(m);
  CorvaleBlobMap again;
  if (CorvaleBlobMap::from_bytes_slice({reinterpret_cast<const u8*>(image.data()), image.size()}, again))
    fail("a saved image does not load");
  if (save(again) != image) fail("save, load and save differ");
  const u8 payload[24] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23, 24};
  if (!m.insert(42, payload, 7)) {
    const std::optional<BlobView> v = m.get(42);
    if (!v || v->payload.size() != sizeof payload || v->hot_meta != 7) fail("an insert does not read back");
  }
  const u64 held = m.len();
  (void)m.compact();
  if (m.len() != held) fail("compaction changed the keys");
  return 0;
}
