// Fuzzes the archive record readers: the input's first byte picks the record kind (HTTP
// protocol record with its transactions, read from a stream and from memory; one HTTP
// transaction, which must also give one whole access-log line; a linked hash table; an archive
// file's header), the rest is the file. A record that reads must survive a write and read again
// unchanged: the second write gives the same bytes as the first.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "FuzzSupport.h"
#include "archive/OB_ArchiveHeader.h"
#include "coding/OB_ArchiveIO.h"
#include "coding/OB_TextField.h"
#include "http/OB_AccessLogLine.h"
#include "http/OB_HTTPProtocol.h"
#include "http/OB_HTTPXact.h"
#include "pool/OB_LinkedHash.h"

namespace {

void check(bool condition) {
  if (!condition) abort();
}

// A hash element with a number and a text, like the statistics' address pairs.
class Entry : public OB_Link<Entry>, public OB_Key<uint32_t>, public virtual OB_CalcHash {
  OB_CLASS_IDENTITY(Entry, 0x7E57F010, "Entry", OB_Link<Entry>, OB_Key<uint32_t>, OB_CalcHash)
  OB_CLASS_CREATE(Entry)

 public:
  int calcHash(int modulus) override { return static_cast<int>(value % static_cast<uint32_t>(modulus)); }
  int compare(OB_Compare* other, int /*how*/) override {
    Entry* e = obQuery<Entry>(other);
    return e != nullptr && e->value == value ? 0 : -1;
  }
  int init() override { return OB_Link<Entry>::init(); }
  int write(FILE* f) override {
    return OB_ArchiveIO::writeU32(f, value) == 0 && name.write(f) == 0 ? 0 : -1;
  }
  int read(FILE* f) override {
    return OB_ArchiveIO::readU32(f, &value) == 0 && name.read(f) == 0 ? 0 : -1;
  }

  uint32_t value = 0;
  OB_TextField<32> name;
};

FILE* reader(const uint8_t* data, size_t size) {
  static uint8_t empty = 0;
  return fmemopen(size > 0 ? const_cast<uint8_t*>(data) : &empty, size, "rb");
}

// The object's write form.
template <class T>
std::string written(T& object) {
  char* text = nullptr;
  size_t length = 0;
  FILE* out = open_memstream(&text, &length);
  check(out != nullptr);
  check(object.write(out) == 0);
  fclose(out);
  std::string bytes(text, length);
  free(text);
  return bytes;
}

// Reads bytes into object: the read's answer.
template <class T>
int readInto(T& object, const uint8_t* data, size_t size) {
  FILE* in = reader(data, size);
  check(in != nullptr);
  const int result = object.read(in);
  fclose(in);
  return result;
}

template <class T>
int readInto(T& object, const std::string& bytes) {
  return readInto(object, reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

// Parsers that reset between records, as the archive reader's are; a small pool bounds the
// transactions a record may bring.
OB_HTTPProtocol* first;
OB_HTTPProtocol* second;

// The archive reader's buffered road parses records from memory: it must take exactly what the
// stream road takes, the same bytes into the same record, and refuse what it refuses.
void bytesRoadAgrees(const uint8_t* data, size_t size, int streamResult, long streamUsed) {
  second->reset();
  static const uint8_t empty = 0;
  OB_ArchiveBytes bytes(size > 0 ? data : &empty, (size > 0 ? data : &empty) + size);
  const int result = second->readBytes(bytes);
  check((result == 0) == (streamResult == 0));
  if (result == 0) {
    check(bytes.position() - (size > 0 ? data : &empty) == streamUsed);
    check(written(*second) == written(*first));
  }
  second->reset();
}

void protocolRecord(const uint8_t* data, size_t size) {
  first->reset();
  FILE* in = reader(data, size);
  check(in != nullptr);
  const int result = first->read(in);
  const long used = ftell(in);
  fclose(in);
  bytesRoadAgrees(data, size, result, used);
  if (result != 0) {
    check(first->getXactCount() <= 64);
    first->reset();
    return;
  }
  check(first->getXactCount() == first->commRespCount);
  const std::string once = written(*first);
  second->reset();
  check(readInto(*second, once) == 0);
  check(written(*second) == once);
  first->reset();
  second->reset();
}

// The access-log line of a transaction read from a file: one line, ending in its only line feed,
// with no other control byte.
void checkLogLine(const OB_HTTPXact& xact) {
  static OB_AccessLogLine line;
  line.compose("10.0.0.1", "10.0.0.2", "[01/Jan/1970:00:00:00 +0000]", xact);
  check(line.size() >= 2 && line.data()[line.size() - 1] == '\n');
  for (size_t i = 0; i + 1 < line.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(line.data()[i]);
    check(c >= 0x20 && c != 0x7F);
  }
}

void transactionRecord(const uint8_t* data, size_t size) {
  OB_HTTPXact xact;
  if (readInto(xact, data, size) != 0) return;
  checkLogLine(xact);
  const std::string once = written(xact);
  OB_HTTPXact again;
  check(readInto(again, once) == 0);
  check(written(again) == once);
}

void hashTable(const uint8_t* data, size_t size) {
  OB_LinkedHash<Entry> table(61, 1);
  if (readInto(table, data, size) != 0) return;
  const std::string once = written(table);
  OB_LinkedHash<Entry> again(61, 1);
  check(readInto(again, once) == 0);
  check(again.getCount() == table.getCount());
  check(written(again).size() == once.size());
}

void archiveHeader(const uint8_t* data, size_t size) {
  OB_ArchiveHeader header("fuzz");
  if (readInto(header, data, size) != 0) return;
  check(header.getValueCount() >= 0 && header.getValueCount() <= OB_ArchiveHeader::kMaxValues);
  check(header.getDataOffset() >= 0 && static_cast<size_t>(header.getDataOffset()) <= size);
  const std::string once = written(header);
  OB_ArchiveHeader again("fuzz");
  check(readInto(again, once) == 0);
  check(written(again) == once);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  corrana_fuzz::quietLog("archive_fuzz");
  first = new OB_HTTPProtocol(1, 64);
  second = new OB_HTTPProtocol(1, 64);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  switch (data[0] % 4) {
    case 0: protocolRecord(data + 1, size - 1); break;
    case 1: transactionRecord(data + 1, size - 1); break;
    case 2: hashTable(data + 1, size - 1); break;
    case 3: archiveHeader(data + 1, size - 1); break;
  }
  return 0;
}
