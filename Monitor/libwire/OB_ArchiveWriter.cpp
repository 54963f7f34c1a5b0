#include "OB_ArchiveWriter.h"

#include <sys/stat.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "OB_ArchiveFileList.h"
#include "OB_ArchiveIO.h"
#include "OB_Data.h"
#include "OB_Log.h"
#include "OB_Tools.h"

namespace {
// Names carry whole seconds: a file opened in the second of the last one takes the next.
constexpr int kNameAttempts = 3;

void waitForSecondAfter(time_t second) {
  while (time(nullptr) <= second) std::this_thread::sleep_for(std::chrono::milliseconds(10));
}
}  // namespace

OB_ArchiveWriter::OB_ArchiveWriter(OB_ProtocolFactory* factory_, const char* directory_,
                                   const char* prefix_, const char* device_, const char* filter_,
                                   uint32_t keepDays)
    : OB_Archive(factory_, directory_, prefix_),
      days(keepDays),
      device(device_ != nullptr ? device_ : ""),
      filter(filter_ != nullptr ? filter_ : "") {
  clean(days);
  lockFile.lock();
  struct stat status;
  if (stat(directory, &status) != 0 || !S_ISDIR(status.st_mode))
    OB_Log::quit("archiving_openWriter: can't open database directory\n %s", directory);
  openFile();
  lockFile.unlock();
}

OB_ArchiveWriter::~OB_ArchiveWriter() { closeFile(); }

int OB_ArchiveWriter::clean(uint32_t keepDays) {
  OB_ArchiveFileList list(directory, prefix);
  list.clean(keepDays);
  list.clear();
  return 0;
}

void OB_ArchiveWriter::openFile() {
  OB_String path;
  for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
    const time_t now = time(nullptr);
    path = directory;
    path &= "/";
    path &= fileName(prefix, now);
    // "x": never truncate an existing file, which would lose the records of the file just
    // closed when the rotation falls in the second the file was opened.
    file = fopen(path, "w+bx");
    if (file != nullptr) {
      header = new OB_ArchiveHeader(path, OB_ArchiveHeader::kWriterType,
                                    static_cast<uint32_t>(now), 0, prefix, device, filter, 0,
                                    nullptr);
      if (header == nullptr) OB_Log::quit("archiving_openWriter: no memory");
      header->write(file);
      return;
    }
    if (errno != EEXIST) break;
    waitForSecondAfter(now);
  }
  OB_Log::ret("archiving_openWriter: error opening %s", static_cast<const char*>(path));
}

void OB_ArchiveWriter::closeFile() {
  if (file != nullptr) {
    lockFile.lock();
    if (fseek(file, OB_ArchiveHeader::kStopTimeOffset, SEEK_SET) != 0) {
      perror("archiving_closeWriter");
      OB_Log::quit("archiving_closeWriter: error fseeking");
    }
    if (OB_ArchiveIO::writeU32(file, static_cast<uint32_t>(time(nullptr))) != 0 ||
        fflush(file) != 0)
      OB_Log::quit("archiving_closeWriter: problem updating file");
    lockFile.unlock();
    fclose(file);
    file = nullptr;
  }
  obRelease(header);
  header = nullptr;
}

int OB_ArchiveWriter::processObject(OB_Object* object) {
  OB_Data* data = obQuery<OB_Data>(object);
  if (data == nullptr) return 0;
  OB_MutexHold hold(this);
  if (file != nullptr) data->write(file);
  return 0;
}

int OB_ArchiveWriter::write(char* text) {
  OB_MutexHold hold(this);
  if (file == nullptr) return -1;
  if (text != nullptr && strlen(text) > 0xFFFF) return -1;
  return OB_Tools::writeString(text, file);
}

int OB_ArchiveWriter::reset() {
  OB_MutexHold hold(this);
  closeFile();
  clean(days);
  lockFile.lock();
  openFile();
  lockFile.unlock();
  return 0;
}
