// An engine's general configuration: database directory, capture device and port, capture
// filter, days of data kept, the MIME type table, the local address ranges and the root user with
// the client networks allowed to connect. It lives in the install directory's "admin" files named
// after the configuration ("<name>_prvt.cfg", "<name>_prvtDef.cfg", "<name>Install.cfg") and travels
// to and from the console in the socket encoding. The engine managers hold one defaults and one
// administered configuration; the command servers read them and check clients against them.
#pragma once

#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>

#include "OB_Object.h"

// The fields every engine configuration has; also the base of the analysis engine's own.
class OB_ConfigBase : public virtual OB_Object {
 public:
  char databaseDir[1024] = {};
  uint32_t connectionPort = 0;
  // 1 whenever the general file has been read.
  uint32_t configVersion = 0;
};

// One row of the MIME table: a type and the file extensions (lower case) that stand for it.
// Rows are 321 bytes, stored back to back.
struct OB_MimeType {
  static constexpr int kMaxExtensions = 16;
  char type[64];  // NUL-ended, at most 63 characters
  uint8_t numExtensions;
  char extensions[kMaxExtensions][16];  // each NUL-ended, at most 15 characters
};
static_assert(sizeof(OB_MimeType) == 321, "MIME rows are 321 bytes");

class OB_Config : public OB_ConfigBase {
 public:
  static constexpr int kMaxRanges = 64;
  static constexpr int kMaxNets = 5;

  OB_Config() = default;
  // The MIME table is owned: no copies.
  OB_Config(const OB_Config&) = delete;
  OB_Config& operator=(const OB_Config&) = delete;
  ~OB_Config() override;

  // Rewrites the private file "<name>_prvt.cfg" (extensions lower-cased on the way), readable by
  // its owner only, through OB_ConfigFile (cfg.lock, a temporary file of its own). 0, or -1
  // (logged) when the file could not be written whole (a read-only or full disk) or would not
  // give this configuration back (storageProblem); the old file then stays.
  virtual int save();
  // Why this configuration cannot be saved and acknowledged, null when it can: a filter with a
  // line end, a MIME type or extension that is empty or holds a blank, a root password that is
  // empty or holds a brace or a line end (OB_ConfigText, the check the analysis console makes).
  const char* storageProblem() const;
  // 1 when the file keeps the password as it is: no '{', '}', CR or LF in it.
  static int isStorablePassword(const char* text);
  // 1 when user is exactly "root" and the password equals the root password exactly; else 0,
  // always while the root password is empty. Compared in time that does not tell where the
  // texts differ.
  virtual int isValidPassword(const char* user, const char* password);
  // address in host order. 1 when clients are not restricted or the address lies in one of the
  // networks; 0 otherwise (also when restricted with no network defined).
  virtual int isValidSourceIP(uint32_t address);
  // address in host order. 1 when some local range holds it (bounds included), else 0. Takes the
  // configuration's lock, so it may run while the installation file is read again.
  virtual int isInIPRanges(uint32_t address);
  // Copies at most 127 characters; 0.
  virtual int setName(const char* name);

  // Releases the MIME table; 0.
  int reset() override;
  // The whole configuration in readable form through OB_Log::flog (null: the log); 0.
  int print(FILE* stream) override;
  // Sends the wire form; -1 as soon as one write fails, else 0.
  int writeJ(int socket) override;
  // Receives the wire form into this configuration (MIME table replaced, network values not
  // computed). -1 on any failed read, a text holding a NUL, a malformed address, more than 16
  // extensions in a row or more than 5 networks; the object then holds what was read so far.
  int readJ(int socket) override;

  // Opens "<install dir><folder>/<file>" with the mode. Never returns null: a missing folder or a
  // file that cannot be opened ends the process with a message naming the path.
  static FILE* openConfigFile(const char* folder, const char* file, const char* mode);

  const char* getName() const { return name_; }
  // The MIME table, in file order; null for an index outside 0 .. count - 1. Valid until the
  // next init, reset or readJ of this configuration.
  int getMimeTypeCount() const { return numMimeTypes_; }
  const OB_MimeType* getMimeType(int index) const;
  // Publishes the root user's networks (count of each, host order; not owned) at once, under
  // the configuration's lock: a command server checks client addresses against them on its
  // accept thread while a request that changes them is served on another.
  void setNetworks(int apply, uint16_t count, const uint32_t* examples, const uint32_t* masks);
  // The database folder and the capture device as last published by the installation file,
  // copied under the configuration's lock: a command server reads them on its own thread while
  // another thread reads the file again.
  std::string getDatabaseDir();
  std::string getDevice();
  // The local address ranges (host order), read under the configuration's lock.
  int getIPRangeCount();
  // 0 and the bounds of range index, or -1 when there is no such range.
  int getIPRange(int index, uint32_t* minimum, uint32_t* maximum);
  // example AND mask of network index (host order), computed when the general file is read; 0
  // outside 0 .. numOfNets - 1.
  uint32_t getNetwork(int index) const;

  char device[256] = {};
  int netStatsEnabled = 0;
  char filterProgram[512] = {};
  uint32_t daysOfDataToKeep = 0;
  char password[512] = {};
  int applyNetAddress = 0;
  uint16_t numOfNets = 0;
  uint32_t exampleAddress[kMaxNets] = {};  // host order
  uint32_t maskAddress[kMaxNets] = {};     // host order

  // One local address range, bounds included, host order.
  struct IPRange {
    uint32_t minimum;
    uint32_t maximum;
  };

  // A dotted quad in any form the C library's inet_addr takes, to host order; false when it does
  // not convert. All-ones is that converter's failure value, so it is taken only where
  // allowAllOnes says so (masks, range bounds).
  static bool parseAddress(const char* text, bool allowAllOnes, uint32_t* address);

 protected:
  // Reads the private/defaults file layout; a malformed value ends the process. 0.
  virtual int readGeneralConfigFile(FILE* stream);
  // The same, but the file must be whole: every line up to the root user's network lines
  // present, the number lines numbers, the root user's lines "<key>{...}", and no malformed
  // value. 0, or -1 with *problem saying what was wrong; the fields then hold what was read.
  int readGeneralConfigFile(FILE* stream, std::string* problem);
  // The root user's lines (password, applyNetAddress, numOfNets, networks, empty line); 0.
  virtual int writeUser(FILE* stream);

  // Replaces the MIME table (owned, may be null) and frees the old one.
  void setMimeTable(OB_MimeType* table, uint16_t count);
  // Publishes new ranges and install values together under the lock.
  void publishInstall(const IPRange* ranges, int count, const char* databaseDir,
                      const char* device, uint32_t port);

 private:
  // Guards the ranges, which the command server checks clients against while the engine's
  // thread reads the installation file again, and the other install values (databaseDir,
  // device, connectionPort): once the engine's threads run, they are read under it too.
  std::mutex lock_;
  uint16_t numRanges_ = 0;
  IPRange ranges_[kMaxRanges] = {};
  uint16_t numMimeTypes_ = 0;
  OB_MimeType* mimeTypes_ = nullptr;  // owned, malloc'd
  uint32_t network_[kMaxNets] = {};
  char name_[128] = {};
};
