// The capture engine's entry for captured frames. It binds one adapter through the capture
// driver and, on the driver's thread, points its one reusable packet at each frame, counts it,
// shows it to the all-packets processor (the network consumer), keeps it only when a watched
// server takes it, copies its TCP payload into a pooled buffer of the smallest size class that
// holds it, and hands it to its processors (the stream builder). Its own thread wakes every 60
// seconds to pack the pools and read the driver's drop counts; while frames are being dropped,
// or connections found with missing data, each pass says so in the log with the adapter's name,
// since the access log, the archives and the statistics then lack what was lost. Its statistics
// part is the process's capture statistics block. The capture engine manager builds one; tests
// and the benchmark wire it to a stream builder themselves.
//
// Locks: one OB_Mutex, shared by the processor list, the statistics block and the manager. The
// packet road takes no lock of its own: it counts with atomic counters, filters on the server
// list's lock-free snapshot and hands frames on over a snapshot of the processor list, which every
// change to the list publishes afresh. A processor removed is not called once remove returns
// (unless it removes itself, on the packet road's own thread).
//
// A live capture never waits for a free buffer or session: what finds its pool exhausted is
// counted as lost. A replay of a savefile must lose nothing, and waiting for a buffer would not
// do: sessions hold their buffers until they end, and the thread that could give them back may
// itself wait for the driver's. So a replay's pools (payloads here, sessions in the stream
// builder) grow past their caps; memory is the limit, and print reports how far they grew. What
// a replay does wait for is the stream builder's thread, once the finished sessions it has not
// taken hold kReplayHandOverBytes: that thread waits for nothing on the packet road, and without
// the wait a road sharing one core with it would run ahead and fill the memory.
//
// A frame longer than Ethernet allows (segment offload on the capturing host) carries a payload
// no pooled buffer holds: it goes on in pieces of at most kMaxPooledPayload bytes, each a segment
// of its own to the processors.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "OB_CaptureEngineStats.h"
#include "OB_List.h"
#include "OB_Object.h"
#include "OB_PooledPacketBuffer.h"
#include "OB_Thread.h"
#include "driver.h"
#include "pool/OB_MemoryPool.h"
#include "tcp/OB_Packet.h"

class OB_EngineMgr;

class OB_PacketManager : public virtual OB_List<OB_Processor>,
                         public virtual OB_Thread,
                         public virtual OB_CaptureEngineStats,
                         public virtual OB_Processor,
                         public virtual OB_Object {
  OB_CLASS_IDENTITY(OB_PacketManager, 0x2BE2BF97, "OB_PacketManager", OB_List<OB_Processor>,
                    OB_Thread, OB_CaptureEngineStats, OB_Processor)

 public:
  // The largest payload size class; a longer wholly captured payload goes on in pieces of it.
  static constexpr uint32_t kMaxPooledPayload = 1460;
  static constexpr int kStatisticsInterval = 60;  // seconds between statistics passes
  // The capture buffer when the option "PacketBufferSize" is missing or 0: the frames that wait
  // while the capture thread is held up. On a live veth at 40 to 200 Mbit/s of keep-alive HTTP,
  // 512,000 bytes overflowed (55 to 574 frames lost a run) and 2 MiB did not; 8 MiB keeps a
  // third of a second of a 200 Mbit/s segment, for a machine that stalls the thread longer.
  static constexpr int32_t kDefaultCaptureBuffer = 8 << 20;  // bytes
  // A replay's stream builder: payload bytes of finished sessions not yet taken by its thread
  // past which the road waits for it. Small: every page of buffers that a backlog makes the
  // pools touch costs more than the two thread switches that a hand-over costs on one core.
  static constexpr uint64_t kReplayHandOverBytes = 256 << 10;

  // Builds the seven pools from the options "PacketPools" (queues per pool, default 512) and
  // "PacketsPerPool" (buffers per queue, default 32), read by poolOption_count within the
  // machine's memory; they never make the caller wait. Publishes
  // the statistics part with setCaptureEngineStats. Does not touch the driver. manager: not
  // owned, may be null; its admin configuration's device names the adapter number.
  explicit OB_PacketManager(OB_EngineMgr* manager = nullptr);
  OB_PacketManager(const OB_PacketManager&) = delete;
  OB_PacketManager& operator=(const OB_PacketManager&) = delete;
  // Stops and frees the capture context, closes the adapter and undoes the driver library's
  // initialisation when this manager made them; then frees the pools. Every pooled buffer must
  // have been given back by then (stream builders go first).
  ~OB_PacketManager() override;

  // A manager without an engine manager, init'ed.
  static OB_PacketManager* create();

  // From now on init, start, stop, the statistics pass and the destructor leave the driver
  // alone (frames can still be given to processObject). 0.
  virtual int disablePacketDriver(int unused);
  // The frame entry, on the driver's thread: one frame at a time, no lock taken. frame is the
  // driver's (readable during the call), length the captured bytes, rawTimeStamp the driver's
  // clock (µs since 1970).
  virtual void acceptPacketProc(const unsigned char* frame, uint32_t length, uint64_t rawTimeStamp,
                                uint32_t unused);
  // The processor that sees every packet before the server filter (not owned; null: none). 0.
  virtual int setAllProcessor(OB_Processor* processor);

  // Binds the adapter: initialises the driver library (failure ends the process), opens the
  // adapter that the network-card keys list under the device number and makes the capture
  // context. 0 also when no context could be made (logged; no frames arrive); -1 (logged) when
  // no adapter could be opened. Does nothing once a context exists or with the driver disabled.
  int init() override;
  // Runs init first when there is no context yet, starts the capture when there is one, then the
  // statistics thread. 0.
  int start() override;
  // Stops the capture (no callback runs once this returns) and the statistics thread, after a
  // last read of the drop counts, so that drops of the last minute reach the log too. 0.
  int stop() override;
  // One statistics pass: packs every pool (queues whose buffers are all free are freed) and,
  // while the thread runs, reads the drop counts and reports them (reportDrops). 0.
  int doTask() override;
  // Reads the drop counts (readDrops), then writes to the log, with the adapter's name, the
  // drops since the last such line and the connections since found with missing data (the TCP
  // session statistics' discontiguous count), when there are any.
  void reportDrops();
  // Reads the drop counts (readDrops) while a capture context exists.
  void refreshDrops() override;
  // The packet road for an OB_Packet: count, all-packets processor, server filter, pooled
  // payload copy (piece by piece for a payload longer than kMaxPooledPayload), processors. -1
  // (nothing counted) for anything else, else 0. The packet is left as it came.
  int processObject(OB_Object* object) override;

  // The list's, each publishing the processors anew for the packet road; a removal returns once
  // no frame is still handed on over the list as it was before.
  int append(OB_Processor* item) override;
  int insert(OB_Processor* item) override;
  int removeCurrent() override;
  int sort() override;

  // The statistics part's.
  int reset() override { return OB_CaptureEngineStats::reset(); }
  // The statistics part's, then (for a replay whose pools grew) how far they grew. 0.
  int print(FILE* stream) override;
  int writeJ(int socket) override { return OB_CaptureEngineStats::writeJ(socket); }

  // The capture context (null before a successful init); for tools that wait for a replay's end.
  GLIM_CaptureContext getCaptureContext() { return context_.load(std::memory_order_acquire); }
  GLIM_AdapterHandle getAdapterHandle() { return adapter_.load(std::memory_order_acquire); }
  // Whether the bound adapter replays a savefile (set by init): then the pools grow.
  bool isReplay() { return replay_.load(std::memory_order_relaxed); }
  // Bytes of the payload buffers made past the pools' caps, at the most that stood at once.
  uint64_t getPoolBytesBeyondCaps();
  // Queues now made in the pool of a size class (32 ... 1460); -1 for another size.
  int32_t getPoolQueueCount(uint32_t sizeClass);

 private:
  static int packetCallback(const unsigned char* frame, uint32_t length, uint64_t rawTimeStamp,
                            uint32_t wireLength, void* context);
  // A free buffer of the smallest class that holds payloadSize bytes (1 to 1460), with one user;
  // null when that class's pool is exhausted (never for a replay, whose pools grow).
  OB_Buffer* takeBuffer(uint32_t payloadSize);
  // The processors as the packet road sees them, in list order.
  struct Processors {
    std::vector<OB_Processor*> items;  // not owned
  };

  // Hands the packet to every processor of the published snapshot. openingReplay: a replay's
  // opening SYN, before which a stream builder is prepared for the replay.
  void handOn(OB_Packet* packet, bool openingReplay);
  // Under the list's lock: publishes the list as it now is; after a removal, waits until every
  // frame handed on over an earlier snapshot has left the processors (frames are handed on one
  // at a time; not on the road's own thread).
  void publishProcessors(bool removal);
  // A stream builder's session pool is made to grow, and its packet road to wait for its thread
  // past kReplayHandOverBytes of finished sessions.
  void prepareReplay(OB_Processor* processor);
  // Attaches and fills a pooled copy of the packet's TCP payload when it has one that fits.
  void copyPayload(OB_Packet* packet);

  // Owned, created in this order and released in this order.
  OB_MemoryPool<OB_PooledPacketBuffer1460>* pool1460_ = nullptr;
  OB_MemoryPool<OB_PooledPacketBuffer1024>* pool1024_ = nullptr;
  OB_MemoryPool<OB_PooledPacketBuffer512>* pool512_ = nullptr;
  OB_MemoryPool<OB_PooledPacketBuffer256>* pool256_ = nullptr;
  OB_MemoryPool<OB_PooledPacketBuffer128>* pool128_ = nullptr;
  OB_MemoryPool<OB_PooledPacketBuffer64>* pool64_ = nullptr;
  OB_MemoryPool<OB_PooledPacketBuffer32>* pool32_ = nullptr;
  // Written by init and the destructor, read by the statistics thread.
  std::atomic<GLIM_AdapterHandle> adapter_{-1};
  std::atomic<GLIM_CaptureContext> context_{nullptr};
  OB_EngineMgr* manager_ = nullptr;                     // not owned, may be null
  std::atomic<OB_Processor*> allProcessor_{nullptr};    // not owned
  std::atomic<int> driverEnabled_{1};
  std::atomic<bool> replay_{false};  // written by init, read on the packet road
  // Whether this manager holds one initialisation of the driver library, so that it undoes only
  // its own (another user's adapters close with the library's last cleanup).
  bool libraryInitialised_ = false;
  // Takes the driver's drop counts, dropsLock_ held: what was dropped since the last read is
  // added to the interval counter 7, counter 12 and the kernel/interface split become the drops
  // since start.
  void readDrops();
  // readDrops' and reportDrops' state, under dropsLock_: the driver's counts at the last read
  // (of context dropsContext_; a new context counts from 0) and the drops since start.
  std::mutex dropsLock_;
  GLIM_CaptureContext dropsContext_ = nullptr;
  uint32_t lastKernelDrops_ = 0;
  uint32_t lastInterfaceDrops_ = 0;
  uint64_t kernelDrops_ = 0;
  uint64_t interfaceDrops_ = 0;
  // The drops since start and the discontiguous connections at the last report.
  uint64_t reportedKernelDrops_ = 0;
  uint64_t reportedInterfaceDrops_ = 0;
  uint32_t reportedGapConnections_ = 0;
  // Used by the driver's thread only, one frame at a time.
  OB_Packet packet_;
  // The published snapshot (null: no processor yet) and every one published before, kept until
  // the manager goes since a frame may still walk one (owned; under the list's lock). The list
  // changes a few times in a manager's life.
  std::atomic<const Processors*> processors_{nullptr};
  std::vector<std::unique_ptr<Processors>> published_;
  // Frames that began and that finished being handed on, and the thread that hands them on.
  std::atomic<uint64_t> framesEntered_{0};
  std::atomic<uint64_t> framesLeft_{0};
  std::atomic<std::thread::id> roadThread_{};
};
