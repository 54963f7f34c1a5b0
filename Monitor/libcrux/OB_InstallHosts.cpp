#include "OB_InstallHosts.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstring>

#include "OB_ConfigFile.h"

int OB_InstallHosts::systemLookup(const char* host, uint32_t* address) {
  struct addrinfo hints;
  memset(&hints, 0, sizeof hints);
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  struct addrinfo* found = nullptr;
  if (getaddrinfo(host, nullptr, &hints, &found) != 0 || found == nullptr) return -1;
  bool ok = false;
  for (struct addrinfo* entry = found; entry != nullptr; entry = entry->ai_next) {
    if (entry->ai_family != AF_INET || entry->ai_addrlen < sizeof(struct sockaddr_in)) continue;
    *address = ntohl(reinterpret_cast<struct sockaddr_in*>(entry->ai_addr)->sin_addr.s_addr);
    ok = true;
    break;
  }
  freeaddrinfo(found);
  return ok ? 0 : -1;
}

bool OB_InstallHosts::run(
    const std::function<bool(std::vector<std::string>*)>& named,
    const std::function<bool(const OB_ConfigFileLock& lock, bool last)>& merge) {
  for (int round = 0; round < kRounds; ++round) {
    std::vector<std::string> hosts;
    if (!named(&hosts)) return true;
    for (const std::string& host : hosts) {
      if (addresses_.count(host) != 0) continue;
      uint32_t address = 0;
      // An empty host is none: the resolver is not asked about it.
      if (!host.empty() && lookup_(host.c_str(), &address) == 0)
        addresses_[host] = address;
      else
        addresses_[host] = std::nullopt;
    }
    OB_ConfigFileLock lock;
    if (merge(lock, round == kRounds - 1)) return true;
  }
  return false;
}

bool OB_InstallHosts::knowsAll(const std::vector<std::string>& hosts) const {
  for (const std::string& host : hosts)
    if (addresses_.count(host) == 0) return false;
  return true;
}

bool OB_InstallHosts::addressOf(const std::string& host, uint32_t* address) const {
  const auto found = addresses_.find(host);
  if (found == addresses_.end() || !found->second.has_value()) return false;
  *address = *found->second;
  return true;
}
