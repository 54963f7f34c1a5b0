// The ranked lists that the IP-tracking queries return: entries of two owned texts (an address
// and a host name, or two names) and two counts, freshly allocated for one console reply and
// freed with dataStructs_freeList.
#pragma once

#include <cstdint>

struct str2CntEntry_t {
  char* name;   // owned (C heap)
  char* name2;  // owned (C heap)
  uint32_t a;
  uint32_t b;
  str2CntEntry_t* next;
};

struct str2CntList_t {
  uint32_t count;
  str2CntEntry_t* head;
  str2CntEntry_t* tail;  // the last entry, so an append does not walk the list
};

// An empty list (owned by the caller). Out of memory ends the process.
str2CntList_t* dataStructs_newList();
// Appends copies of the texts (null taken as "") with the counts at the tail; returns the entry.
// Out of memory ends the process.
str2CntEntry_t* dataStructs_append(str2CntList_t* list, const char* name, const char* name2,
                                   uint32_t a, uint32_t b);
// Frees every entry with its texts, then the list; null is allowed.
void dataStructs_freeList(str2CntList_t* list);

// A new list of copies of at most n entries of list (n below 1 keeps one), ranked by the key of
// order: 1 ranks by b, 0 by a, largest first, equal keys in list order; any other order keeps
// the first n in list order. Only the kept entries are copied; the ranking costs
// O(entries x log n). Out of memory ends the process with "dataStructs_getTopN: no memory".
str2CntList_t* dataStructs_getTopN(const str2CntList_t* list, int n, int order);
