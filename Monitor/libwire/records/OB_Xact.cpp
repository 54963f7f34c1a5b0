#include "records/OB_Xact.h"

#include "coding/OB_ArchiveIO.h"

int OB_Xact::writeList(FILE* stream) {
  for (OB_Xact* xact = this; xact != nullptr; xact = xact->nextItem()) {
    if (xact->write(stream) != 0) return -1;
  }
  return 0;
}

int OB_Xact::readList(FILE* stream) {
  for (OB_Xact* xact = this; xact != nullptr; xact = xact->nextItem()) {
    if (xact->read(stream) != 0) return -1;
  }
  return 0;
}

int OB_Xact::readBytes(OB_ArchiveBytes& /*bytes*/) { return OB_ArchiveBytes::kNoRoad; }
