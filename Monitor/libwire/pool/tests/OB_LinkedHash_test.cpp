#include "pool/OB_LinkedHash.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <vector>

#include "coding/OB_ArchiveIO.h"

namespace {

int deleted = 0;

class Entry : public OB_Link<Entry>, public OB_Key<uint32_t>, public virtual OB_CalcHash {
  OB_CLASS_IDENTITY(Entry, 0x7E570010, "Entry", OB_Link<Entry>, OB_Key<uint32_t>, OB_CalcHash)
  OB_CLASS_CREATE(Entry)

 public:
  Entry() = default;
  explicit Entry(uint32_t v) : value(v) {}
  ~Entry() override { ++deleted; }

  int calcHash(int modulus) override { return static_cast<int>(value % modulus); }
  int compare(OB_Compare* other, int /*how*/) override {
    Entry* e = obQuery<Entry>(other);
    return e != nullptr && e->value == value ? 0 : -1;
  }
  int init() override { return OB_Link<Entry>::init(); }
  int reset() override { return 0; }
  int write(FILE* f) override { return OB_ArchiveIO::writeU32(f, value); }
  int read(FILE* f) override { return OB_ArchiveIO::readU32(f, &value); }

  uint32_t value = 0;
};

using Table = OB_LinkedHash<Entry>;

std::vector<uint32_t> chain(Table& t, int index) {
  std::vector<uint32_t> values;
  for (OB_Link<Entry>* at = t.getChain(index); at != nullptr; at = at->getNext())
    values.push_back(obQuery<Entry>(at)->value);
  return values;
}

std::vector<uint8_t> bytesOf(Table& t) {
  char* text = nullptr;
  size_t size = 0;
  FILE* out = open_memstream(&text, &size);
  EXPECT_EQ(t.write(out), 0);
  fclose(out);
  std::vector<uint8_t> bytes(text, text + size);
  free(text);
  return bytes;
}

FILE* readerOf(const std::vector<uint8_t>& bytes) {
  return fmemopen(const_cast<uint8_t*>(bytes.data()), bytes.size(), "rb");
}

TEST(LinkedHash, ZeroBucketsGives1024AndOutOfRangeIsRefused) {
  Table t(0);
  EXPECT_EQ(t.getNumBuckets(), 1024);
  Entry e(5);
  EXPECT_EQ(t.insert(&e, 1024), -1);
  EXPECT_EQ(t.insert(&e, -1), -1);
  EXPECT_EQ(t.getCount(), 0);
  EXPECT_EQ(t.getChain(1024), nullptr);
  EXPECT_EQ(e.getNext(), nullptr);
}

TEST(LinkedHash, SameBucketKeepsBothLaterFirstAndWritesBoth) {
  Table t(8);
  Entry a(0x11), b(0x22), c(0x33);
  ASSERT_EQ(t.insert(&a, 3), 0);
  ASSERT_EQ(t.insert(&b, 3), 0);
  ASSERT_EQ(t.insert(&c, 0), 0);
  EXPECT_EQ(t.insert(&a, 5), -1) << "already in a chain";
  EXPECT_EQ(t.insert(&b, 5), -1) << "already a chain's head";
  EXPECT_EQ(t.getCount(), 3);
  EXPECT_EQ(chain(t, 3), (std::vector<uint32_t>{0x22, 0x11}));
  EXPECT_EQ(a.getKey(), 3u);

  // count, then (bucket, element) bucket by bucket along each chain, all little-endian
  const std::vector<uint8_t> golden = {3, 0, 0, 0,                          //
                                       0, 0, 0, 0, 0x33, 0, 0, 0,           //
                                       3, 0, 0, 0, 0x22, 0, 0, 0,           //
                                       3, 0, 0, 0, 0x11, 0, 0, 0};
  EXPECT_EQ(bytesOf(t), golden);
  t.clear();
  EXPECT_EQ(t.getCount(), 0);
}

TEST(LinkedHash, AddFindRemove) {
  Entry probe(5), missing(13);
  deleted = 0;
  {
    Table t(4, 1);  // owning
    std::vector<Entry*> entries;
    for (uint32_t v : {1u, 5u, 9u, 2u}) {
      entries.push_back(new Entry(v));
      ASSERT_EQ(t.add(entries.back()), 0);
    }
    EXPECT_EQ(chain(t, 1), (std::vector<uint32_t>{9, 5, 1}));
    EXPECT_EQ(t.find(&probe), entries[1]);
    EXPECT_EQ(t.find(&missing), nullptr);

    EXPECT_EQ(t.remove(entries[1]), 0);  // middle of a chain
    EXPECT_EQ(deleted, 1);
    EXPECT_EQ(t.find(&probe), nullptr);
    EXPECT_EQ(t.remove(entries[2]), 0);  // head of a chain
    EXPECT_EQ(chain(t, 1), (std::vector<uint32_t>{1}));
    EXPECT_EQ(t.getCount(), 2);
    EXPECT_EQ(t.remove(&missing), -1) << "not in the table";
    EXPECT_EQ(t.getCount(), 2);
  }
  EXPECT_EQ(deleted, 4) << "an owning table releases what is left when it goes";
}

TEST(LinkedHash, FileRoundTrip) {
  Table t(16, 1);
  for (uint32_t v : {3u, 19u, 35u, 4u, 200u}) t.add(new Entry(v));
  const std::vector<uint8_t> bytes = bytesOf(t);

  Table back(16, 1);
  FILE* in = readerOf(bytes);
  ASSERT_EQ(back.read(in), 0);
  fclose(in);
  EXPECT_EQ(back.getCount(), 5);
  for (int i = 0; i < 16; ++i) {
    std::vector<uint32_t> wanted = chain(t, i), got = chain(back, i);
    std::sort(wanted.begin(), wanted.end());
    std::sort(got.begin(), got.end());
    EXPECT_EQ(got, wanted) << "bucket " << i;
  }
  Entry probe(35);
  ASSERT_NE(back.find(&probe), nullptr);
  EXPECT_EQ(back.find(&probe)->getKey(), 3u);
}

TEST(LinkedHash, ReadRefusesBucketIndexOutOfRangeAndShortInput) {
  deleted = 0;
  {
    // Two elements announced; the second names bucket 8 of an 8-bucket table.
    const std::vector<uint8_t> bytes = {2, 0, 0, 0, 1, 0, 0, 0, 7, 0, 0, 0,
                                        8, 0, 0, 0, 9, 0, 0, 0};
    Table t(8, 1);
    FILE* in = readerOf(bytes);
    EXPECT_EQ(t.read(in), -1);
    fclose(in);
    EXPECT_EQ(t.getCount(), 1);
    EXPECT_EQ(deleted, 1) << "the refused element is released, not leaked";
    EXPECT_EQ(chain(t, 1), (std::vector<uint32_t>{7}));
  }
  {
    const std::vector<uint8_t> cut = {2, 0, 0, 0, 1, 0, 0, 0, 7, 0};
    Table t(8, 1);
    FILE* in = readerOf(cut);
    EXPECT_EQ(t.read(in), -1);
    fclose(in);
    EXPECT_EQ(t.getCount(), 0);
  }
}

TEST(LinkedHashDeath, ReadingIntoAFilledTableEndsTheProcess) {
  Table t(8, 1);
  t.add(new Entry(1));
  const std::vector<uint8_t> bytes = {0, 0, 0, 0};
  EXPECT_EXIT(
      {
        FILE* in = readerOf(bytes);
        t.read(in);
      },
      ::testing::ExitedWithCode(1), "");
}

}  // namespace
