#include "dataStructs.h"

#include <cstdlib>

#include "OB_Log.h"
#include "OB_Tools.h"

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

str2CntEntry_t* dataStructs_append(str2CntList_t* list, const char* name, const char* name2,
                                   uint32_t a, uint32_t b) {
  str2CntEntry_t* entry = newEntry(name, name2, a, b, "dataStructs_append");
  str2CntEntry_t** at = &list->head;
  while (*at != nullptr) at = &(*at)->next;
  *at = entry;
  ++list->count;
  return entry;
}

void dataStructs_freeList(str2CntList_t* list) {
  if (list == nullptr) return;
  freeEntries(list->head);
  free(list);
}

str2CntList_t* dataStructs_getTopN(const str2CntList_t* list, int n, int order) {
  const uint32_t limit = n > 1 ? static_cast<uint32_t>(n) : 1;
  auto key = [order](const str2CntEntry_t* entry) { return order == 1 ? entry->b : entry->a; };
  const bool ranked = order == 0 || order == 1;
  str2CntList_t* result = dataStructs_newList();
  uint32_t threshold = 0;
  for (const str2CntEntry_t* entry = list != nullptr ? list->head : nullptr; entry != nullptr;
       entry = entry->next) {
    if (result->count == limit && (!ranked || key(entry) < threshold)) continue;
    str2CntEntry_t** at = &result->head;
    if (ranked) {
      while (*at != nullptr && key(*at) >= key(entry)) at = &(*at)->next;
    } else {
      while (*at != nullptr) at = &(*at)->next;
    }
    str2CntEntry_t* copy = newEntry(entry->name, entry->name2, entry->a, entry->b,
                                    "dataStructs_getTopN");
    copy->next = *at;
    *at = copy;
    // Count from the head and cut after the limit-th entry.
    uint32_t kept = 0;
    str2CntEntry_t* last = nullptr;
    for (str2CntEntry_t* walk = result->head; walk != nullptr; walk = walk->next) {
      if (++kept == limit) {
        last = walk;
        break;
      }
    }
    if (last != nullptr) {
      freeEntries(last->next);
      last->next = nullptr;
      threshold = key(last);
    }
    result->count = kept;
  }
  return result;
}
