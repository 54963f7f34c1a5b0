#include "net/OB_AllNetData.h"

#include "OB_Log.h"
#include "coding/OB_ArchiveIO.h"
#include "tcp/OB_Packet.h"

OB_AllNetData::OB_AllNetData(int pathTracking) : pathTracking_(pathTracking) {}

OB_AllNetData::~OB_AllNetData() {
  obRelease(table_);
  table_ = nullptr;
}

uint32_t OB_AllNetData::xTime() {
  // The sum in 64 bits equals start + (stop - start) / 2 whenever stop >= start, and cannot wrap
  // to a time decades away when the clock stepped back between the two stamps.
  return static_cast<uint32_t>((static_cast<uint64_t>(startTime) + stopTime) / 2);
}

int OB_AllNetData::setConfig(OB_Config* config) {
  config_ = config;
  return 0;
}

OB_AllNetData::PairTable* OB_AllNetData::makeTable() {
  if (table_ == nullptr) table_ = new PairTable(kBuckets, 1);
  return table_;
}

int OB_AllNetData::init() {
  OB_MutexHold hold(this);
  makeTable();
  return 0;
}

int OB_AllNetData::reset() {
  OB_MutexHold hold(this);
  startTime = stopTime = 0;
  packsSeen = bytesSeen = reportedDropped = 0;
  packsAccepted = bytesAccepted = 0;
  pairCount_ = 0;
  pairLimitLogged_ = false;
  protoAcceptedList_.clear();
  obRelease(table_);
  table_ = nullptr;
  return 0;
}

int OB_AllNetData::processObject(OB_Object* object) {
  OB_Packet* packet = obQuery<OB_Packet>(object);
  if (packet == nullptr) return 0;
  OB_MutexHold hold(this);
  protoAcceptedList_.count(packet->protoSpecId, packet->getPacketSize());
  if (pathTracking_ != 0 && packet->isIP() != 0) processIPPair(packet);
  return 0;
}

int OB_AllNetData::processIPPair(OB_Packet* packet) {
  PairTable* table = makeTable();
  if (table == nullptr) return -1;
  const uint32_t source = packet->srcIP;
  const uint32_t destination = packet->dstIP;
  const int index = OB_AddrPair::bucketOf(source, destination, table->getNumBuckets());

  OB_MutexHold tableHold(table);
  OB_AddrPair* pair = table->findKey(OB_AddrPairKey::of(source, destination));
  if (pair == nullptr) {
    if (pairCount_ >= maxPairs_) {
      if (!pairLimitLogged_) {
        pairLimitLogged_ = true;
        OB_Log::log("OB_AllNetData: %d address pairs in this interval; further pairs not kept\n",
                    static_cast<int>(pairCount_));
      }
      return -1;
    }
    pair = new OB_AddrPair(source, destination);
    if (pair == nullptr) return -1;
    if (table->insert(pair, index) != 0) {
      pair->release();
      return -1;
    }
    ++pairCount_;
  }
  pair->count(packet->protoSpecId, packet->getPacketSize());
  return 0;
}

int OB_AllNetData::write(FILE* stream) {
  OB_MutexHold hold(this);
  bool written = OB_Data::write(stream) == 0;
  for (uint32_t value : {startTime, stopTime, packsSeen, bytesSeen, reportedDropped,
                         packsAccepted, bytesAccepted})
    written = written && OB_ArchiveIO::writeU32(stream, value) == 0;
  written = written && protoAcceptedList_.write(stream) == 0;
  if (!written) {
    if (stream != nullptr) fflush(stream);
    OB_Log::quit("netStructs_writeStruct: failed writing to disk");
  }
  return writeHashTable(stream);
}

int OB_AllNetData::writeHashTable(FILE* stream) {
  OB_MutexHold hold(this);
  if (pathTracking_ == 0 && pairCount_ != 0) OB_Log::quit("writeHashTable: Invalid state.");
  bool written = OB_ArchiveIO::writeI32(stream, pathTracking_) == 0;
  // A record without a table (after reset) stores an empty one: its element count 0.
  if (table_ != nullptr)
    written = written && table_->write(stream) == 0;
  else
    written = written && OB_ArchiveIO::writeU32(stream, 0) == 0;
  if (stream != nullptr) fflush(stream);
  if (!written) OB_Log::quit("writeHashTable: failed writing to disk");
  return 0;
}

int OB_AllNetData::read(FILE* stream) {
  OB_MutexHold hold(this);
  if (OB_Data::read(stream) != 0) return -1;
  for (uint32_t* field : {&startTime, &stopTime, &packsSeen, &bytesSeen, &reportedDropped,
                          &packsAccepted, &bytesAccepted})
    if (OB_ArchiveIO::readU32(stream, field) != 0) return -1;
  // A list cut short leaves the stream inside the record: what follows cannot be read as the
  // rest of it.
  if (protoAcceptedList_.read(stream) != 0) return -1;
  return readHashTable(stream);
}

int OB_AllNetData::readHashTable(FILE* stream) {
  OB_MutexHold hold(this);
  int32_t tracking = 0;
  if (OB_ArchiveIO::readI32(stream, &tracking) != 0) return -1;
  PairTable* table = makeTable();
  if (table == nullptr) OB_Log::quit("readHashTable: no memory");
  const int result = table->read(stream);
  pathTracking_ = tracking;
  pairCount_ = table->getCount();
  if (result != 0) return -1;
  // Such a record could not be written again; it is not one this system wrote.
  if (tracking == 0 && pairCount_ != 0) return -1;
  return 0;
}

int OB_AllNetData::print(FILE* stream) {
  OB_MutexHold hold(this);
  OB_Log::flog(stream, "Network Data Structure\n");
  OB_Log::flog(stream, "----------------------\n");
  OB_Log::flog(stream, "sp->startTime       = %d\n", static_cast<int32_t>(startTime));
  OB_Log::flog(stream, "sp->stopTime        = %d\n", static_cast<int32_t>(stopTime));
  OB_Log::flog(stream, "sp->packsSeen       = %d\n", static_cast<int32_t>(packsSeen));
  OB_Log::flog(stream, "sp->bytesSeen       = %d\n", static_cast<int32_t>(bytesSeen));
  OB_Log::flog(stream, "sp->reportedDropped = %d\n", static_cast<int32_t>(reportedDropped));
  OB_Log::flog(stream, "sp->packsAccepted   = %d\n", static_cast<int32_t>(packsAccepted));
  OB_Log::flog(stream, "sp->bytesAccepted   = %d\n", static_cast<int32_t>(bytesAccepted));
  OB_Log::flog(stream, "sp->protoAcceptedList = \n");
  // Through flog as well, so that a null stream prints to the log rather than crashing.
  protoAcceptedList_.print(stream);
  return 0;
}

int OB_AllNetData::printHash(FILE* stream) {
  OB_MutexHold hold(this);
  OB_Log::flog(stream, "------------------------------\n");
  if (table_ == nullptr) {
    OB_Log::flog(stream, "m_iTotal = %d\n", 0);
    return 0;
  }
  OB_MutexHold tableHold(table_);
  OB_Log::flog(stream, "m_iTotal = %d\n", table_->getCount());
  for (int index = 0; index < table_->getNumBuckets(); ++index) {
    for (OB_Link<OB_AddrPair>* link = table_->getChain(index); link != nullptr;
         link = link->getNext()) {
      if (OB_AddrPair* pair = obQuery<OB_AddrPair>(link); pair != nullptr) pair->print(stream);
    }
  }
  return 0;
}
