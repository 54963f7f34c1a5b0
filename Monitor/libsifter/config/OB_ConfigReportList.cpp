#include "config/OB_ConfigReportList.h"

#include "OB_Log.h"
#include "OB_SocketIO.h"
#include "config/OB_ConfigRecordIO.h"

OB_ConfigReportList::OB_ConfigReportList() { reports.setOwner(1); }

int OB_ConfigReportList::copy(OB_Object* target) {
  OB_ConfigReportList* other = obQuery<OB_ConfigReportList>(target);
  if (other == nullptr) return -1;
  if (other == this) return 0;
  other->name = name;
  other->reports.clear();
  OB_MutexHold hold(&reports);
  for (OB_ConfigReport* report = reports.first(); report != nullptr; report = reports.next()) {
    OB_ConfigReport* fresh = OB_ConfigReport::create();
    if (fresh == nullptr) OB_Log::quit("OB_ConfigReportList::copy: not enough memory\n");
    report->copy(fresh);
    if (other->reports.append(fresh) != 0) {
      fresh->release();
      return -1;
    }
  }
  return 0;
}

int OB_ConfigReportList::write(FILE* stream) {
  OB_MutexHold hold(&reports);
  fprintf(stream, "reportName{%s}\n", static_cast<const char*>(name));
  fprintf(stream, "numOfReports{%d}\n", reports.getCount());
  for (OB_ConfigReport* report = reports.first(); report != nullptr; report = reports.next())
    if (report->write(stream) != 0) return -1;
  return ferror(stream) != 0 ? -1 : 0;
}

int OB_ConfigReportList::read(FILE* stream) {
  reports.clear();
  bool ended = false;
  // Read whole, so an overlong name can never be taken for the count line.
  name = OB_ConfigRecordIO::readValue(stream, &ended).c_str();
  if (ended) return -1;
  int count = OB_ConfigRecordIO::toInt(OB_ConfigRecordIO::readValue(stream, &ended));
  if (ended) return -1;
  if (count > kMaxReports) {
    OB_Log::ret("OB_ConfigReportList::read: too many reports: %d", count);
    return -1;
  }
  for (int i = 0; i < count; ++i) {
    OB_ConfigReport* report = OB_ConfigReport::create();
    if (report == nullptr) OB_Log::quit("OB_ConfigReportList::read: not enough memory\n");
    if (report->read(stream) != 0 || reports.append(report) != 0) {
      report->release();
      return -1;
    }
  }
  return 0;
}

int OB_ConfigReportList::writeJ(int socket) {
  OB_MutexHold hold(&reports);
  int count = reports.getCount();
  if (count > kMaxReports) return -1;
  if (name.writeJ(socket) != 0) return -1;
  if (writeJ_UInt16(socket, static_cast<uint16_t>(count)) != 0) return -1;
  for (OB_ConfigReport* report = reports.first(); report != nullptr; report = reports.next())
    if (report->writeJ(socket) != 0) return -1;
  return 0;
}

const char* OB_ConfigReportList::storageProblem() {
  using IO = OB_ConfigRecordIO;
  if (!IO::keepsWhole(static_cast<const char*>(name), IO::Kept::kInBraces))
    return "a report list name holds a brace or a line end";
  OB_MutexHold hold(&reports);
  // The file keeps kMaxFileLine characters of a line, its key and braces among them.
  const unsigned int longest = IO::kMaxFileLine - 16;
  for (OB_ConfigReport* report = reports.first(); report != nullptr; report = reports.next()) {
    if (!IO::keepsWhole(static_cast<const char*>(report->Title), IO::Kept::kInBraces) ||
        !IO::keepsWhole(static_cast<const char*>(report->Contains), IO::Kept::kInBraces))
      return "a report's title or text holds a brace or a line end";
    if (report->Title.getLength() > longest || report->Contains.getLength() > longest ||
        name.getLength() > longest)
      return "a report's title or text is longer than the file keeps";
  }
  return nullptr;
}

int OB_ConfigReportList::readJ(int socket) {
  reports.clear();
  if (name.readJ(socket) != 0) return -1;
  uint16_t count = 0;
  if (readJ_UInt16(socket, &count) != 0) return -1;
  for (int i = 0; i < count; ++i) {
    OB_ConfigReport* report = OB_ConfigReport::create();
    if (report == nullptr) OB_Log::quit("OB_ConfigReportList::readJ: not enough memory\n");
    if (report->readJ(socket) != 0 || reports.append(report) != 0) {
      report->release();
      return -1;
    }
  }
  return 0;
}
