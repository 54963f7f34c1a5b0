// Static utilities that every deliverable shares, and the install directory under which every
// configuration, log and data file lies.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

class OB_Tools {
 public:
  OB_Tools() = delete;

  // OB_INSTALLDIR, else "<program's folder>/../conf". Ends the process when that is not an
  // existing directory. Every call refills and returns the same buffer.
  static char* getInstallDir();
  // Local time now as "%Y%b%d-%H:%M" with the English month abbreviation; dest holds 60 bytes.
  static char* getTimeString1(char* dest);
};
