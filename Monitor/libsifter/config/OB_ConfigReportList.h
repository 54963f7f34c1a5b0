// A named list of report definitions, as an HTTP server definition carries them. Owns its
// definitions.
#pragma once

#include <cstdint>
#include <cstdio>

#include "OB_List.h"
#include "OB_Object.h"
#include "OB_String.h"
#include "config/OB_ConfigReport.h"

class OB_ConfigReportList : public virtual OB_Object {
  OB_CLASS_IDENTITY(OB_ConfigReportList, 0x2BE2BF86, "OB_ConfigReportList", OB_Object)
  OB_CLASS_CREATE(OB_ConfigReportList)

 public:
  // Definitions that can travel in the wire form's 16-bit count.
  static constexpr int kMaxReports = UINT16_MAX;

  // Empty name, empty owning list.
  OB_ConfigReportList();
  OB_ConfigReportList(const OB_ConfigReportList&) = delete;
  OB_ConfigReportList& operator=(const OB_ConfigReportList&) = delete;
  ~OB_ConfigReportList() override = default;

  // Makes target a copy: its name, and a fresh copy of each definition in place of its own.
  // -1 when target is no report list.
  int copy(OB_Object* target) override;
  // "reportName{%s}", "numOfReports{%d}", then each definition's text. -1 on a write error.
  int write(FILE* stream) override;
  // Replaces the definitions with the file's. A count below 1 ends the record after the count
  // line. -1 when the file ends inside the record, or a count above kMaxReports.
  int read(FILE* stream) override;
  // Name line, UInt16 count, each definition's wire form. -1 at the first failure, and when
  // there are more definitions than the count can say.
  int writeJ(int socket) override;
  // Replaces the definitions with the received ones; -1 at the first failure.
  int readJ(int socket) override;
  // Why the list would not read back from the configuration file as it is (a text the
  // file cannot keep: see OB_ConfigRecordIO::Kept); null when it would. SET_CONFIG refuses what
  // has a reason.
  const char* storageProblem();

  OB_String name;
  OB_List<OB_ConfigReport> reports;  // owning, in file order
};
