#include "config/OB_ConfigReport.h"

#include "OB_SocketIO.h"
#include "config/OB_ConfigRecordIO.h"

int OB_ConfigReport::copy(OB_Object* target) {
  OB_ConfigReport* other = obQuery<OB_ConfigReport>(target);
  if (other == nullptr) return -1;
  if (other == this) return 0;
  other->Type = Type;
  other->Title = Title;
  other->Contains = Contains;
  other->MaxEntries = MaxEntries;
  return 0;
}

int OB_ConfigReport::write(FILE* stream) {
  fprintf(stream, "{\n");
  fprintf(stream, "\tType{%d}\n", Type);
  fprintf(stream, "\tTitle{%s}\n", static_cast<const char*>(Title));
  fprintf(stream, "\tContains{%s}\n", static_cast<const char*>(Contains));
  fprintf(stream, "\tMaxEntries{%d}\n", MaxEntries);
  fprintf(stream, "}\n");
  return ferror(stream) != 0 ? -1 : 0;
}

int OB_ConfigReport::read(FILE* stream) {
  bool ended = false;
  if (OB_ConfigRecordIO::skipLines(stream, 1) != 0) return -1;
  Type = static_cast<uint16_t>(OB_ConfigRecordIO::toInt(OB_ConfigRecordIO::readValue(stream)));
  Title = OB_ConfigRecordIO::readValue(stream).c_str();
  Contains = OB_ConfigRecordIO::readValue(stream).c_str();
  MaxEntries =
      static_cast<uint16_t>(OB_ConfigRecordIO::toInt(OB_ConfigRecordIO::readValue(stream, &ended)));
  if (ended) return -1;
  return OB_ConfigRecordIO::skipLines(stream, 1);
}

int OB_ConfigReport::writeJ(int socket) {
  if (writeJ_UInt16(socket, Type) != 0) return -1;
  if (Title.writeJ(socket) != 0) return -1;
  if (Contains.writeJ(socket) != 0) return -1;
  return writeJ_UInt16(socket, MaxEntries) != 0 ? -1 : 0;
}

int OB_ConfigReport::readJ(int socket) {
  if (readJ_UInt16(socket, &Type) != 0) return -1;
  // A failed line read is a failure too: the record cannot be trusted past it.
  if (Title.readJ(socket) != 0) return -1;
  if (Contains.readJ(socket) != 0) return -1;
  return readJ_UInt16(socket, &MaxEntries) != 0 ? -1 : 0;
}
