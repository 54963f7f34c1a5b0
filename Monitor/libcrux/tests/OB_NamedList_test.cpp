#include "OB_NamedList.h"

#include <gtest/gtest.h>

#include "OB_String.h"

namespace {

using Names = OB_NamedList<OB_String>;

// Values in list order, "|"-joined, with their link names: "name=value|...".
std::string dump(Names& list) {
  std::string out;
  for (OB_String* s = list.first(); s != nullptr; s = list.next()) {
    out += std::string(list.getCurrentName()) + "=" + static_cast<const char*>(*s) + "|";
  }
  return out;
}

TEST(OB_NamedList, FindsItemsByName) {
  OB_String http("80"), ftp("21"), again("8080");
  Names list;
  list.append(&http, "http");
  list.append(&ftp, "ftp");
  list.append(&again, "http");
  EXPECT_EQ(list.getCount(), 3);

  EXPECT_EQ(list.find("ftp"), &ftp);
  EXPECT_STREQ(list.getCurrentName(), "ftp");
  EXPECT_EQ(list.find("http"), &http);
  EXPECT_EQ(list.findNext("http"), &again);
  EXPECT_EQ(list.findNext("http"), nullptr);
  EXPECT_EQ(list.find("HTTP"), nullptr);  // names compare byte for byte
  EXPECT_EQ(list.getCurrentLink()->getItem(), &again);  // a miss leaves the cursor on the last
  EXPECT_EQ(list.find(static_cast<const char*>(nullptr)), &http);
  EXPECT_EQ(list.countName("http"), 2);
  EXPECT_EQ(list.countName("none"), 0);
  EXPECT_EQ(list.countName(nullptr), 3);

  OB_NamedLink<OB_String>* link = list.getCurrentLink();
  ASSERT_NE(link, nullptr);
  EXPECT_STREQ(link->getClassName(), "OB_NamedLink<T>");
  EXPECT_NE(obQuery<OB_Link<OB_String>>(link), nullptr);
  EXPECT_NE(obQuery<OB_Compare>(link), nullptr);
}

TEST(OB_NamedList, InsertsAndReplacesAtTheCursor) {
  OB_String a("a"), b("b"), c("c"), d("d"), e("e");
  Names list;
  list.insert(&b, "second");  // empty list: becomes head and cursor
  list.insert(&a, "first");   // before the cursor, new head
  list.append(&d, "fourth");
  EXPECT_EQ(dump(list), "first=a|second=b|fourth=d|");
  list.find("fourth");
  list.insert(&c, "third");
  EXPECT_EQ(dump(list), "first=a|second=b|third=c|fourth=d|");

  list.find("second");
  EXPECT_EQ(list.setCurrentItem(&e), 0);
  EXPECT_EQ(list.find("second"), &e);
  list.last();
  list.removeCurrent();  // no cursor now
  EXPECT_EQ(list.setCurrentItem(&e), -1);
  EXPECT_EQ(list.getCurrentName(), nullptr);
  list.insert(&d, "again");  // without a cursor: after the tail
  EXPECT_EQ(dump(list), "first=a|second=e|third=c|again=d|");
}

TEST(OB_NamedList, RecycledLinksForgetTheirNames) {
  OB_String a("a"), b("b");
  Names list;
  list.setRecycle(1);
  list.append(&a, "old");
  list.remove(&a);
  list.append(&b);
  EXPECT_EQ(list.find("old"), nullptr);
  EXPECT_STREQ(list.getCurrentName(), "");
  EXPECT_EQ(list.first(), &b);
}

TEST(OB_NamedList, SortsByNameWhenAsked) {
  OB_String one("1"), two("2"), three("3");
  Names list;
  list.append(&three, "c");
  list.append(&one, "a");
  list.append(&two, "b");
  list.sort();  // by the items: strings only tell equal from unequal, so nothing moves
  EXPECT_EQ(dump(list), "c=3|a=1|b=2|");
  list.setSortByName(1);
  list.append(&two, "b");  // clears the sorted mark
  list.sort();
  EXPECT_EQ(dump(list), "a=1|b=2|b=2|c=3|");

  // The links' own comparison with bit 0: names equal or not.
  list.find("b");
  OB_NamedLink<OB_String>* first = list.getCurrentLink();
  list.findNext("b");
  EXPECT_EQ(first->compare(list.getCurrentLink(), 1), 0);
  list.find("a");
  EXPECT_EQ(first->compare(list.getCurrentLink(), 1), -1);
}

TEST(OB_NamedList, OwningListReleasesItsItems) {
  auto* list = new Names();
  list->setOwner(1);
  list->append(new OB_String("x"), "one");
  list->append(new OB_String("y"), "two");
  list->find("one");
  list->removeCurrent();
  EXPECT_EQ(list->getCount(), 1);
  EXPECT_STREQ(*list->find("two"), "y");
  delete list;  // frees "y"; the leak checker of the sanitizer build watches this
}

}  // namespace
