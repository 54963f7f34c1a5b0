// The analysis engine's three process-wide name tables, shared by every time window, reader,
// statistics module and command handler: resource names and MIME type names interned so that
// many counters point at one copy, and the domain-name cache, which spares repeated reverse
// look-ups and is kept across runs in "<install>/db/domains.db". The engine manager (and the
// export tool) makes them with AnalysisHash_init and ends them with AnalysisHash_free.
#pragma once

#include <cstdint>

#include "OB_String.h"
#include "pool/OB_LinkedHash.h"
#include "stats/OB_Domain.h"

constexpr int kResourceHashBuckets = 2039;
constexpr int kMimeTypeHashBuckets = 57;
constexpr int kDomainHashBuckets = 1021;

// How the domain cache learns the names it lacks.
enum class OB_NameLookups {
  kNone,        // never: an unknown address keeps its dotted quad
  kInline,      // on the asking thread, which waits for the resolver (the export tool)
  kBackground,  // on a thread of the cache's own: the asking thread never waits (the engine)
};

// Makes the resource-name table, the domain table (filled from "domains.db" when that file is
// sound; a missing or damaged file gives an empty cache) and the MIME-type table, each owning
// its elements; with kBackground also the cache's resolver thread. Runs while no other thread
// uses the tables; a second call while they exist does nothing.
void AnalysisHash_init(OB_NameLookups lookups = OB_NameLookups::kInline);
// Deletes the resource-name table, writes the domain table back to "domains.db" (through a
// temporary file, so a failed write leaves the previous file whole; entries still waiting for
// their name are left out) and deletes it, then deletes the MIME-type table. Never waits for a
// look-up in progress: the resolver thread drops its answer. Runs while no other thread uses
// the tables; afterwards the getters give null.
void AnalysisHash_free();

// The tables, or null outside AnalysisHash_init .. AnalysisHash_free. Each table's own lock
// guards it; a user that looks up and then adds holds it across both (it is re-entrant).
OB_LinkedHash<OB_String>* getResourceHash();
OB_LinkedHash<OB_String>* getMimeTypeHash();
OB_LinkedHash<OB_Domain>* getDomainNameHash();

// The table's copy of name, added when absent, under the table's lock, and reckoned among the
// tracked names' bytes. The text stays valid until the table is cleared or deleted. Null when
// table or name is null.
const char* AnalysisHash_internName(OB_LinkedHash<OB_String>* table, const char* name);
// Empties a name table under its lock, giving its names' bytes back to the tracked names. Only
// once nothing points into it any more.
void AnalysisHash_clearNames(OB_LinkedHash<OB_String>* table);

// The cached host name of a host-order address: under the domain table's lock, the entry of
// bucket address % kDomainHashBuckets with that address, else a new entry. A new entry holds
// nameWhenAbsent when that is given; otherwise, by the table's OB_NameLookups, the reverse
// look-up's name (OB_Tools::resolveIP) found on this thread (kInline), or the dotted quad while
// the resolver thread looks the address up (kBackground), or the dotted quad for good (kNone).
// A look-up that gives no name leaves the dotted quad as a negative entry: never written to
// "domains.db", and asked again (the same way) by the first call after it expires (see
// AnalysisHash_setRetryAfter). A text once returned stays valid, and unchanged, until the table
// is deleted; null when there is no domain table.
const char* AnalysisHash_getDomainName(uint32_t address, const char* nameWhenAbsent = nullptr);

// The cached host name of address, never waiting for a resolver: the cache's entry; else, with
// kBackground, a new entry as AnalysisHash_getDomainName makes it (the dotted quad while the
// resolver thread looks the address up); else null. For a thread that must not wait, such as
// one that reads the configuration under cfg.lock.
const char* AnalysisHash_cachedDomainName(uint32_t address);

// The host name of address, looked up on the calling thread when the cache holds none yet
// (or only the dotted quad of an entry still waiting, or of a failure that has expired), and
// then kept in the cache; a failure is a negative entry as for AnalysisHash_getDomainName. For callers
// that may wait and want the name now (the export tool's -resolve). Null without a domain
// table.
const char* AnalysisHash_resolveDomainName(uint32_t address);

// How long a failed look-up is remembered before it is asked again, in seconds; 600 until set.
// 0: the next call asks again.
void AnalysisHash_setRetryAfter(uint32_t seconds);

// Bucket of text for modulus n: h = (h * 127 + c) % n over its characters as signed 8-bit
// values (C remainder), then |h| % n when h ended negative; n at most 65536. *length (when not
// null) receives the text's length, at most 65535. "" (or null text, or n <= 0) gives bucket 0.
uint16_t hashName(const char* text, int n, uint16_t* length);
