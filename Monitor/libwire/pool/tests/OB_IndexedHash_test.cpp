#include "pool/OB_IndexedHash.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <memory>
#include <random>
#include <vector>

#include "coding/OB_ArchiveIO.h"

namespace {

class Entry : public OB_Link<Entry>, public OB_Key<uint32_t>, public virtual OB_CalcHash {
  OB_CLASS_IDENTITY(Entry, 0x7E570031, "IndexedEntry", OB_Link<Entry>, OB_Key<uint32_t>,
                    OB_CalcHash)
  OB_CLASS_CREATE(Entry)

 public:
  Entry() = default;
  explicit Entry(uint32_t v) : value(v) {}

  int calcHash(int modulus) override { return static_cast<int>(value % modulus); }
  int compare(OB_Compare* other, int) override {
    Entry* e = obQuery<Entry>(other);
    return e != nullptr && e->value == value ? 0 : -1;
  }
  int init() override { return OB_Link<Entry>::init(); }
  int reset() override { return 0; }
  int write(FILE* f) override { return OB_ArchiveIO::writeU32(f, value); }
  int read(FILE* f) override { return OB_ArchiveIO::readU32(f, &value); }

  uint32_t value = 0;
};

struct EntryKey {
  using Key = uint32_t;
  static Key keyOf(Entry* e) { return e->value; }
  // Every key in one home slot: the probing and the removals' shifts do all the work.
  static uint64_t hash(const Key&) { return 7; }
};

using Plain = OB_LinkedHash<Entry>;
using Indexed = OB_IndexedHash<Entry, EntryKey>;

std::vector<uint8_t> bytesOf(Plain& t) {
  char* text = nullptr;
  size_t size = 0;
  FILE* out = open_memstream(&text, &size);
  EXPECT_EQ(t.write(out), 0);
  fclose(out);
  std::vector<uint8_t> bytes(text, text + size);
  free(text);
  return bytes;
}

// The same additions and removals in a plain and an indexed table: the chains (what a write
// walks) are the same, and every element left is found, every removed one is not.
TEST(IndexedHash, KeepsTheChainsOrderAndFindsWhatItHoldsThroughRemovals) {
  Plain plain(5, 1);
  Indexed indexed(5, 1);
  constexpr uint32_t kCount = 600;
  std::vector<Entry*> kept;
  for (uint32_t v = 0; v < kCount; ++v) {
    ASSERT_EQ(plain.add(new Entry(v * 3)), 0);
    auto* entry = new Entry(v * 3);
    ASSERT_EQ(indexed.add(entry), 0);
    kept.push_back(entry);
  }
  for (uint32_t v = 0; v < kCount; v += 3) {
    Entry probe(v * 3);
    ASSERT_EQ(plain.remove(plain.find(&probe)), 0);
    ASSERT_EQ(indexed.remove(indexed.find(&probe)), 0);
  }
  EXPECT_EQ(bytesOf(plain), bytesOf(indexed));
  EXPECT_EQ(indexed.getCount(), plain.getCount());
  for (uint32_t v = 0; v < kCount; ++v) {
    Entry* found = indexed.findKey(v * 3);
    if (v % 3 == 0) {
      EXPECT_EQ(found, nullptr) << v * 3;
    } else {
      ASSERT_NE(found, nullptr) << v * 3;
      EXPECT_EQ(found, kept[v]);
    }
    EXPECT_EQ(indexed.findKey(v * 3 + 1), nullptr);
  }
  indexed.clear();
  EXPECT_EQ(indexed.findKey(3), nullptr);
  EXPECT_EQ(indexed.getCount(), 0);
}

// A table read from its file form, and an element brought in with others chained behind it, are
// indexed whole.
TEST(IndexedHash, IndexesWhatReadAndChainedInsertsBring) {
  Plain plain(3, 1);
  for (uint32_t v = 10; v < 40; ++v) ASSERT_EQ(plain.add(new Entry(v)), 0);
  const std::vector<uint8_t> bytes = bytesOf(plain);
  Indexed indexed(3, 1);
  Plain again(3, 1);
  for (Plain* table : {static_cast<Plain*>(&indexed), &again}) {
    FILE* in = fmemopen(const_cast<uint8_t*>(bytes.data()), bytes.size(), "rb");
    ASSERT_EQ(table->read(in), 0);
    fclose(in);
  }
  for (uint32_t v = 10; v < 40; ++v) EXPECT_NE(indexed.findKey(v), nullptr) << v;
  EXPECT_EQ(bytesOf(indexed), bytesOf(again));

  Indexed table(3, 0);
  Entry a(100), b(101), c(102);
  a.insertAfter(&b);
  b.insertAfter(&c);
  ASSERT_EQ(table.insert(&a, 1), 0);
  EXPECT_EQ(table.getCount(), 3);
  EXPECT_EQ(table.findKey(100), &a);
  EXPECT_EQ(table.findKey(102), &c);
  ASSERT_EQ(table.remove(&b), 0);
  EXPECT_EQ(table.findKey(101), nullptr);
  EXPECT_EQ(table.findKey(102), &c);
  table.clear();
}

// Keys spread over the slots, and the hashes asked for counted: each one is a look at an entry.
size_t hashesAsked = 0;
struct CountedKey {
  using Key = uint32_t;
  static Key keyOf(Entry* e) { return e->value; }
  static uint64_t hash(const Key& k) {
    ++hashesAsked;
    return k;
  }
};

// Inserts, replacements and removals through many doublings agree with a map at every step
// (both blocks are read while one moves into the other), and no insert looks at more than a
// few entries: a doubling moves its entries a few at a time over the inserts after it, where
// one insert used to rehash them all.
TEST(PointerIndex, GrowsAFewEntriesAtATimeAndFindsEveryOneMeanwhile) {
  OB_PointerIndex<Entry, CountedKey> index;
  std::map<uint32_t, Entry*> model;
  std::vector<std::unique_ptr<Entry>> owned;
  std::mt19937 random(7);
  size_t mostHashes = 0;
  for (int step = 0; step < 200000; ++step) {
    const uint32_t key = random() % 60000;
    const int what = static_cast<int>(random() % 10);
    if (what < 7) {
      owned.push_back(std::make_unique<Entry>(key));
      hashesAsked = 0;
      index.insert(owned.back().get());
      mostHashes = std::max(mostHashes, hashesAsked);
      model[key] = owned.back().get();
    } else if (auto it = model.find(key); it != model.end()) {
      index.erase(it->second);
      model.erase(it);
    } else {
      Entry stranger(key);
      index.erase(&stranger);  // not the one indexed: nothing goes
    }
    if (step % 997 == 0 || step > 199000) {
      ASSERT_EQ(index.size(), model.size()) << step;
      for (uint32_t probe = 0; probe < 60000; probe += 29) {
        auto it = model.find(probe);
        ASSERT_EQ(index.find(probe), it == model.end() ? nullptr : it->second) << step << " " << probe;
      }
    }
  }
  EXPECT_LE(mostHashes, 64u);
  EXPECT_GE(index.bytes(), index.size() * 2 * sizeof(Entry*));
  index.clear();
  EXPECT_EQ(index.find(model.begin()->first), nullptr);
  EXPECT_EQ(index.size(), 0u);
}

}  // namespace
