#include "archive/OB_ArchiveReader.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>

#include "OB_Log.h"
#include "coding/OB_ArchiveIO.h"
#include "records/OB_Data.h"

namespace {
const unsigned char kRecordTag[OB_Data::tagSize] = {'q', 'v', 'x', '\0'};
// The read-ahead block of the buffered road, and the largest it grows to for one long record
// (a longer one goes the stream road).
constexpr size_t kBlockBytes = 256 * 1024;
constexpr size_t kMaxBlockBytes = 64 * 1024 * 1024;
}  // namespace

OB_ArchiveReader::OB_ArchiveReader(OB_ProtocolFactory* factory_, const char* directory_,
                                   const char* prefix_, uint16_t windowType_, uint32_t nowTime_,
                                   uint32_t agoTime_)
    : OB_Archive(factory_, directory_, prefix_),
      windowType(windowType_),
      nowTime(nowTime_),
      agoTime(agoTime_) {}

OB_ArchiveReader::~OB_ArchiveReader() { releaseList(); }

void OB_ArchiveReader::releaseList() {
  currentHeader = nullptr;
  obRelease(fileList);
  fileList = nullptr;
}

int OB_ArchiveReader::setNowTime(uint32_t time) {
  nowTime = time;
  return 0;
}

int OB_ArchiveReader::setAgoTime(uint32_t time) {
  agoTime = time;
  return 0;
}

int OB_ArchiveReader::setRealTime(int on) {
  realTime = on;
  return 0;
}

int OB_ArchiveReader::copy(OB_ArchiveHeader* header) {
  OB_ArchiveHeader* duplicate = new OB_ArchiveHeader(header);
  if (fileList == nullptr) fileList = new OB_ArchiveFileList();
  if (duplicate == nullptr || fileList == nullptr)
    OB_Log::quit("OB_ArchiveReader::copy(): no memory");
  if (fileList->append(duplicate, duplicate->getName()) != 0)
    OB_Log::quit("OB_ArchiveReader::copy(): no memory");
  return 0;
}

int OB_ArchiveReader::init() {
  if (file != nullptr) fclose(file);
  file = nullptr;
  streamHolds();
  lastPosition = 0;
  attemptStart = -1;
  lastResult = 0;
  done = 0;
  realTime = 0;
  releaseList();
  fileList = new OB_ArchiveFileList(directory, prefix);
  if (fileList == nullptr) OB_Log::quit("archiving_openReader: no memory");
  oldData = 1;

  lockFile.lock();
  OB_MutexHold hold(fileList);
  fileList->first();
  for (OB_ArchiveFileList::Link* link = fileList->getCurrentLink(); link != nullptr;) {
    OB_ArchiveHeader* header = link->getItem();
    const uint32_t start = header->openTime();
    const uint32_t stop = header->closeTime();
    bool keep;
    if (windowType == kRealTimeWindow) {
      keep = !(start <= agoTime && stop <= agoTime && stop != 0);
    } else if (windowType == kStaticWindow) {
      // Every file whose span meets the window, including one that spans all of it (a window
      // inside one day's file) and the open file (stop 0) once it has begun.
      keep = start <= nowTime && (stop == 0 || stop >= agoTime);
    } else {
      OB_Log::quit("archiving_openReader: BUG! invalid windowType");
    }
    if (keep) {
      link = link->getNext();
    } else {
      fileList->setCurrentLink(link);
      fileList->removeCurrent();
      link = fileList->getCurrentLink();
    }
  }

  currentHeader = fileList->first();
  if (currentHeader != nullptr) {
    file = currentHeader->open();
    if (file == nullptr)
      OB_Log::ret("archiving_openReader: error opening %s", currentHeader->getName());
    // The newest file may be the one being written: its end is waited at, not skipped past.
    oldData = isFinished(currentHeader);
  }
  lockFile.unlock();
  return 0;
}

OB_Data* OB_ArchiveReader::read() {
  done = 0;
  if (file == nullptr) moveToNextFile();
  if (file == nullptr) {
    lastResult = 0;
    return nullptr;
  }

  OB_Data* object = nullptr;
  bool nothingNew = false;
  if (!streamAtNext || feof(file) == 0) {
    if (oldData == 0 && lastPosition != 0 && lastResult != 0) {
      struct stat status;
      nothingNew = fstat(fileno(file), &status) == 0 && status.st_size <= lastPosition;
    }
    if (!nothingNew) {
      object = createProtocol();
      if (object == nullptr) {
        // Without a record to read into, nothing is read and nothing is skipped.
        lastResult = -1;
        return nullptr;
      }
      // A whole record: handed out, unless it lies past the stop time, which ends the reading.
      auto handOut = [this](OB_Data* record) -> OB_Data* {
        if (record->xTime() > nowTime) {
          obRelease(record);
          done = 1;
          lastResult = -1;
          return nullptr;
        }
        lastResult = 0;
        return record;
      };
      int64_t next = 0;
      const int64_t start = bytesRoad ? nextRecord() : -1;
      if (start >= 0 && readBuffered(object, start, &next) == 0) {
        attemptStart = start;
        lastPosition = next;
        position = next;
        streamAtNext = false;
        return handOut(object);
      }
      if (start >= 0) {
        // The stream road takes the record from its start, into an empty object.
        positionStream();
        obRelease(object);
        object = createProtocol();
        if (object == nullptr) {
          lastResult = -1;
          return nullptr;
        }
      }
      attemptStart = ftello(file);
      lastPosition = attemptStart;
      const int result = object->read(file);
      if (result == 0) {
        lastPosition = ftello(file);
        return handOut(object);
      }
      if (result != -1) {
        obRelease(object);
        lastResult = result;
        return nullptr;
      }
    }
  }
  obRelease(object);
  lastResult = -1;

  // Failed, or at the end of what is there.
  if (oldData == 0) {
    // The incomplete record is read again: once it has grown while the writer is still at it,
    // or at once when the writer closed the file meanwhile (closing flushed the rest of it),
    // from then on as a finished file.
    // Taken before the look at the stop time, whose seeks clear the end-of-file mark.
    const bool atEnd = nothingNew || feof(file) != 0;
    bool closed = isRealTimeFile() == 0;
    if (!closed && writerIsGone()) {
      // Its writer died without closing it: nothing will be added. Looked at once more, as
      // the writer may have closed it between the two looks.
      closed = isRealTimeFile() == 0;
      if (!closed) {
        oldData = 1;
        if (atEnd) {
          finishUnclosed();
          return nullptr;
        }
      }
    }
    if (oldData == 0 || closed) {
      if (closed) oldData = 1;
      if (fseeko(file, lastPosition, SEEK_SET) != 0) {
        perror("archiving_readNetStruct");
        OB_Log::quit("archiving_readNetStruct: error fseeking");
      }
      return nullptr;
    }
    // A bad record inside a file nobody writes is passed over as in a finished one.
  }
  if (feof(file) != 0 || tryToRealign() == 0 || feof(file) != 0) moveToNextFile();
  return nullptr;
}

int64_t OB_ArchiveReader::nextRecord() {
  // A file the stream road opened or moved in since the buffered road last read.
  if (file != blockFile) streamAtNext = true;
  return streamAtNext ? static_cast<int64_t>(ftello(file)) : position;
}

void OB_ArchiveReader::streamHolds() {
  streamAtNext = true;
  blockFile = nullptr;
  blockLength = 0;
}

void OB_ArchiveReader::positionStream() {
  if (streamAtNext) return;
  streamAtNext = true;
  if (fseeko(file, position, SEEK_SET) != 0) {
    perror("archiving_readNetStruct");
    OB_Log::quit("archiving_readNetStruct: error fseeking");
  }
}

int OB_ArchiveReader::fillBlock(int64_t start, size_t size) {
  if (block.size() != size) {
    // A block grown for one long record goes back to the usual size with the next fill.
    block.resize(size);
    if (block.capacity() > 2 * size) block.shrink_to_fit();
  }
  blockFile = nullptr;
  blockLength = 0;
  const int fd = fileno(file);
  size_t got = 0;
  while (got < size) {
    const ssize_t n = pread(fd, block.data() + got, size - got, static_cast<off_t>(start + got));
    if (n < 0 && errno == EINTR) continue;
    // A failing read is left to the stream road, which reports it.
    if (n < 0) return -1;
    if (n == 0) break;
    got += static_cast<size_t>(n);
  }
  blockFile = file;
  blockStart = start;
  blockLength = got;
  return 0;
}

int OB_ArchiveReader::readBuffered(OB_Data* object, int64_t start, int64_t* next) {
  bool fresh = false;
  for (;;) {
    if (blockFile != file || start < blockStart ||
        start >= blockStart + static_cast<int64_t>(blockLength)) {
      if (fillBlock(start, kBlockBytes) != 0) return -1;
      fresh = true;
      if (blockLength == 0) return -1;
    }
    const unsigned char* begin = block.data() + (start - blockStart);
    OB_ArchiveBytes bytes(begin, block.data() + blockLength);
    const int result = object->readBytes(bytes);
    if (result == 0) {
      *next = start + (bytes.position() - begin);
      return 0;
    }
    if (result == OB_ArchiveBytes::kNoRoad) bytesRoad = false;
    if (result != OB_ArchiveBytes::kShort) return -1;
    // The record runs past the block. A block just read from its start that ended at the end
    // of the file holds all there is; else the record is read again from its start, in a
    // block twice as large when it already began a full one.
    const bool atFileEnd = blockLength < block.size();
    if (fresh && atFileEnd) return -1;
    size_t size = block.size();
    if (fresh) {
      if (size >= kMaxBlockBytes) return -1;
      size *= 2;
    }
    if (fillBlock(start, size) != 0) return -1;
    fresh = true;
  }
}

int OB_ArchiveReader::writerIsGone() {
  OB_FileLock probe;
  probe.setFD(fileno(file));
  // Unknown counts as held: the reader then waits, as it always did.
  return probe.isLockedElsewhere() == 0 ? 1 : 0;
}

void OB_ArchiveReader::finishUnclosed() {
  struct stat status;
  const long long cut =
      fstat(fileno(file), &status) == 0 ? static_cast<long long>(status.st_size - lastPosition) : 0;
  const char* name = currentHeader != nullptr ? currentHeader->getName() : "";
  if (cut > 0) {
    OB_Log::ret(
        "OB_ArchiveReader: %s was left unclosed by its writer; read to its last complete "
        "record, the %lld bytes of a record cut short after it are skipped",
        name, cut);
  } else {
    OB_Log::ret("OB_ArchiveReader: %s was left unclosed by its writer; read to its end", name);
  }
  moveToNextFile();
}

int OB_ArchiveReader::isRealTimeFile() {
  const off_t position = ftello(file);
  if (fseeko(file, OB_ArchiveHeader::kStopTimeOffset, SEEK_SET) != 0) {
    perror("isRealTimeFile");
    OB_Log::quit("isRealTimeFile: error fseeking 1");
  }
  uint32_t stop = 0;
  // A file cut short under the reader is no longer written: it is treated as finished.
  const bool readable = OB_ArchiveIO::readU32(file, &stop) == 0;
  if (!readable) OB_Log::ret("isRealTimeFile: error reading");
  if (fseeko(file, position, SEEK_SET) != 0) OB_Log::quit("isRealTimeFile: error fseeking 2");
  return readable && stop == 0 ? 1 : 0;
}

int OB_ArchiveReader::tryToRealign() {
  OB_Log::debug("tryToRealign: TRYING TO REALIGN\n");
  if (feof(file) != 0) return 0;
  // From the byte after the start of the failed record, not from where its read stopped: that
  // read may have run into the next record, and the tag found must be the first one.
  if (attemptStart >= 0 && ftello(file) > attemptStart) {
    if (fseeko(file, attemptStart + 1, SEEK_SET) != 0) {
      perror("tryToRealign");
      OB_Log::quit("tryToRealign: error fseeking");
    }
  }
  for (;;) {
    const off_t start = ftello(file);
    size_t matched = 0;
    while (matched < OB_Data::tagSize) {
      const int c = fgetc(file);
      if (c == EOF) return 0;
      if (static_cast<unsigned char>(c) != kRecordTag[matched]) break;
      ++matched;
    }
    // A tag found, or a partial match broken: either way the next look starts at the byte
    // after this attempt's first, so a tag that begins inside a broken match is not missed.
    if (matched > 0) {
      const off_t target = matched == OB_Data::tagSize ? start : start + 1;
      if (fseeko(file, target, SEEK_SET) != 0) {
        perror("tryToRealign");
        OB_Log::quit("tryToRealign: error fseeking");
      }
      if (matched == OB_Data::tagSize) return 1;
    }
  }
}

int OB_ArchiveReader::moveToNextFile() {
  if (currentHeader != nullptr)
    OB_Log::debug("moveToNextFile: MOVING FROM %s ", currentHeader->getName());
  lockFile.lock();
  if (file != nullptr) fclose(file);
  file = nullptr;
  streamHolds();
  lastPosition = 0;
  attemptStart = -1;

  OB_ArchiveHeader* next =
      currentHeader != nullptr && fileList != nullptr ? fileList->entryAfter(currentHeader) : nullptr;
  if (next == nullptr) {
    OB_Log::debug("TO NOTHING\n");
    if (windowType == kRealTimeWindow) {
      OB_Log::debug("moveToNextFile: TRYING TO FIND NEW FILE (%s)\n", prefix);
      oldData = 0;
      if (static_cast<time_t>(nowTime) < time(nullptr)) {
        done = 1;
        OB_Log::debug("moveToNextFile: past the window's end: done\n");
      } else if (OB_ArchiveHeader* found = findNextFile(); found != nullptr) {
        if (fileList == nullptr) fileList = new OB_ArchiveFileList();
        if (fileList == nullptr) OB_Log::quit("moveToNextFile: no memory");
        fileList->clear();
        if (fileList->append(found, found->getName()) != 0) {
          found->release();
          found = nullptr;
        }
        next = found;
      }
    } else {
      OB_Log::debug("moveToNextFile: DONE READING STATIC ANALYSIS\n");
      done = 1;
    }
  }
  // Null when nothing was found: the reader is past its last file, and findNextFile goes on
  // from the last listed one.
  currentHeader = next;
  lockFile.unlock();

  if (next != nullptr) {
    file = next->open();
    if (file == nullptr) {
      perror("moveToNextFile:");
      return 0;
    }
    OB_Log::debugLevel(nullptr, 2, "moving to next file: %s\n", next->getName());
    oldData = isFinished(next);
  }
  return 0;
}

OB_ArchiveHeader* OB_ArchiveReader::findNextFile() {
  OB_ArchiveHeader* last = fileList != nullptr ? fileList->last() : nullptr;
  OB_ArchiveFileList fresh(directory, prefix);
  OB_Log::debug("OB_ArchiveReader::findNextFile()!!!\n");
  OB_MutexHold hold(&fresh);
  fresh.first();
  for (OB_ArchiveFileList::Link* link = fresh.getCurrentLink(); link != nullptr;
       link = link->getNext()) {
    OB_ArchiveHeader* header = link->getItem();
    if ((last == nullptr || header->openTime() > last->openTime()) &&
        header->openTime() >= agoTime)
      return fresh.take(header);
  }
  return nullptr;
}

int OB_ArchiveReader::waitOnNoFiles() {
  if (file != nullptr || currentHeader != nullptr) OB_Log::quit("waitOnNoFiles: BUG!");
  if (windowType != kRealTimeWindow) {
    OB_Log::debug("waitOnNoFiles: NO FILES FOR STATIC ANALYSIS\n");
    done = 1;
    return -1;
  }
  OB_Log::debug("waitOnNoFiles: TRYING TO FIND NEW FILE (%s)\n", prefix);
  // Nothing is held while waiting; the owner's signal ends the wait early.
  event.wait(nullptr, kNoFilesWait * 1000);
  lockFile.lock();
  OB_ArchiveHeader* found = findNextFile();
  if (found == nullptr) {
    lockFile.unlock();
    return -1;
  }
  OB_Log::debug("waitOnNoFiles: NEW FILE IS %s\n", found->getName());
  if (fileList == nullptr) fileList = new OB_ArchiveFileList();
  if (fileList == nullptr) OB_Log::quit("waitOnNoFiles: no memory");
  fileList->clear();
  if (fileList->append(found, found->getName()) != 0) {
    found->release();
    lockFile.unlock();
    return -1;
  }
  currentHeader = found;
  file = found->open();
  streamHolds();
  lockFile.unlock();
  if (file == nullptr) {
    // Deleted between listing and opening: the next read moves past it.
    perror("waitOnNoFiles");
    OB_Log::ret("waitOnNoFiles: (2) couldn't open %s", found->getName());
    return -1;
  }
  lastPosition = 0;
  attemptStart = -1;
  oldData = isFinished(found);
  return 0;
}
