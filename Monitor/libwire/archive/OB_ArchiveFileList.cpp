#include "archive/OB_ArchiveFileList.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "OB_FileLock.h"
#include "OB_Log.h"
#include "OB_SocketIO.h"
#include "coding/OB_ArchiveIO.h"

namespace {
constexpr int64_t kSecondsPerDay = 86400;

// Names in the directory that begin with "<prefix>-", in name order.
std::vector<std::string> kindFiles(const char* directory, const char* prefix) {
  std::vector<std::string> names;
  DIR* dir = opendir(directory);
  if (dir == nullptr) return names;
  const std::string start = std::string(prefix) + "-";
  while (struct dirent* entry = readdir(dir)) {
    if (std::strncmp(entry->d_name, start.c_str(), start.size()) == 0)
      names.emplace_back(entry->d_name);
  }
  closedir(dir);
  std::sort(names.begin(), names.end());
  return names;
}
// A file whose header does not read is passed over. It is logged with what was wrong, once
// for as long as it stays the same file (lists are made again and again: every reader, every
// console list), and not at all while a writer holds it: that one is being made.
void reportDamage(FILE* stream, const std::string& path, const char* problem) {
  OB_FileLock writer;
  writer.setFD(stream);
  if (writer.isLockedElsewhere() == 1) return;
  struct stat status;
  if (fstat(fileno(stream), &status) != 0) return;
  static std::mutex lock;
  static std::set<std::string> reported;
  const std::string key =
      path + "|" + std::to_string(status.st_ino) + "|" + std::to_string(status.st_size) + "|" +
      std::to_string(status.st_mtim.tv_sec) + "." + std::to_string(status.st_mtim.tv_nsec);
  {
    std::lock_guard<std::mutex> hold(lock);
    if (!reported.insert(key).second) return;
  }
  OB_Log::ret("OB_ArchiveFileList: %s passed over, its header is damaged: %s", path.c_str(),
              problem);
}

}  // namespace

OB_ArchiveFileList::OB_ArchiveFileList() { setOwner(1); }

OB_ArchiveFileList::OB_ArchiveFileList(const char* directory, const char* prefix) {
  setOwner(1);
  if (directory == nullptr || prefix == nullptr) return;
  for (const std::string& name : kindFiles(directory, prefix)) {
    const std::string path = std::string(directory) + "/" + name;
    // Only regular files: opening a pipe of that name would block, a directory reads nothing.
    struct stat status;
    if (stat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) continue;
    OB_ArchiveHeader* header = new OB_ArchiveHeader(path.c_str());
    if (header == nullptr) continue;
    FILE* stream = header->open();
    if (stream == nullptr) {
      OB_Log::flog(nullptr, "Error: could not open ");
      header->release();
      continue;
    }
    if (header->read(stream) == 0) {
      insertByStart(header);
    } else {
      reportDamage(stream, path, header->getReadProblem());
      header->release();
    }
    fclose(stream);
  }
}

void OB_ArchiveFileList::insertByStart(OB_ArchiveHeader* header) {
  OB_MutexHold hold(this);
  for (Link* link = head_; link != nullptr; link = link->getNext()) {
    OB_ArchiveHeader* entry = link->getItem();
    if (entry != nullptr && entry->openTime() > header->openTime()) {
      setCurrentLink(link);
      if (insert(header, header->getName()) != 0) header->release();
      return;
    }
  }
  if (append(header, header->getName()) != 0) header->release();
}

OB_ArchiveHeader* OB_ArchiveFileList::take(OB_ArchiveHeader* header) {
  OB_MutexHold hold(this);
  if (header == nullptr || find(header) == nullptr) return nullptr;
  setOwner(0);
  removeCurrent();
  setOwner(1);
  return header;
}

OB_ArchiveHeader* OB_ArchiveFileList::entryAfter(OB_ArchiveHeader* header) {
  OB_MutexHold hold(this);
  for (Link* link = head_; link != nullptr; link = link->getNext()) {
    if (link->getItemObject() == header)
      return link->getNext() != nullptr ? link->getNext()->getItem() : nullptr;
  }
  return nullptr;
}

int OB_ArchiveFileList::writeJ(int socket) {
  OB_MutexHold hold(this);
  bool good = writeJ_UInt16(socket, static_cast<uint16_t>(count_)) == 0;
  for (Link* link = head_; good && link != nullptr; link = link->getNext()) {
    OB_ArchiveHeader* header = link->getItem();
    if (header != nullptr) good = header->writeJ(socket) == 0;
  }
  if (good) return 0;
  OB_Log::ret("writeFileList: IO problem.");
  return -1;
}

int OB_ArchiveFileList::clean(uint32_t days) {
  OB_MutexHold hold(this);
  Link* link = head_;
  while (link != nullptr) {
    OB_ArchiveHeader* header = link->getItem();
    const int64_t now = static_cast<int64_t>(time(nullptr));
    // 64 bits: a limit of many years reaches before 1970 and must not wrap into the future.
    const int64_t limit = now - static_cast<int64_t>(days) * kSecondsPerDay;
    if (days > 0 && static_cast<int64_t>(header->openTime()) < limit) {
      unlink(header->getName());
      setCurrentLink(link);
      removeCurrent();
      link = getCurrentLink();
      continue;
    }
    if (header->closeTime() < header->openTime()) {
      Link* next = link->getNext();
      const uint32_t stop = next != nullptr && next->getItem() != nullptr
                                ? next->getItem()->openTime() - 1
                                : static_cast<uint32_t>(now);
      OB_Log::ret("cleanArchiveFiles: fixing file %s", header->getName());
      FILE* stream = fopen(header->getName(), "rb+");
      if (stream == nullptr) {
        OB_Log::ret("cleanArchiveFiles: error opening %s", header->getName());
        return -1;
      }
      // A patch that cannot be made (a full disk) is tried again at the next cleaning; it is
      // no reason to end the engine.
      bool patched = fseek(stream, OB_ArchiveHeader::kStopTimeOffset, SEEK_SET) == 0 &&
                     OB_ArchiveIO::writeU32(stream, stop) == 0;
      if (fclose(stream) != 0) patched = false;
      if (!patched)
        OB_Log::ret("cleanArchiveFiles: error updating %s %s", header->getName(),
                    OB_Log::sys_err_str());
    }
    link = link->getNext();
  }
  return 0;
}
