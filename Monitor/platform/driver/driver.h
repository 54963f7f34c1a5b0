// The capture driver: binds one Ethernet adapter (a network interface through libpcap, or a
// savefile named "file:<path>" that is replayed) and calls the packet manager back once per
// frame on a thread of its own. Plain C calls; frames carry time stamps of the UTimeStamp clock
// (UTimeStamp.h), whose replay clock a replay advances. Tests and tools reach replay pacing and
// the end of a replay through DriverControl.h.
#pragma once

#include <cstdint>

// Values of GLIM_GetLastError.
enum {
  GLIM_ERROR_NONE = 0,
  GLIM_ERROR_NOT_INITIALIZED = 1,  // GLIM_InitializeLibrary was not called
  GLIM_ERROR_BAD_ARGUMENT = 2,     // null, unknown handle or context, name too long
  GLIM_ERROR_NO_SUCH_ADAPTER = 3,  // no such interface, registry key or savefile
  GLIM_ERROR_OPEN_FAILED = 4,      // libpcap refused to open or activate (rights, device busy)
  GLIM_ERROR_NOT_ETHERNET = 5,     // a link type the road can't be shown as Ethernet
  GLIM_ERROR_BUSY = 6,             // the adapter already has a capture context
};

// An open adapter; -1 = none.
typedef int32_t GLIM_AdapterHandle;
// A capture context; null = none.
typedef struct GLIM_CaptureContextData* GLIM_CaptureContext;

// Called on the driver's thread, one frame at a time: the frame (Ethernet header first, readable
// until the call returns), its captured length in bytes, its raw time stamp, its length on the
// wire (may exceed the captured length) and the context pointer given at creation. The result
// is not used.
typedef int (*GLIM_PacketCallback)(const unsigned char* frame, uint32_t length,
                                   uint64_t rawTimeStamp, uint32_t wireLength, void* context);

// What GLIM_GetAdapterRegistryInfo fills in.
struct GLIM_AdapterInfo {
  char description[520];
  char deviceName[4096];  // NUL-ended; what follows "\\Device\\" in GLIM_OpenAdapter
};
static_assert(__builtin_offsetof(GLIM_AdapterInfo, deviceName) == 520);

// What GLIM_GetPacketBuffer returns: the capture's counts since its context was made.
struct GLIM_PacketBuffer {
  uint32_t framesReceived;   // reported by the kernel (0 for a replay)
  uint32_t framesDelivered;  // handed to the packet callback
  uint32_t kernelDrops;      // libpcap's ps_drop: no room in the capture buffer
  uint32_t interfaceDrops;   // libpcap's ps_ifdrop: dropped by the interface
  uint32_t framesDropped;    // kernelDrops + interfaceDrops
  uint32_t oversizeFrames;   // longer than an Ethernet frame (segment offload)
};
static_assert(__builtin_offsetof(GLIM_PacketBuffer, framesDropped) == 16);

extern "C" {

// 1 on success (also when already initialised; each call needs a GLIM_CleanupLibrary), 0 on
// failure.
int GLIM_InitializeLibrary(void);
// 1: the packet manager takes the Windows NT road.
int GLIM_IsWindowsNT(void);
// 5: the packet manager reads the network cards under the version 5 key.
int GLIM_GetOSPlatformVersion(void);
// Fills info from the network-card sub-key keyName ("0000", ...). 0 on success, else non-zero.
int GLIM_GetAdapterRegistryInfo(GLIM_AdapterInfo* info, const char* keyName);
// Opens the adapter "\\Device\\<name>" (the prefix may be left out): an interface, put into
// promiscuous mode, or "file:<path>" for a pcap or pcapng savefile. A handle, or -1.
GLIM_AdapterHandle GLIM_OpenAdapter(const char* name);
// The error of the calling thread's last failed GLIM_ call.
int GLIM_GetLastError(void);
// Makes the capture context of an open adapter: sets libpcap's buffer size (bytes) and
// activates. The link must be Ethernet, Linux cooked (SLL or SLL2, what a capture on "any"
// gives), raw IP or BSD loopback (NULL or LOOP); frames of the others are handed over as
// Ethernet frames, their link header replaced by one of zero addresses and the network
// protocol's type. Any other link type is refused, the error naming the adapter (the file of a
// replay) and the link type. The callback gets context on every frame. Null on failure. One
// context per adapter at a time.
GLIM_CaptureContext GLIM_CreateCaptureContext(GLIM_AdapterHandle adapter,
                                              GLIM_PacketCallback callback, int32_t bufferSize,
                                              void* context);
// Starts the driver's thread; does nothing while it runs. After GLIM_StopCapture it goes on
// where it stopped. 0, or -1 for a context that does not exist.
int GLIM_StartCapture(GLIM_CaptureContext capture);
// Stops the driver's thread and waits for it: when this returns, no callback runs and none will
// until the next GLIM_StartCapture. Called from inside the callback it only asks the thread to
// stop. 0, or -1 for a context that does not exist.
int GLIM_StopCapture(GLIM_CaptureContext capture);
// Stops the capture and frees the context; an unknown context is ignored. 0, or -1.
int GLIM_DestroyCaptureContext(GLIM_CaptureContext capture);
// Closes the adapter, destroying its context first. 0, or -1 for an unknown handle.
int GLIM_CloseAdapter(GLIM_AdapterHandle adapter);
// The counts of the capture, refreshed by this call; never null. A context that was never made
// (or is gone) gives a record of zeros. The record belongs to the context (or the library) and
// stays valid until the context is destroyed; only one thread should call this at a time.
const GLIM_PacketBuffer* GLIM_GetPacketBuffer(GLIM_CaptureContext capture);
// Undoes one GLIM_InitializeLibrary; the last one closes every adapter still open. 1, also when
// nothing was initialised.
int GLIM_CleanupLibrary(void);

}  // extern "C"
