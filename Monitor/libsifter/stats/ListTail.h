// The statistics' lists that grow at their end keep a tail pointer beside their head, so that
// an append does not walk the list.
#pragma once

// Links entry (its next already null) behind the list's last entry, or as its first.
template <class Entry>
void stats_linkAtTail(Entry** head, Entry** tail, Entry* entry) {
  if (*tail != nullptr)
    (*tail)->next = entry;
  else
    *head = entry;
  *tail = entry;
}
