#include "ftp/OB_FTPftranLink.h"

#include <algorithm>
#include <cstring>

#include "OB_Log.h"
#include "OB_Tools.h"
#include "coding/OB_ArchiveIO.h"

OB_FTPftranLink::OB_FTPftranLink(const char* userName, uint32_t from, uint32_t to,
                                 const char* path, const char* name, int32_t done)
    : source(from), destination(to), completed(done) {
  user.assign(userName, userName != nullptr ? std::min(strlen(userName), kMaxUser) : 0);
  directory.assign(path);
  file.assign(name);
  setItem(this);
}

OB_FTPftranLink::~OB_FTPftranLink() {
  OB_Link<OB_FTPftranLink>* link = getNext();
  setNext(nullptr);
  while (link != nullptr) {
    OB_Link<OB_FTPftranLink>* following = link->getNext();
    link->unlink();  // so its own destructor finds nothing after it
    link->release();
    link = following;
  }
}

int OB_FTPftranLink::print(FILE* stream) {
  char from[16];
  char to[16];
  OB_Tools::IPAddressString(source, from);
  OB_Tools::IPAddressString(destination, to);
  OB_Log::flog(stream, "OB_FTPftranLink:\n");
  OB_Log::flog(stream, "%s  %s -> %s  %s%s (%d)\n      ", user.c_str(), from, to,
               directory.c_str(), file.c_str(), completed);
  OB_Log::flog(stream, "\n");
  return 0;
}

int OB_FTPftranLink::writeRecord(FILE* stream) {
  if (user.write(stream) != 0) return -1;
  if (OB_ArchiveIO::writeU32(stream, source) != 0) return -1;
  if (OB_ArchiveIO::writeU32(stream, destination) != 0) return -1;
  if (directory.write(stream) != 0) return -1;
  if (file.write(stream) != 0) return -1;
  if (OB_ArchiveIO::writeI32(stream, completed) != 0) return -1;
  return 0;
}

int OB_FTPftranLink::write(FILE* stream) {
  for (OB_FTPftranLink* link = this; link != nullptr; link = link->nextItem()) {
    if (link->writeRecord(stream) != 0) return -1;
  }
  return 0;
}

int OB_FTPftranLink::read(FILE* stream) {
  if (user.read(stream) != 0) return -1;
  if (OB_ArchiveIO::readU32(stream, &source) != 0) return -1;
  if (OB_ArchiveIO::readU32(stream, &destination) != 0) return -1;
  if (directory.read(stream) != 0) return -1;
  if (file.read(stream) != 0) return -1;
  if (OB_ArchiveIO::readI32(stream, &completed) != 0) return -1;
  return 0;
}
