// One report definition of the analysis configuration: its kind, title, the text its entries
// must contain and how many entries it shows. The engine only stores and exchanges definitions;
// users hold a list of them and HTTP server definitions hold named lists (OB_ConfigReportList).
#pragma once

#include <cstdint>
#include <cstdio>

#include "OB_Object.h"
#include "OB_String.h"

class OB_ConfigReport : public virtual OB_Object {
  OB_CLASS_IDENTITY(OB_ConfigReport, 0x2BE2BF85, "OB_ConfigReport", OB_Object)
  OB_CLASS_CREATE(OB_ConfigReport)

 public:
  OB_ConfigReport() = default;
  OB_ConfigReport(const OB_ConfigReport&) = delete;
  OB_ConfigReport& operator=(const OB_ConfigReport&) = delete;
  ~OB_ConfigReport() override = default;

  // Copies every field into target; -1 when target is no report definition.
  int copy(OB_Object* target) override;
  // Six lines: "{", "\tType{%d}", "\tTitle{%s}", "\tContains{%s}", "\tMaxEntries{%d}", "}".
  // -1 when the stream reports a write error.
  int write(FILE* stream) override;
  // Reads those six lines, keys not compared. -1 when the file ends before the last one.
  int read(FILE* stream) override;
  // UInt16 Type, Title line, Contains line, UInt16 MaxEntries. The first failure's -1, else 0.
  int writeJ(int socket) override;
  int readJ(int socket) override;

  uint16_t Type = 0;
  OB_String Title;     // holds no brace or line end, or its file form cannot carry it
  OB_String Contains;
  uint16_t MaxEntries = 0;
};
