// The archive files of one kind in a directory, read once at construction and ordered by start
// time, oldest first. The writer cleans with it (old files deleted, unclosed ones repaired), the
// reader picks its files from it, and the console's database list is sent from it. Each entry is
// named with the file's path; the list owns its headers.
#pragma once

#include <cstdint>

#include "OB_Mutex.h"
#include "OB_NamedList.h"
#include "OB_Object.h"
#include "archive/OB_ArchiveHeader.h"

class OB_ArchiveFileList : public OB_NamedList<OB_ArchiveHeader>,
                           public virtual OB_Mutex,
                           public virtual OB_Object {
 public:
  // An empty list.
  OB_ArchiveFileList();
  // Every regular file "<directory>/<prefix>-*" whose header reads; a file that cannot be
  // opened is logged and passed over, and so is one whose header does not read, with what was
  // wrong (once per file, and not while a writer holds it). Files with equal start times stay
  // in name order.
  OB_ArchiveFileList(const char* directory, const char* prefix);
  OB_ArchiveFileList(const OB_ArchiveFileList&) = delete;
  OB_ArchiveFileList& operator=(const OB_ArchiveFileList&) = delete;

  // The number of entries (16 bits), then each header's entry in list order. 0, or -1 (logged)
  // at the first failed write.
  int writeJ(int socket) override;

  // From the first entry on: with days above 0, deletes every file that started more than days
  // x 86400 seconds before now (and its entry); repairs each file left without a stop time,
  // giving it the next entry's start time less one second, or now for the last (a repair that
  // cannot be written is logged). The headers in the list keep their old stop times. 0, or -1
  // when a file to repair cannot be opened.
  virtual int clean(uint32_t days);

  // Takes the header out of the list without deleting it; the caller owns it then. Null when it
  // is not in the list.
  OB_ArchiveHeader* take(OB_ArchiveHeader* header);
  // The header of the entry after the given one, or null (also when it is not in the list).
  OB_ArchiveHeader* entryAfter(OB_ArchiveHeader* header);

 protected:
  // Inserts before the first entry that starts strictly later, else at the end.
  void insertByStart(OB_ArchiveHeader* header);
};
