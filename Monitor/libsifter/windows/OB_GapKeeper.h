// What a consumer hands over while no analysis reader of its protocol listens, kept for the
// readers that listen next. While the analysis engine rebuilds its windows one stands on each
// capture consumer that has no archive writer (the new readers replay the others' sessions from
// the archive), and the new readers take what it kept as they join, before anything newer.
// Records are kept as their archive bytes, the form the readers queue and replay. The analysis
// engine manager makes, places and takes away the keepers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>

#include "OB_Object.h"
#include "records/OB_ProtocolWriter.h"

class OB_Consumer;

class OB_GapKeeper : public virtual OB_ProtocolWriter, public virtual OB_ReferenceCounter {
  OB_CLASS_IDENTITY(OB_GapKeeper, 0x2BE2BFC7, "OB_GapKeeper", OB_ProtocolWriter,
                    OB_ReferenceCounter)

 public:
  // Bytes kept at most (a few seconds of a busy segment's connections); what comes past them is
  // counted as not kept.
  static constexpr size_t kMostKept = size_t{32} << 20;

  // protocolName: a literal, kept as a pointer.
  explicit OB_GapKeeper(const char* protocolName) : protocolName_(protocolName) {}

  const char* getProtocolName() override { return protocolName_; }
  // Claims nothing: the watched-server list says what the consumer takes.
  int isMatch(uint32_t /*serverIP*/, uint16_t /*serverPort*/) override { return 0; }
  // Keeps an OB_Data's archive bytes; anything else is passed over. Called under the
  // consumer's lock. 0.
  int processObject(OB_Object* object) override;

  // Under the consumer's lock, once the new readers have joined it: gives what was kept to
  // every protocol reader among the consumer's writers and forgets it; records that could not
  // be kept are logged. 0.
  int handTo(OB_Consumer* consumer);

  // Records kept now, and those that were not (past kMostKept, or no memory).
  size_t keptCount() const { return kept_.size(); }
  uint64_t droppedCount() const { return dropped_; }

 private:
  const char* protocolName_;  // not owned
  std::deque<std::string> kept_;  // oldest first; under the consumer's lock
  size_t bytes_ = 0;
  uint64_t dropped_ = 0;
};
