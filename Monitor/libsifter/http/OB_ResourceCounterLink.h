// The counters of one (URI, MIME type) pair of one resources-served object: hits per bin, the
// clients that asked for it with their numbers of requests, and, made only when first needed,
// the entry points per bin with their clients and the error counts of each referring page that
// sent a visitor to it as an entry point and got an error status. It is its own chain node in
// the resources-served table, which owns it. Guarded by the window's statistics lock.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string_view>
#include <unordered_map>

#include "OB_Key.h"
#include "OB_Link.h"
#include "OB_List.h"
#include "http/OB_CountedList.h"
#include "http/OB_Resource.h"
#include "stats/OB_Array.h"

class OB_IPTrackerHash;

// The referring page text of a referer error; an own heap copy.
class OB_Referer : public virtual OB_Object {
  OB_CLASS_IDENTITY(OB_Referer, 0x2BE2BF8D, "OB_Referer", OB_Object)

 public:
  explicit OB_Referer(const char* text = nullptr);
  OB_Referer(const OB_Referer&) = delete;
  OB_Referer& operator=(const OB_Referer&) = delete;
  ~OB_Referer() override;
  const char* getReferer() const { return referer != nullptr ? referer : ""; }

 private:
  char* referer = nullptr;  // owned (C heap)
};

// One referring page's error counts per bin; its own node in its resource's referer-error list.
class OB_RefererErrCounterLink : public virtual OB_Link<OB_RefererErrCounterLink>,
                                 public OB_CountArray,
                                 public OB_Referer,
                                 public virtual OB_Compare,
                                 public virtual OB_Object {
  OB_CLASS_IDENTITY(OB_RefererErrCounterLink, 0x2BE2BF90, "OB_RefererErrCounterLink",
                    OB_Link<OB_RefererErrCounterLink>, OB_CountArray, OB_Referer, OB_Compare,
                    OB_Object)

 public:
  OB_RefererErrCounterLink(const char* referer, uint32_t maxLength);
  int init() override { return OB_Link<OB_RefererErrCounterLink>::init(); }
  // 0 when other is no referer-error counter; else 1 when this total is the larger, -1 when the
  // smaller, 0 when equal.
  int compare(OB_Compare* other, int how) override;
  int print(FILE* stream) override { return OB_CountArray::print(stream); }
};

using OB_ClientList = OB_CountedList<OB_IPTrackerHash>;

class OB_ResourceCounterLink : public virtual OB_Link<OB_ResourceCounterLink>,
                               public virtual OB_Key<uint32_t>,
                               public OB_Resource,
                               public OB_CountArray,
                               public virtual OB_Compare,
                               public virtual OB_Object {
  OB_CLASS_IDENTITY(OB_ResourceCounterLink, 0x2BE2BF93, "OB_ResourceCounterLink",
                    OB_Link<OB_ResourceCounterLink>, OB_Key<uint32_t>, OB_Resource, OB_CountArray,
                    OB_Compare, OB_Object)
  OB_CLASS_CREATE(OB_ResourceCounterLink)

 public:
  // An empty client list; no entry-point or referer-error parts yet. The key reads 0xFFFFFFFF
  // until a table adds the counter.
  OB_ResourceCounterLink();
  OB_ResourceCounterLink(const OB_ResourceCounterLink&) = delete;
  OB_ResourceCounterLink& operator=(const OB_ResourceCounterLink&) = delete;
  // Frees the lists and arrays it owns; the clients belong to the IP tracker.
  ~OB_ResourceCounterLink() override;

  // Counts one error of the entry point reached from referer (exact text) at bin. The window's
  // bin count bounds the new counter. 0.
  virtual int processRefererError(const char* referer, uint32_t bin, uint32_t numOfBins);
  // Counts one entry point of client at bin. 0.
  virtual int recordEntryPoint(uint32_t bin, OB_IPTrackerHash* client);
  // Null until the first entry point.
  virtual OB_ClientList* getEntryPointClients() { return entryPointClients; }
  virtual OB_CountArray* getEntryPointCounts() { return entryPointCounts; }
  OB_ClientList* getClients() { return &clients; }
  // Null until the first referer error; owned, owner and intrusive.
  OB_List<OB_RefererErrCounterLink>* getRefererErrors() { return refererErrors; }
  // The sum of the totals of every referer-error counter (0 without any).
  uint64_t refererErrorTotal();
  // Names the counter with copies of its own, freed with it, for use without the engine's name
  // tables.
  void setOwnNames(const char* uri, const char* mime);

  // -1 when other is no resource counter; else 1 when other's referer-error sum is the larger,
  // -1 when the smaller, 0 when equal (an ascending sort puts the larger sum first).
  int compare(OB_Compare* other, int how) override;
  int init() override { return OB_Link<OB_ResourceCounterLink>::init(); }
  int print(FILE* stream) override { return OB_CountArray::print(stream); }

 private:
  OB_ClientList clients;
  OB_List<OB_RefererErrCounterLink>* refererErrors = nullptr;  // owned
  // The referer-error counters by their page text (the keys view the counters' own copies), so
  // a resource that many pages point at finds each in one probe. Made with refererErrors: most
  // resources never have one, and an empty map would cost each of them its size.
  using RefererIndex = std::unordered_map<std::string_view, OB_RefererErrCounterLink*>;
  std::unique_ptr<RefererIndex> refererIndex;
  OB_CountArray* entryPointCounts = nullptr;                   // owned
  OB_ClientList* entryPointClients = nullptr;                  // owned
  char* ownNames[2] = {nullptr, nullptr};                      // owned (C heap) when set
};
