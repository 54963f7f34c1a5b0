// The addresses of the hosts an installation request names (the capture engine's installc.cfg,
// the analysis engine's installa.cfg), looked up while cfg.lock is free: a resolver that does
// not answer would otherwise hold every configuration writer and reader up for its time-out.
// The request is read without the lock and its hosts looked up; it is then read again and
// merged under the lock. A host it names by then that was not looked up (the request was
// rewritten meanwhile) is looked up in another round, the lock let go first.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

class OB_ConfigFileLock;

class OB_InstallHosts {
 public:
  // A forward look-up: 0 with *address (host order) set, or -1 when the host has no address.
  using Lookup = int (*)(const char* host, uint32_t* address);
  // The rounds a request that keeps changing under its look-ups gets.
  static constexpr int kRounds = 4;

  // The system's look-up: the first IPv4 address of a host name or dotted quad.
  static int systemLookup(const char* host, uint32_t* address);

  explicit OB_InstallHosts(Lookup lookup) : lookup_(lookup) {}

  // Runs the rounds, on the calling thread, which must not hold cfg.lock already. named, with
  // the lock free, puts the hosts the request names into its vector, each of them then looked up
  // once; false when there is no request to merge, and nothing more is done. merge then runs
  // under cfg.lock (lock says whether it could be had), reads the request again and returns
  // true when it is done; false when the request names a host not looked up (knowsAll), having
  // changed nothing, so that another round runs. last is set in the last round, where merge is
  // to leave such a request for later. Returns true when named or merge said it was done, false
  // when the rounds ran out.
  bool run(const std::function<bool(std::vector<std::string>*)>& named,
           const std::function<bool(const OB_ConfigFileLock& lock, bool last)>& merge);

  // Whether every one of hosts was looked up.
  bool knowsAll(const std::vector<std::string>& hosts) const;
  // Whether host was looked up and has an address; *address (host order) is set then.
  bool addressOf(const std::string& host, uint32_t* address) const;

 private:
  Lookup lookup_;  // not owned
  std::map<std::string, std::optional<uint32_t>> addresses_;
};
