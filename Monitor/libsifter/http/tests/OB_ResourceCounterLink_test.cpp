// The per-resource counters: referer errors per referring page, counted client lists and the
// referer-error ordering the breakdown sorts by.
#include "http/OB_ResourceCounterLink.h"

#include <gtest/gtest.h>

#include <vector>

#include "OB_Tools.h"
#include "stats/OB_IPTracker.h"

namespace {

int errorCount(OB_ResourceCounterLink& counter, const char* referer) {
  OB_List<OB_RefererErrCounterLink>* list = counter.getRefererErrors();
  if (list == nullptr) return -1;
  for (OB_RefererErrCounterLink* entry = list->first(); entry != nullptr; entry = list->next())
    if (std::string(entry->getReferer()) == referer) return static_cast<int>(entry->getTotal());
  return 0;
}

TEST(OB_ResourceCounterLinkTest, RefererErrorsCountPerExactReferringPage) {
  OB_ResourceCounterLink* counter = new OB_ResourceCounterLink();
  counter->setMaxLength(8);
  EXPECT_EQ(counter->getRefererErrors(), nullptr);
  counter->processRefererError("http://a.example/x", 1, 8);
  counter->processRefererError("http://a.example/x", 3, 8);
  counter->processRefererError("http://A.example/x", 3, 8);
  counter->processRefererError("", 0, 8);
  EXPECT_EQ(counter->getRefererErrors()->getCount(), 3);
  EXPECT_EQ(errorCount(*counter, "http://a.example/x"), 2);
  EXPECT_EQ(errorCount(*counter, "http://A.example/x"), 1);
  EXPECT_EQ(errorCount(*counter, ""), 1);
  EXPECT_EQ(counter->refererErrorTotal(), 4u);
  counter->release();
}

TEST(OB_ResourceCounterLinkTest, ClientListsCountRepeatsOnceEachAtAnyLength) {
  std::vector<OB_IPTrackerHash*> clients;
  for (int i = 0; i < 40; ++i) clients.push_back(new OB_IPTrackerHash());
  OB_ClientList list;
  list.append(clients[0]);
  list.append(clients[0]);
  EXPECT_EQ(list.getCount(), 1);
  EXPECT_EQ(list.countOf(clients[0]), 2u);
  // Past the length searched entry by entry, the index must agree with the entries.
  for (OB_IPTrackerHash* client : clients) list.append(client);
  for (int i = 0; i < 40; i += 3) list.append(clients[i]);
  EXPECT_EQ(list.getCount(), 40);
  EXPECT_EQ(list.countOf(clients[0]), 4u);
  EXPECT_EQ(list.countOf(clients[3]), 2u);
  EXPECT_EQ(list.countOf(clients[1]), 1u);
  OB_IPTrackerHash* stranger = new OB_IPTrackerHash();
  EXPECT_EQ(list.countOf(stranger), 0u);
  // First seen stays first, and every entry is listed once.
  ASSERT_EQ(list.entries().size(), 40u);
  for (size_t i = 0; i < 40; ++i) EXPECT_EQ(list.entries()[i].item, clients[i]);
  stranger->release();
  for (OB_IPTrackerHash* client : clients) client->release();
}

TEST(OB_ResourceCounterLinkTest, EntryPointsAreMadeOnFirstUse) {
  OB_ResourceCounterLink* counter = new OB_ResourceCounterLink();
  counter->setMaxLength(4);
  OB_IPTrackerHash* client = new OB_IPTrackerHash();
  EXPECT_EQ(counter->getEntryPointCounts(), nullptr);
  counter->recordEntryPoint(2, client);
  counter->recordEntryPoint(2, client);
  EXPECT_EQ(counter->getEntryPointCounts()->getAt(2), 2u);
  EXPECT_EQ(counter->getEntryPointCounts()->getMaxLength(), 4u);
  EXPECT_EQ(counter->getEntryPointClients()->countOf(client), 2u);
  counter->release();
  client->release();
}

TEST(OB_ResourceCounterLinkTest, SortingPutsTheLargerRefererErrorSumFirst) {
  OB_ResourceCounterLink* few = new OB_ResourceCounterLink();
  OB_ResourceCounterLink* many = new OB_ResourceCounterLink();
  OB_ResourceCounterLink* none = new OB_ResourceCounterLink();
  few->processRefererError("r", 0, 4);
  for (int i = 0; i < 3; ++i) many->processRefererError(i == 0 ? "p" : "q", 1, 4);
  OB_Object* items[] = {none, few, many};
  OB_Tools::sort(items, 3, nullptr);
  EXPECT_EQ(items[0], static_cast<OB_Object*>(many));
  EXPECT_EQ(items[1], static_cast<OB_Object*>(few));
  EXPECT_EQ(items[2], static_cast<OB_Object*>(none));
  for (OB_Object* item : items) item->release();
}

}  // namespace
