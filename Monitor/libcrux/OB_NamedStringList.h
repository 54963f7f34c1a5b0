// Text values under names, read from and written back to plain "name<sep>value" line files: the
// process option list (':' files) and the engines' small install files use it.
#pragma once

#include <cstdio>

#include "OB_NamedList.h"
#include "OB_Object.h"
#include "OB_String.h"

class OB_NamedStringList : public OB_NamedList<OB_String>,
                           public virtual OB_Mutex,
                           public virtual OB_Object {
  // Answers as a list, then as an object; nothing else.
  OB_CLASS_IDENTITY(OB_NamedStringList, 0x2BE2BF9D, "OB_List", OB_Object)
  OB_CLASS_CREATE(OB_NamedStringList)

 public:
  // Not owning: value strings stay alive when their entries are removed or the list goes, as
  // callers that keep a value they found expect. setOwner(1) makes the list release them.
  OB_NamedStringList() = default;

  // Appends one entry per line of the file that holds the separator. A line is read whole, of
  // any length; one "\r" before its end is dropped (files written on Windows). From the first '#'
  // on a line is a comment. Every character of squeezeChars (null: none) is dropped from the
  // name; leading blanks of the value are dropped, trailing ones kept. The values are new
  // strings the list holds (see the constructor). 0, or -1 when the file cannot be opened.
  virtual int readFile(const char* file, char separator, const char* squeezeChars);
  // Replaces the file with one "name<sep>value\n" line per entry, in list order, however long.
  // 0, or -1 (logged) when it cannot be opened or a write fails. Holds the list's lock.
  virtual int writeFile(const char* file, char separator);

  // Prints nothing: the entries' links print nothing. 0.
  int print(FILE* stream) override;
  // "Count{n}\n", then each value's bare text, under the lock. -1 when a write falls short.
  int write(FILE* stream) override;
  // The count as an unsigned 16-bit field, then each value as a line; names are not sent. A list
  // past 65535 entries sends its first 65535, so count and lines agree. -1 on a send failure.
  int writeJ(int socket) override;
};
