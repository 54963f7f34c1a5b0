#include "archive/OB_ArchiveWriter.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "OB_Log.h"
#include "OB_Tools.h"
#include "archive/OB_ArchiveFileList.h"
#include "coding/OB_ArchiveIO.h"
#include "records/OB_Data.h"

namespace {
// Names carry whole seconds: a file opened in the second of the last one takes the next.
constexpr int kNameAttempts = 3;

void waitForSecondAfter(time_t second) {
  while (time(nullptr) <= second) std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

// The bytes a write gives, made in memory, where writing cannot fail for want of disk: so no
// record class ends the process over a full disk, and a record reaches the file in one piece or
// not at all. False only when no memory was left.
template <class Write>
bool inMemory(Write write, std::string* out) {
  char* bytes = nullptr;
  size_t size = 0;
  FILE* memory = open_memstream(&bytes, &size);
  if (memory == nullptr) return false;
  write(memory);
  const bool made = fclose(memory) == 0;
  if (made) out->assign(bytes, size);
  free(bytes);
  return made;
}

bool bytesOf(OB_Object* object, std::string* out) {
  return inMemory([object](FILE* memory) { object->write(memory); }, out);
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
    OB_Log::quit("the archive folder %s is not a folder that can be opened", directory);
  openNext();
  lockFile.unlock();
}

OB_ArchiveWriter::~OB_ArchiveWriter() { closeFile(); }

int OB_ArchiveWriter::clean(uint32_t keepDays) {
  OB_ArchiveFileList list(directory, prefix);
  list.clean(keepDays);
  list.clear();
  return 0;
}

bool OB_ArchiveWriter::getEnd(uint32_t* openTime, int64_t* length) {
  OB_MutexHold hold(this);
  if (header == nullptr || fd_ < 0) return false;
  *openTime = header->openTime();
  *length = static_cast<int64_t>(end_);
  return true;
}

uint64_t OB_ArchiveWriter::getDroppedCount() {
  OB_MutexHold hold(this);
  return dropped_;
}

int OB_ArchiveWriter::discard() {
  OB_MutexHold hold(this);
  const bool empty = fd_ >= 0 && header != nullptr && end_ == headerEnd_;
  const std::string path = header != nullptr ? header->getName() : "";
  closeFile();
  closed_ = true;
  if (empty) {
    // Under the lock file, as a file is made: no reader lists it while it goes.
    lockFile.lock();
    unlink(path.c_str());
    lockFile.unlock();
  }
  return 0;
}

void OB_ArchiveWriter::setRetryInterval(uint32_t seconds) {
  OB_MutexHold hold(this);
  retryInterval_ = seconds;
  nextOpen_ = 0;
}

void OB_ArchiveWriter::openNext() {
  openFile(firstFile_ ? static_cast<const char*>(device) : "",
           firstFile_ ? static_cast<const char*>(filter) : "");
}

void OB_ArchiveWriter::openFile(const char* deviceText, const char* filterText) {
  OB_String path;
  int error = 0;
  for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
    const time_t now = time(nullptr);
    path = directory;
    path &= "/";
    path &= fileName(prefix, now);
    // O_EXCL: never truncate an existing file, which would lose the records of the file just
    // closed when the rotation falls in the second the file was opened.
    const int fd = ::open(path, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) {
      error = errno;
      if (error != EEXIST) break;
      waitForSecondAfter(now);
      continue;
    }
    // Taken before the header exists, under the lock file: no reader lists the file while it
    // is neither headed nor held.
    dataLock_.setFD(fd);
    dataLock_.lock();
    OB_ArchiveHeader* made =
        new OB_ArchiveHeader(path, OB_ArchiveHeader::kWriterType, static_cast<uint32_t>(now), 0,
                             prefix, deviceText, filterText, 0, nullptr);
    if (made == nullptr) OB_Log::quit("archiving_openWriter: no memory");
    fd_ = fd;
    end_ = 0;
    failing_ = false;
    std::string bytes;
    if (bytesOf(made, &bytes) && appendBytes(bytes)) {
      headerEnd_ = end_;
      header = made;
      firstFile_ = false;
      if (openFailing_)
        OB_Log::ret("archiving_openWriter: writing %s; %llu records were lost without a file",
                    static_cast<const char*>(path), static_cast<unsigned long long>(droppedHere_));
      openFailing_ = false;
      droppedHere_ = 0;
      return;
    }
    // An archive without a whole header is never left behind.
    error = errno;
    ::close(fd);
    dataLock_.setFD(-1);
    fd_ = -1;
    unlink(path);
    made->release();
    break;
  }
  nextOpen_ = time(nullptr) + static_cast<time_t>(retryInterval_);
  if (!openFailing_)
    OB_Log::ret(
        "archiving_openWriter: error opening %s (%s, errno = %d); records are dropped "
        "and counted until a file can be made",
        static_cast<const char*>(path), strerror(error), error);
  openFailing_ = true;
}

void OB_ArchiveWriter::closeFile() {
  if (fd_ >= 0) {
    lockFile.lock();
    unsigned char stop[4];
    OB_ArchiveIO::putU32(stop, static_cast<uint32_t>(time(nullptr)));
    // Patching bytes that are there needs no new room; should it fail all the same, the next
    // start's cleaning repairs the file.
    if (pwrite(fd_, stop, sizeof stop, OB_ArchiveHeader::kStopTimeOffset) != sizeof stop)
      OB_Log::ret("archiving_closeWriter: problem updating %s %s", header->getName(),
                  OB_Log::sys_err_str());
    lockFile.unlock();
    if (droppedHere_ > 0)
      OB_Log::ret("archiving_closeWriter: %llu records could not be written to %s",
                  static_cast<unsigned long long>(droppedHere_), header->getName());
    if (::close(fd_) != 0)
      OB_Log::ret("archiving_closeWriter: error closing %s %s", header->getName(),
                  OB_Log::sys_err_str());
    fd_ = -1;
    dataLock_.setFD(-1);
    droppedHere_ = 0;
  }
  obRelease(header);
  header = nullptr;
}

void OB_ArchiveWriter::reopenWhenDue() {
  if (fd_ >= 0 || closed_ || time(nullptr) < nextOpen_) return;
  lockFile.lock();
  openNext();
  lockFile.unlock();
}

bool OB_ArchiveWriter::appendBytes(const std::string& bytes) {
  const int result = OB_Tools::writeWhole(fd_, end_, bytes.data(), bytes.size());
  if (result == 0) {
    end_ += static_cast<off_t>(bytes.size());
    return true;
  }
  const int error = errno;
  if (result == -2)
    OB_Log::ret("archiving: can't take a cut record back out of %s %s",
                header != nullptr ? header->getName() : "", OB_Log::sys_err_str());
  errno = error;
  return false;
}

int OB_ArchiveWriter::appendCounted(const std::string& bytes) {
  if (appendBytes(bytes)) {
    if (failing_)
      OB_Log::ret("archiving: writing %s again; %llu records were dropped", header->getName(),
                  static_cast<unsigned long long>(droppedHere_));
    failing_ = false;
    return 0;
  }
  const int error = errno;
  ++dropped_;
  ++droppedHere_;
  if (!failing_)
    OB_Log::ret(
        "archiving: can't write to %s (%s, errno = %d); records are dropped and counted "
        "until a write succeeds",
        header->getName(), strerror(error), error);
  failing_ = true;
  return -1;
}

int OB_ArchiveWriter::processObject(OB_Object* object) {
  OB_Data* data = obQuery<OB_Data>(object);
  if (data == nullptr) return 0;
  OB_MutexHold hold(this);
  reopenWhenDue();
  std::string bytes;
  if (fd_ < 0 || !bytesOf(data, &bytes)) {
    if (!closed_) {
      ++dropped_;
      ++droppedHere_;
    }
    return 0;
  }
  appendCounted(bytes);
  return 0;
}

int OB_ArchiveWriter::write(char* text) {
  OB_MutexHold hold(this);
  if (text != nullptr && strlen(text) > 0xFFFF) return -1;
  reopenWhenDue();
  std::string bytes;
  if (fd_ < 0 || !inMemory([text](FILE* memory) { OB_Tools::writeString(text, memory); }, &bytes)) {
    if (!closed_) {
      ++dropped_;
      ++droppedHere_;
    }
    return -1;
  }
  return appendCounted(bytes);
}

int OB_ArchiveWriter::reset() {
  OB_MutexHold hold(this);
  closeFile();
  if (closed_) return 0;
  clean(days);
  lockFile.lock();
  openNext();
  lockFile.unlock();
  return 0;
}

int OB_ArchiveWriter::close() {
  OB_MutexHold hold(this);
  closeFile();
  closed_ = true;
  return 0;
}
