#include "QV_HTTPDumper.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "OB_Log.h"
#include "OB_Tools.h"
#include "http/OB_HTTPProtocol.h"
#include "http/OB_HTTPServerStats.h"
#include "stats/AnalysisHash.h"

namespace {

// Closes a side list; -1 (errno set) when anything written to it was lost.
int closeList(FILE* list) {
  const bool failed = ferror(list) != 0;
  const int error = errno;
  const int closed = fclose(list);
  if (!failed && closed == 0) return 0;
  if (failed) errno = error != 0 ? error : EIO;
  return -1;
}

}  // namespace

QV_HTTPDumper::QV_HTTPDumper(const char* outputName, OB_AEngineConfig* config,
                             OB_IndexChanger* changer, int resolve)
    : OB_Stats(config, changer),
      OB_HTTPReader(config, changer),
      outputName_(outputName != nullptr ? outputName : "standard output"),
      resolve_(resolve) {
  output_ = outputName != nullptr ? fopen(outputName, "w+") : stdout;
}

QV_HTTPDumper::~QV_HTTPDumper() {
  if (output_ == stdout) {
    fflush(stdout);
  } else if (output_ != nullptr) {
    fclose(output_);
  }
}

int QV_HTTPDumper::queryInterface(OB_ClassID id, void** out) {
  if (out == nullptr) return -1;
  if (id == getClassID()) {
    *out = this;
    return 0;
  }
  return OB_HTTPReader::queryInterface(id, out);
}

int QV_HTTPDumper::start() {
  // The thread part's continue flag alone: the replay step stops the reader, which clears it.
  setContinue(1);
  while (isRunning() != 0) doTask();
  return 0;
}

int QV_HTTPDumper::stop() {
  OB_HTTPReader::stop();
  setContinue(0);
  return 0;
}

const char* QV_HTTPDumper::hostText(uint32_t address, const char* storedName, char* quad) {
  if (resolve_ != 0) {
    if (storedName[0] != '\0') return storedName;
    if (const char* name = AnalysisHash_resolveDomainName(address); name != nullptr) return name;
  }
  return OB_Tools::IPAddressString(address, quad);
}

int QV_HTTPDumper::processObject(OB_Object* object) {
  OB_HTTPProtocol* http = obQuery<OB_HTTPProtocol>(object);
  if (http != nullptr && output_ != nullptr && http->xactAt(1) != nullptr) {
    char time[OB_AccessLogLine::kTimeSize];
    OB_AccessLogLine::formatTime(http->connTime, time);
    char firstQuad[16];
    char secondQuad[16];
    const char* first;
    const char* second;
    // The cache's texts stay valid while it lives: no hold needed across both host fields.
    first = hostText(http->clientIP, http->reservedA.c_str(), firstQuad);
    second = hostText(http->serverIP, http->reservedB.c_str(), secondQuad);
    for (int n = 1;; ++n) {
      OB_HTTPXact* xact = http->xactAt(n);
      if (xact == nullptr) break;
      line_.compose(first, second, time, *xact);
      clients_.add(first);
      uris_.add(xact->req_request_uri.c_str());
      errno = 0;
      if ((fwrite(line_.data(), 1, line_.size(), output_) != line_.size() ||
           fflush(output_) != 0) &&
          writeError_ == 0) {
        writeError_ = errno != 0 ? errno : EIO;
        OB_Log::log("QV_HTTPDumper: write to %s failed (%s)\n", outputName_.c_str(),
                    strerror(writeError_));
      }
    }
  }
  OB_HTTPReader::processObject(object);
  return 0;
}

int QV_HTTPDumper::writeLine(FILE* list, const std::string& text, std::string* scratch) {
  // Names come from the traffic: a control byte must not start a line of its own.
  scratch->resize(OB_Tools::escapedSize(text.size()));
  scratch->resize(OB_Tools::escapeControls(text.data(), text.size(), scratch->data(),
                                           scratch->size()));
  *scratch += '\n';
  return fwrite(scratch->data(), 1, scratch->size(), list) == scratch->size() ? 0 : -1;
}

int QV_HTTPDumper::writeUserList() {
  FILE* list = fopen(kUserListFile, "w");
  if (list == nullptr) return -1;
  // Most transactions first; a stable sort keeps equal ones in the order first written.
  std::vector<const std::string*> ranked;
  ranked.reserve(clients_.order.size());
  for (const std::string& client : clients_.order) ranked.push_back(&client);
  std::stable_sort(ranked.begin(), ranked.end(), [&](const std::string* a, const std::string* b) {
    return clients_.counts.at(*a) > clients_.counts.at(*b);
  });
  if (ranked.size() > static_cast<size_t>(kUserListLimit)) ranked.resize(kUserListLimit);
  std::string scratch;
  for (const std::string* client : ranked)
    if (writeLine(list, *client + "   " + std::to_string(clients_.counts.at(*client)),
                  &scratch) != 0)
      break;
  return closeList(list);
}

int QV_HTTPDumper::writeURLList() {
  FILE* list = fopen(kURLListFile, "w");
  if (list == nullptr) return -1;
  std::string scratch;
  for (const std::string& uri : uris_.order)
    if (writeLine(list, uri, &scratch) != 0) break;
  return closeList(list);
}

int QV_HTTPDumper::writeMIMETypeList() {
  return writeNameList(getMimeTypeHash(), kMIMETypeListFile);
}

int QV_HTTPDumper::writeNameList(OB_LinkedHash<OB_String>* table, const char* fileName) {
  FILE* list = fopen(fileName, "w");
  if (list == nullptr) return -1;
  if (table != nullptr) {
    OB_MutexHold hold(table);
    std::string escaped;
    for (int bucket = 0; bucket < table->getNumBuckets(); ++bucket) {
      for (OB_Link<OB_String>* at = table->getChain(bucket); at != nullptr; at = at->getNext()) {
        OB_String* name = at->getItem();
        if (name == nullptr) continue;
        const char* text = *name;
        writeLine(list, std::string(text, std::strlen(text)), &escaped);
      }
    }
  }
  return closeList(list);
}
