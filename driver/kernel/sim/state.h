// Internal state of the host kernel stand-in, shared by the files that implement the kernel's services.
// Nothing outside driver/kernel/sim includes this header; tests and the simulated card use kernel.h.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "driver/kernel/ntkernel.h"
#include "driver/kernel/sim/kernel.h"

namespace ksim {

inline constexpr Time kNever = INT64_MAX;
inline constexpr UCHAR kDpcObjectType = 19;

std::string Lower(std::string text);
std::string Hex(uint64_t value);
std::string SiteText(const std::source_location& site);
std::string Narrow(const UNICODE_STRING* text);

struct ThreadRec {
  enum class State { Ready, Running, Blocked, Terminated };
  int id = 0;
  bool initial = false;  // the thread that created the kernel (the test's own thread)
  State state = State::Ready;
  KIRQL irql = PASSIVE_LEVEL;
  std::condition_variable cv;
  PKSTART_ROUTINE start = nullptr;
  PVOID context = nullptr;
  std::string site;
  std::thread os;
  PKTHREAD object = nullptr;
  // The wait this thread is blocked in.
  DISPATCHER_HEADER* waitObject = nullptr;
  Time deadline = kNever;
  uint64_t blockSeq = 0;
  NTSTATUS waitStatus = STATUS_SUCCESS;
  std::vector<PKMUTEX> ownedMutexes;
  std::vector<PKSPIN_LOCK> heldSpinLocks;
};

struct PoolBlock {
  ULONG tag = 0;
  POOL_TYPE type = NonPagedPool;
  size_t size = 0;
  std::string site;
  uint64_t serial = 0;
};

struct HandleEntry {
  enum class Kind { Key, File, Thread } kind = Kind::Key;
  ACCESS_MASK access = 0;
  std::string path;  // key path below the device's root, or file name
  RegistryKey* key = nullptr;
  std::string fileName;  // lower case name in the driver folder
  uint64_t position = 0;
  bool synchronous = false;
  PKTHREAD thread = nullptr;
};

struct Mapping {
  uintptr_t base = 0;
  size_t length = 0;
  uint64_t physical = 0;
  uint64_t rangeBase = 0;
  IoWindow* window = nullptr;
};

struct MemoryRange {
  uint64_t physical = 0;
  uint64_t length = 0;
  IoWindow* window = nullptr;
};

struct PhysRange {
  enum class Kind { Contiguous, CommonBuffer, Registered } kind = Kind::Contiguous;
  uint64_t physical = 0;
  size_t length = 0;
  uint8_t* va = nullptr;
  PDMA_ADAPTER adapter = nullptr;
  std::string site;
};

struct InterruptRec;
struct VectorState {
  std::vector<InterruptRec*> chain;
  bool line = false;         // level of the device's line
  bool pendingEdge = false;  // a rising edge not yet delivered (latched mode)
  bool disabled = false;     // switched off after a storm or an unclaimed level interrupt
};

struct HwEvent {
  Time when;
  uint64_t id;
  std::function<void()> action;
};

struct DeviceRec;

struct State {
  std::vector<std::string> faults;
  std::vector<std::string> debugOutput;  // DbgPrint messages

  // Threads and scheduling: one thread runs at a time; see kernel.h for the model.
  std::mutex baton;
  ThreadRec* running = nullptr;
  std::deque<ThreadRec*> ready;
  std::vector<std::unique_ptr<ThreadRec>> threads;
  uint64_t blockCounter = 0;
  bool shuttingDown = false;
  Time now = 0;
  Time lastThreadProgress = 0;
  std::vector<HwEvent> events;
  uint64_t nextEventId = 1;

  // DPCs and interrupts.
  std::deque<PKDPC> dpcQueue;
  bool drainingDpcs = false;
  bool delivering = false;
  std::map<ULONG, VectorState> vectors;
  std::set<InterruptRec*> interrupts;
  unsigned stormLimit = 1000;
  uint64_t spuriousInterrupts = 0;

  // Pool and injected failures.
  std::map<uintptr_t, PoolBlock> pool;
  std::map<ULONG, uint64_t> allocationsByTag;
  uint64_t poolSerial = 0;
  uint64_t resourceRequests = 0;
  uint64_t failAt = 0;  // request number (1-based, counted over all requests) that fails; 0 none
  bool failEachSiteOnce = false;
  std::set<std::string> failedSites;
  std::vector<std::string> injected;

  // Handles.
  std::map<uintptr_t, HandleEntry> handles;
  uintptr_t nextHandle = 0x80000004;

  // Devices, registry and files.
  std::vector<std::unique_ptr<DeviceRec>> devices;
  std::map<std::string, std::vector<uint8_t>> driverFiles;  // lower-case name -> bytes
  bool failRegistryWrites = false;
  uint64_t registryOpens = 0;

  // Bus: device memory, mappings, physical memory, DMA adapters.
  std::vector<MemoryRange> memoryRanges;
  std::map<uintptr_t, Mapping> mappings;
  uintptr_t nextMappingBase = 0x4000000000000000ull;
  std::map<uint64_t, PhysRange> physical;  // by physical address
  uint64_t nextPhysical = 0x02000000;
  std::set<PDMA_ADAPTER> adapters;

  // Driver time meter (Kernel::MeterDriverTime): wall time inside the driver's interrupt routines, DPCs
  // and processing dispatches, the card's own work during register and memory accesses taken off.
  bool meterDriver = false;
  int driverDepth = 0;  // nesting of driver calls (an interrupt can arrive inside a DPC)
  std::chrono::nanoseconds driverSince{0};
  std::chrono::nanoseconds driverTime{0};
  std::function<std::chrono::nanoseconds()> meterClock;  // the steady clock unless a test gives another
};

State& S();
ThreadRec* Current();
void Fault(const std::string& what);
// Checks the caller's IRQL against the service's highest allowed level; records a fault when it is above.
void RequireIrql(KIRQL highest, const char* service);
// Consulted by every fallible allocation service; true means: fail this request.
bool InjectFailure(const char* resource, const std::source_location& site);
// The same for requests whose site is known only by the caller's code address (calls through the DMA
// adapter's operation table, which cannot carry a call-site argument).
bool InjectFailure(const char* resource, const std::string& siteKey, const std::string& siteText);
// Runs pending interrupts and, below DISPATCH_LEVEL, the queued DPCs; called whenever the IRQL drops.
void AfterIrqlLowered();
void DeliverInterrupts();
// Fires the hardware events that are due at the current time.
void FireDueEvents();
// Faults when freeing [start, start + length) would free a live kernel object (queued DPC, owned mutex...).
void CheckFreedRange(uintptr_t start, size_t length, const std::string& what);
// Handle table.
HANDLE NewHandle(HandleEntry entry);
HandleEntry* FindHandle(HANDLE handle);
void CloseThreadHandle(PKTHREAD thread);
void ReleaseThreadObject(PKTHREAD thread);

// Marks a call into the driver (interrupt routine, DPC, processing dispatch) for the driver time meter.
class DriverTimeScope {
 public:
  DriverTimeScope();
  ~DriverTimeScope();
  DriverTimeScope(const DriverTimeScope&) = delete;
  DriverTimeScope& operator=(const DriverTimeScope&) = delete;
};
// Marks work inside a driver call that is not the driver's: the card's (behind a register or memory access)
// and the stand-in's handing of completed frames to the application.
class OutsideDriverScope {
 public:
  OutsideDriverScope();
  ~OutsideDriverScope();
  OutsideDriverScope(const OutsideDriverScope&) = delete;
  OutsideDriverScope& operator=(const OutsideDriverScope&) = delete;

 private:
  int depth_;
};

}  // namespace ksim

struct _DEVICE_OBJECT {
  USHORT Type;
  USHORT Size;
  ksim::DeviceRec* rec;
};

struct _KTHREAD {
  DISPATCHER_HEADER Header;
  ksim::ThreadRec* rec;
  LONG references;
};

struct _KINTERRUPT {
  ksim::InterruptRec* rec;
};

namespace ksim {

struct InterruptRec {
  PKINTERRUPT object = nullptr;
  PKSERVICE_ROUTINE routine = nullptr;
  PVOID context = nullptr;
  ULONG vector = 0;
  KIRQL irql = 0;
  KIRQL synchronizeIrql = 0;
  KINTERRUPT_MODE mode = LevelSensitive;
  bool shared = false;
};

struct DeviceRec {
  std::string name;
  std::unique_ptr<_DEVICE_OBJECT> object;
  std::unique_ptr<RegistryKey> driverKey;
  std::unique_ptr<RegistryKey> deviceKey;
};

}  // namespace ksim
