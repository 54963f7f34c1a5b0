#include "stats/dataStructs.h"

#include <cstdlib>

#include "OB_Log.h"
#include "OB_Tools.h"
#include "stats/ListTail.h"
#include "stats/RankedPicks.h"

namespace {

str2CntEntry_t* newEntry(const char* name, const char* name2, uint32_t a, uint32_t b,
                         const char* who) {
  auto* entry = static_cast<str2CntEntry_t*>(malloc(sizeof(str2CntEntry_t)));
  if (entry == nullptr) OB_Log::quit("%s: no memory", who);
  entry->name = OB_Tools::strdup(name != nullptr ? name : "");
  entry->name2 = OB_Tools::strdup(name2 != nullptr ? name2 : "");
  if (entry->name == nullptr || entry->name2 == nullptr) OB_Log::quit("%s: no memory", who);
  entry->a = a;
  entry->b = b;
  entry->next = nullptr;
  return entry;
}

void freeEntries(str2CntEntry_t* entry) {
  while (entry != nullptr) {
    str2CntEntry_t* next = entry->next;
    free(entry->name);
    free(entry->name2);
    free(entry);
    entry = next;
  }
}

}  // namespace

str2CntList_t* dataStructs_newList() {
  auto* list = static_cast<str2CntList_t*>(calloc(1, sizeof(str2CntList_t)));
  if (list == nullptr) OB_Log::quit("dataStructs_newList: no memory");
  return list;
}

namespace {

void appendEntry(str2CntList_t* list, str2CntEntry_t* entry) {
  stats_linkAtTail(&list->head, &list->tail, entry);
  ++list->count;
}

}  // namespace

str2CntEntry_t* dataStructs_append(str2CntList_t* list, const char* name, const char* name2,
                                   uint32_t a, uint32_t b) {
  str2CntEntry_t* entry = newEntry(name, name2, a, b, "dataStructs_append");
  appendEntry(list, entry);
  return entry;
}

void dataStructs_freeList(str2CntList_t* list) {
  if (list == nullptr) return;
  freeEntries(list->head);
  free(list);
}

str2CntList_t* dataStructs_getTopN(const str2CntList_t* list, int n, int order) {
  constexpr const char* kWho = "dataStructs_getTopN";
  const uint32_t limit = n > 1 ? static_cast<uint32_t>(n) : 1;
  str2CntList_t* result = dataStructs_newList();
  auto keep = [result](const str2CntEntry_t* entry) {
    appendEntry(result, newEntry(entry->name, entry->name2, entry->a, entry->b, kWho));
  };
  const str2CntEntry_t* first = list != nullptr ? list->head : nullptr;
  if (order != 0 && order != 1) {
    for (const str2CntEntry_t* entry = first; entry != nullptr && result->count < limit;
         entry = entry->next)
      keep(entry);
    return result;
  }
  RankedPicks<const str2CntEntry_t*> picks(limit);
  for (const str2CntEntry_t* entry = first; entry != nullptr; entry = entry->next)
    picks.offer(order == 1 ? entry->b : entry->a, entry);
  for (const str2CntEntry_t* entry : picks.finish()) keep(entry);
  return result;
}
