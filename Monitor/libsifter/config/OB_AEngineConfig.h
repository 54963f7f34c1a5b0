// The analysis engine's configuration: database directory, command-server port, the time
// windows, network groups, transaction subsets, HTTP and FTP server definitions and console
// users, read from and written to the "admin" files of the install directory. A record's index
// in its array is its position in the file; the console and the users' visibility flags name
// records by it. The analysis manager builds the default and the current configuration at each
// initialisation; afterwards every analysis thread reads them without a lock.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>

#include "OB_Config.h"
#include "OB_InstallHosts.h"
#include "OB_Object.h"
#include "config/OB_AEngineConfigRecords.h"

class OB_HTTPServer;
class OB_FTPServer;
class OB_User;
class OB_ConfigFileLock;

class OB_AEngineConfig : public OB_ConfigBase {
  OB_CLASS_IDENTITY(OB_AEngineConfig, 0x2BE2BFC4, "OB_AEngineConfig", OB_Object)
  OB_CLASS_CREATE(OB_AEngineConfig)

 public:
  // Hard limits of the file's sections (and of the console's SET_CONFIG).
  static constexpr int kMaxTimeWindows = 16;
  static constexpr int kMaxNetworkGroups = 512;
  static constexpr int kMaxXSubsets = 16;
  // Also the bound of the file's servers plus the installation additions: the users'
  // visibility lists have this many places.
  static constexpr int kMaxServers = 256;
  static constexpr int kMaxUsers = 256;
  static constexpr uint32_t kDefaultPort = 8190;
  // What one bin of one set of statistics (a server's transactions, or one subset of them; the
  // network's) takes at the least: the counters such a set keeps per bin from its start (about
  // 24 of 4 bytes for an HTTP server), with room for the first entries of its lists.
  // The windows' bins times the sets of statistics may take at most one share of the memory
  // budget (OB_Tools::memoryShare, as each kind of capture pool and the tracked names).
  static constexpr uint64_t kBytesPerBin = 128;

  // Resolves a host name to its first IPv4 address (host order): 0, or -1 when it has none.
  using HostLookup = OB_InstallHosts::Lookup;

  OB_AEngineConfig() = default;
  OB_AEngineConfig(const OB_AEngineConfig&) = delete;
  OB_AEngineConfig& operator=(const OB_AEngineConfig&) = delete;
  // Runs reset().
  ~OB_AEngineConfig() override;

  // Reads the defaults file "aengine_prvtDef.cfg", opened under cfg.lock. A missing or malformed
  // file ends the process.
  // 0.
  virtual int readConfig();
  // Rewrites "aengine_prvt.cfg" from this object, readable by its owner only, through
  // OB_ConfigFile (cfg.lock, a temporary file of its own that then replaces it). 0, or -1
  // (logged) when it could not be written whole (a read-only or full disk); the old file then
  // stays.
  virtual int writeConfigFile();
  // Keeps the window (not owned) and the port; 0.
  virtual int setStatEngineParams(timeWindow_t* window, uint32_t port);

  // Reads a whole configuration as the console sends it with SET_CONFIG into this (empty)
  // object: version, port, then the windows, groups, subsets, HTTP and FTP servers and users,
  // each list after its count. 0 when all of it arrived and can be used: 1 to 16 windows that
  // the engine can count with, every count within its limit, every record whole (at most 5 nets
  // a group or subset, server types 0 and 1, addresses that convert), every text one the file
  // keeps as it is (no NUL; no brace or line end in a value between braces, no line end in a
  // line of its own, no blank in an alternate name; client ranges low to high), no address and
  // port watched by two HTTP (or two FTP) servers, a root user with console access and a
  // password, and statistics that fit the machine (statsMemory within
  // OB_Tools::memoryShare()). Otherwise -1 (the reason logged under
  // "hcommand_SET_CONFIG"); the object then holds what was read so far.
  int readJ(int socket) override;

  // What the statistics of this configuration take at the least, in bytes: every window's bins
  // (a month's at most 31) times the sets of statistics, (HTTP servers + FTP servers + the
  // network's) * (transaction subsets + the set of all), times kBytesPerBin.
  uint64_t statsMemory() const;

  // Frees every record, server and user and the arrays; counts and pointers cleared. 0.
  int reset() override;
  // The readable dump (null: the log's stream); 0.
  int print(FILE* stream) override;

  // Replaces the forward look-up used for the installation additions (tests); null restores the
  // system's. Returns the previous function.
  static HostLookup setHostLookup(HostLookup lookup);

  uint32_t portRangeStart = 0;            // the main analysis command server's port
  timeWindow_t* timeWindowPtr = nullptr;  // not owned
  uint16_t numOfTimeWindows = 0;
  timeWindow_t** timeWindows = nullptr;  // owned, numOfTimeWindows places
  uint16_t numOfNetworkGroups = 0;
  networkGroup_t** networkGroups = nullptr;  // owned
  uint16_t numOfXSubSets = 0;
  XSubset_t** xSubSets = nullptr;  // owned
  uint16_t numOfHTTPServers = 0;
  OB_HTTPServer** httpServers = nullptr;  // owned
  uint16_t numOfFTPServers = 0;
  OB_FTPServer** ftpServers = nullptr;  // owned
  uint16_t numOfUsers = 0;
  OB_User** users = nullptr;  // owned

 protected:
  // Why a configuration that arrived whole cannot be acknowledged (see readJ); null when it can.
  const char* receivedProblem();
  // Why two HTTP (or two FTP) server definitions cover one address and port, null when none do.
  const char* twiceWatched();
  // 0 time windows ends the process; more than 16 are logged as a warning. 0.
  virtual int check();
  // Parses a configuration file (the defaults file's name in messages) into this (empty) object
  // and closes the stream; readConfigFile(stream, kDefaultsFile, null). 0.
  virtual int readConfigFile(FILE* stream);
  // Parses the configuration file name into this (empty) object and closes the stream, holding
  // "<install>/admin/cfg.lock" throughout. A time window the engine cannot count with
  // (timeWindow_problem) is logged with the file and its line and left out. With problem null, a
  // malformed value or a count above its limit ends the process. Otherwise the file must be
  // whole (no malformed value, not cut short, a time window it can count with): -1 with *problem
  // saying why, and nothing more is done. A configuration that takes the installation
  // additions (see applyAdditions) then applies them when it is read through readUnderLock. 0.
  int readConfigFile(FILE* stream, const char* name, std::string* problem);
  // Runs read, which opens and reads this (empty) configuration's files, under cfg.lock (lock
  // says whether it could be had). A configuration that takes the installation additions has
  // their hosts looked up before, with the lock free (OB_InstallHosts): a resolver that does not
  // answer must not hold the console's writers up. When installa.cfg names a host by then that
  // was not looked up, what read did is undone (reset) and it runs again in another round; in
  // the last one such additions are left for the next start (logged). The calling thread must
  // not hold cfg.lock.
  void readUnderLock(const std::function<void(const OB_ConfigFileLock& lock)>& read);
  // Applies the one-time installation additions of path ("installa.cfg": "http: host[:port]",
  // "ftp: host", "password: text") to this configuration: servers follow its own (which stay),
  // the first user gets the password and sees the added servers. A configuration changed so is
  // rewritten, and path deleted once it is; with no such entries nothing changes. A line that
  // cannot be applied (an unknown key, a bad port, a host without an address) is logged with
  // why and appended to "<path>.rejected" (owner only), the good lines applied all the same.
  // A server watched already (its address and port, FTP: its address) is logged and not added
  // again. The hosts' addresses are those readUnderLock looked up; additions that name one it
  // did not change nothing.
  void applyAdditions(const std::string& path);
  // The index of the first HTTP server that watches address (host order) on port, else -1.
  int watchedHTTPServer(uint32_t address, uint16_t port);
  // The index of the first FTP server that watches address (host order), else -1.
  int watchedFTPServer(uint32_t address);

  // Whether readConfigFile applies the installation additions: only the configuration in use,
  // whose file they are meant to change; the defaults never take them.
  bool takesAdditions_ = false;
  // The round of readUnderLock under way, null outside it.
  struct AdditionsRound {
    const OB_InstallHosts* hosts;  // not owned
    bool last = false;
    bool unresolved = false;  // set by applyAdditions: a host not looked up, nothing applied
  };
  AdditionsRound* round_ = nullptr;

 private:
  std::string problem_;  // the text receivedProblem makes for a configuration it refuses
};

// The configurations in use; plain pointers, set while no analysis thread runs. Not owned here.
OB_AEngineConfig* getCurrentConfig();
int setCurrentConfig(OB_AEngineConfig* config);
OB_AEngineConfig* getDefaultConfig();
int setDefaultConfig(OB_AEngineConfig* config);
