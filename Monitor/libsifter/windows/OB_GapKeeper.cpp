#include "windows/OB_GapKeeper.h"

#include "OB_Log.h"
#include "records/OB_Consumer.h"
#include "records/OB_Data.h"
#include "windows/OB_ProtocolReader.h"

int OB_GapKeeper::processObject(OB_Object* object) {
  OB_Data* record = obQuery<OB_Data>(object);
  if (record == nullptr) return 0;
  std::string bytes;
  if (!OB_ProtocolReader::recordBytes(record, &bytes) || bytes_ + bytes.size() > kMostKept) {
    ++dropped_;
    return 0;
  }
  bytes_ += bytes.size();
  kept_.push_back(std::move(bytes));
  return 0;
}

int OB_GapKeeper::handTo(OB_Consumer* consumer) {
  if (consumer != nullptr) {
    consumer->first();
    for (OB_Consumer::Link* link = consumer->getCurrentLink(); link != nullptr;
         link = link->getNext())
      if (auto* reader = obQuery<OB_ProtocolReader>(link->getItemObject()); reader != nullptr)
        reader->takeGap(kept_);
  }
  if (dropped_ != 0)
    OB_Log::ret("%s: %llu records handed over while the analysis was rebuilt could not be kept "
                "for it; they are not counted",
                protocolName_ != nullptr ? protocolName_ : "?",
                static_cast<unsigned long long>(dropped_));
  kept_.clear();
  bytes_ = 0;
  dropped_ = 0;
  return 0;
}
