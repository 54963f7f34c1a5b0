// Synthetic HTTP traffic for the analysis benchmark: connections of a few keep-alive requests
// from thousands of clients to two servers, with a long tail of URIs (a few very popular, most
// rare), a handful of MIME types, referers, agents and error statuses, spread over one day.
// Deterministic for a given seed, so two runs count the same transactions.
#pragma once

#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "http/OB_HTTPProtocol.h"
#include "http/OB_HTTPXact.h"

namespace bench {

struct TrafficShape {
  uint64_t transactions = 1000000;
  uint32_t clients = 5000;
  uint32_t uris = 20000;
  uint32_t start = 0;     // seconds since 1970 of the first connection
  uint32_t span = 86400;  // seconds the connections spread over
  uint32_t seed = 22;
};

// The two servers the traffic goes to (host order, port 80).
constexpr uint32_t kServerA = 0x0A000050;  // 10.0.0.80
constexpr uint32_t kServerB = 0x0A000051;  // 10.0.0.81

class SyntheticTraffic {
 public:
  explicit SyntheticTraffic(const TrafficShape& shape);

  // Fills protocol (reset by the caller) with the next connection; false when every transaction
  // has been made. The connections come in time order.
  bool next(OB_HTTPProtocol* protocol);
  uint64_t made() const { return made_; }

  // One common-log line of a transaction of protocol.
  static void writeCommonLog(FILE* out, OB_HTTPProtocol* protocol, OB_HTTPXact* xact);

 private:
  uint32_t pickUri();

  TrafficShape shape_;
  std::mt19937_64 random_;
  std::vector<std::string> uris_;
  std::vector<double> cumulative_;  // Zipf weights of the URIs, summed
  uint64_t made_ = 0;
};

}  // namespace bench
