#include "OB_Object.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace {

int deletions = 0;
int preReleases = 0;

class Tracked : public OB_ReferenceCounter {
 public:
  ~Tracked() override { ++deletions; }
  void preRelease() override { ++preReleases; }
};

// A class that combines faces the way OB_String does: own id, then its bases in order.
class Combined : public virtual OB_Compare, public virtual OB_Processor, public virtual OB_CalcHash {
  OB_CLASS_IDENTITY(Combined, 0x12345678, "Combined", OB_Compare, OB_Processor, OB_CalcHash)
};

TEST(ObjectModel, CreateInitsAndReleaseDeletes) {
  OB_Object* object = OB_Object::create();
  ASSERT_NE(object, nullptr);
  EXPECT_STREQ(object->getClassName(), "OB_Object");
  object->release();
  obRelease(static_cast<OB_Object*>(nullptr));
}

TEST(ObjectModel, QueryInterfaceYieldsFacesInDeclarationOrder) {
  Combined c;
  void* out = reinterpret_cast<void*>(1);
  ASSERT_EQ(c.queryInterface(0x12345678, &out), 0);
  EXPECT_EQ(out, &c);
  ASSERT_EQ(c.queryInterface(OB_Processor::getClassID(), &out), 0);
  EXPECT_EQ(out, static_cast<OB_Processor*>(&c));
  ASSERT_EQ(c.queryInterface(OB_CalcHash::getClassID(), &out), 0);
  EXPECT_EQ(out, static_cast<OB_CalcHash*>(&c));
  ASSERT_EQ(c.queryInterface(OB_Object::getClassID(), &out), 0);
  EXPECT_EQ(out, static_cast<OB_Object*>(&c));
  EXPECT_EQ(c.queryInterface(0xDEADBEEF, &out), -1);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(obQuery<OB_Compare>(static_cast<OB_Processor*>(&c)), static_cast<OB_Compare*>(&c));
}

TEST(ObjectModel, ProcessorAnswersOnlyItsOwnIdentifier) {
  OB_Processor p;
  void* out = nullptr;
  EXPECT_EQ(p.queryInterface(OB_Processor::getClassID(), &out), 0);
  EXPECT_EQ(p.queryInterface(OB_Object::getClassID(), &out), -1);
  EXPECT_EQ(out, nullptr);
  OB_Compare compare;
  EXPECT_EQ(compare.queryInterface(OB_Object::getClassID(), &out), 0);
  EXPECT_EQ(compare.compare(&compare, 0), -1);
  EXPECT_EQ(OB_CalcHash().calcHash(10), -1);
}

TEST(ReferenceCounter, LastReleaseDeletesOnceAfterPreRelease) {
  deletions = preReleases = 0;
  Tracked* t = new Tracked;
  t->addRef();
  t->release();
  EXPECT_EQ(deletions, 0);
  EXPECT_EQ(t->getReferenceCount(), 1);
  t->release();
  EXPECT_EQ(deletions, 1);
  EXPECT_EQ(preReleases, 1);
}

TEST(ReferenceCounter, ConcurrentHoldersDeleteExactlyOnce) {
  deletions = 0;
  Tracked* t = new Tracked;
  constexpr int kHolders = 8, kRounds = 10000;
  for (int i = 0; i < kHolders * kRounds; ++i) t->addRef();
  std::vector<std::thread> threads;
  for (int h = 0; h < kHolders; ++h)
    threads.emplace_back([t] {
      for (int i = 0; i < kRounds; ++i) t->release();
    });
  for (auto& th : threads) th.join();
  EXPECT_EQ(deletions, 0);
  t->release();
  EXPECT_EQ(deletions, 1);
}

TEST(Counter, DecrementBelowZeroWraps) {
  OB_Counter c;
  c.increment(2);
  c.decrement(3);
  EXPECT_EQ(c.getCount(), 0xFFFFFFFFu);
}

}  // namespace
