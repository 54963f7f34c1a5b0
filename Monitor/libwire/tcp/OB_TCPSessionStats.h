// The process-wide counts of what happens to TCP segments and sessions: raised by the stream
// builder and the TCP sessions on the capture thread, by the stream builder's thread and by the
// consumers; read by the capture engine's command server and printed as a report. The counts
// need no ordering with anything else, only freedom from data races. A counter of the process's
// block is its atomic (a base) plus what each thread has counted in a block of its own
// (OB_ThreadCounters), so that the packet road counts without a locked instruction and the two
// threads never write one cache line; value adds them up. Another block (a viewer's copy of the
// figures) keeps its counts in its atomics alone.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>

#include "OB_ThreadCounters.h"

class OB_TCPSessionStats {
 public:
  using Counter = std::atomic<uint32_t>;

  OB_TCPSessionStats() = default;
  OB_TCPSessionStats(const OB_TCPSessionStats&) = delete;
  OB_TCPSessionStats& operator=(const OB_TCPSessionStats&) = delete;
  virtual ~OB_TCPSessionStats() = default;

  // Writes the report (tcpSessionStats_print). 0.
  virtual int print(FILE* stream);

  // Every counter below, one after the other: the 31 of the session record, then the seven
  // parse-stop counters and the six gap-loss counters.
  static constexpr int kCounters = 44;

  static void count(Counter& counter, uint32_t n = 1) {
    if (const int index = processIndex(counter); index >= 0) {
      processAdded_.add(index, n);
    } else {
      counter.fetch_add(n, std::memory_order_relaxed);
    }
  }
  static void uncount(Counter& counter, uint32_t n = 1) { count(counter, 0u - n); }
  static uint32_t value(const Counter& counter) {
    const uint32_t base = counter.load(std::memory_order_relaxed);
    const int index = processIndex(counter);
    return index >= 0 ? base + processAdded_.sum(index) : base;
  }
  // Makes a counter of any block read 0.
  static void clear(Counter& counter) {
    const int index = processIndex(counter);
    counter.store(index >= 0 ? 0u - processAdded_.sum(index) : 0u, std::memory_order_relaxed);
  }

  // The 31 counters, in their report order of definition. Those the report calls "kept at 0"
  // are carried for the report; nothing in the session code raises them.
  Counter segmentsReceived{0};    // "received for TCP stream building" (stream builder)
  Counter bytesReceived{0};
  Counter segmentsUsed{0};        // "used in TCP stream building"
  Counter bytesUsed{0};
  Counter segmentsExtraneous{0};  // "rejected for TCP stream (extraneous)"
  Counter bytesExtraneous{0};
  Counter segmentsClosed{0};      // "rejected for TCP stream (closed)"
  Counter bytesClosed{0};
  Counter segmentsNoMemory{0};    // "rejected for TCP stream (no memory)"
  Counter bytesNoMemory{0};
  Counter bytesCompleted{0};      // "used in completed streams built"
  Counter connectionsStarted{0};  // "started"
  Counter connectionsBuilt{0};    // "built successfully"
  Counter timedOutRejected{0};
  Counter timedOutUnacked{0};
  Counter timedOutComplete{0};
  Counter timedOutOddSequence{0};  // kept at 0
  Counter timedOutNoSyn{0};
  Counter timedOutGaps{0};  // connections whose streams miss bytes, however they ended
  Counter httpStarted{0};         // the consumers raise their three together
  Counter httpParsed{0};
  Counter httpFinished{0};
  Counter ftpStarted{0};
  Counter ftpParsed{0};
  Counter ftpFinished{0};
  Counter payloadBytes{0};        // "total bytes transferred (no headers)"
  Counter effectiveBytes{0};      // "effective bytes transferred"
  Counter sessionsRetrieved{0};   // "retrieved from memory manager" (stream builder)
  Counter sessionsReturned{0};    // "returned to memory manager" (stream builder)
  Counter segmentsFromPool{0};    // kept at 0
  Counter segmentsToPool{0};      // kept at 0
  // Connections whose parse stopped before their data ended, one counter a reason (the HTTP
  // and FTP analysers' ParseStop; one reason a connection). Not among the 31 above.
  Counter httpStopMessageLine{0};
  Counter httpStopChunk{0};
  Counter httpStopCutShort{0};
  Counter httpStopFull{0};
  Counter ftpStopGreeting{0};
  Counter ftpStopCutShort{0};
  Counter ftpStopFull{0};
  // Connections in which bytes never captured left requests without a known response, one
  // counter a reason (the analysers' GapLoss; one reason a connection), and the requests
  // (commands) so left.
  Counter httpGapHead{0};
  Counter httpGapChunkLine{0};
  Counter httpGapUnknownLength{0};
  Counter httpGapXacts{0};
  Counter ftpGap{0};
  Counter ftpGapXacts{0};

  // Driver clock (seconds) when the counters were last cleared: the base of the initiation rate.
  std::atomic<uint64_t> since{0};

 private:
  friend OB_TCPSessionStats* getTCPSessionStats();

  // The counter's place in the process's block, or -1 for a counter of another block.
  static int processIndex(const Counter& counter) {
    const auto at = reinterpret_cast<uintptr_t>(&counter);
    const auto first = reinterpret_cast<uintptr_t>(&processBlock_.segmentsReceived);
    if (at < first || at >= first + kCounters * sizeof(Counter)) return -1;
    return static_cast<int>((at - first) / sizeof(Counter));
  }

  static OB_TCPSessionStats processBlock_;
  static OB_ThreadCounters processAdded_;
};

// The one process-wide block.
OB_TCPSessionStats* getTCPSessionStats();
// Clears every counter and restarts the rate's time base at the driver clock's now. 0.
int tcpSessionStats_init();
// The report: every counter with its label, then connection and transfer rates.
void tcpSessionStats_print(FILE* stream);
