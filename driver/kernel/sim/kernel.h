// The host stand-in of the kernel: the machine the capture driver runs on in host builds, and the test's
// handle on it. Driver code never includes this header; it reaches the stand-in only through the platform's
// own functions (ntkernel.h). Tests and the simulated card use the classes here to set the machine up, to
// let time pass and to read back what the driver left behind.
//
// Execution model (deterministic, one processor):
//  - Exactly one kernel thread runs at a time: the thread that created the Kernel (the test, acting for the
//    plug-and-play manager and the class driver) or one of the driver's system threads. A thread runs until
//    it blocks (a wait, a delay) or ends; no thread is ever pre-empted by another thread. Threads made ready
//    (a new thread, a signalled event, a released mutex, an expired time-out) run in the order they became
//    ready.
//  - Time is virtual. It stands still while a thread runs, except for KeStallExecutionProcessor, which moves
//    it forward by the stall. When no thread is ready the clock jumps to the next deadline: a wait's
//    time-out or a hardware event scheduled by a simulated device. Hardware events due at that moment run
//    first, then time-outs expire.
//  - Interrupts are delivered as soon as the device's line asks for one and the running code's IRQL is below
//    the interrupt's level: inside the register access that raised the line, at the end of the routine that
//    raised the IRQL, or in the middle of a clock jump. DPCs run whenever the IRQL drops below
//    DISPATCH_LEVEL, in the order they were queued.
//  - Breaking a kernel rule (waiting at DISPATCH_LEVEL, releasing a mutex the thread does not own, freeing
//    a block twice, DMA outside a registered buffer ...) does not crash: it is recorded as a fault, which
//    the tests check. A deadlock (every thread waiting without a time-out and nothing scheduled) cannot be
//    recovered: it prints every thread's state and aborts the test program.
#pragma once

#include <cstdint>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "driver/kernel/ntkernel.h"

namespace ksim {

// Interrupt time in 100-ns units since the machine started.
using Time = int64_t;
inline constexpr Time kMicrosecond = 10;
inline constexpr Time kMillisecond = 10000;
inline constexpr Time kSecond = 10000000;

// System time (100-ns units since 1601) at which the simulated machine started: 1 January 2004, 00:00 UTC.
inline constexpr LONGLONG kSystemTimeAtStart = 127175040000000000LL;

// A pool tag from its four characters as pool tools show them ("Nrvn"): the first character is the lowest
// byte of the value.
constexpr ULONG MakeTag(const char (&text)[5]) {
  return static_cast<ULONG>(static_cast<uint8_t>(text[0])) | static_cast<ULONG>(static_cast<uint8_t>(text[1])) << 8 |
         static_cast<ULONG>(static_cast<uint8_t>(text[2])) << 16 |
         static_cast<ULONG>(static_cast<uint8_t>(text[3])) << 24;
}
std::string TagText(ULONG tag);

// A device's memory range (a PCI memory BAR) as the bus sees it. Called by the kernel stand-in for every
// register access the driver makes through a mapping of the range; offsets are from the range's start,
// always multiples of 4. Runs in the context of the accessing code (any IRQL).
class IoWindow {
 public:
  virtual ~IoWindow() = default;
  virtual ULONG Read32(uint64_t offset) = 0;
  virtual void Write32(uint64_t offset, ULONG value) = 0;
};

// One registry key of the stand-in's registry: values and subkeys, names compared without regard to case.
class RegistryKey {
 public:
  struct Value {
    std::string name;
    ULONG type = REG_NONE;
    std::vector<uint8_t> data;
  };
  explicit RegistryKey(std::string name) : name_(std::move(name)) {}
  const std::string& Name() const { return name_; }
  // Walks a backslash-separated path of existing subkeys; null when one is missing. "" is this key.
  RegistryKey* Find(const std::string& path);
  // Like Find, creating the missing keys.
  RegistryKey& Create(const std::string& path);
  void SetValue(const std::string& name, ULONG type, std::vector<uint8_t> data);
  void SetDword(const std::string& name, ULONG value);
  const Value* GetValue(const std::string& name) const;
  // The value as a 32-bit number when it exists with at least 4 bytes of data.
  std::optional<ULONG> Dword(const std::string& name) const;
  bool DeleteValue(const std::string& name);
  std::vector<std::string> ValueNames() const;

 private:
  std::string name_;
  std::map<std::string, Value> values_;                          // by lower-case name
  std::map<std::string, std::unique_ptr<RegistryKey>> subkeys_;  // by lower-case name
};

struct OutstandingBlock {
  ULONG tag;
  size_t size;
  std::string site;
};

class Kernel {
 public:
  // Creates the machine and makes the calling thread its first kernel thread. One Kernel at a time.
  Kernel();
  // Lets still-running system threads finish (a fault), then releases everything the driver left.
  ~Kernel();
  Kernel(const Kernel&) = delete;
  Kernel& operator=(const Kernel&) = delete;

  // ---- Rule violations and leaks
  const std::vector<std::string>& Faults() const;
  // Returns the faults recorded so far and forgets them (for tests that provoke one on purpose).
  std::vector<std::string> TakeFaults();
  // Records a fault found by a simulated device (a broken hardware rule).
  void Fault(const std::string& what);
  // The messages the driver wrote with DbgPrint, in order.
  const std::vector<std::string>& DebugOutput() const;
  // What an unloading driver must have given back: every pool block, handle, mapping, common buffer,
  // contiguous block, DMA adapter, connected interrupt, queued DPC and running thread left is recorded as a
  // fault. Returns the new faults.
  std::vector<std::string> CheckUnload();

  // ---- Driver time meter (for benchmarks): while on, the wall time spent inside the driver's interrupt
  // routines, DPCs and processing dispatches is summed, less the card's work during the driver's register
  // and memory accesses (a transfer the card runs when the driver writes its mailbox is the card's time) and
  // less the class-driver stand-in's handing of completed frames to the application.
  // `clock` replaces the steady clock (tests).
  void MeterDriverTime(bool on, std::function<std::chrono::nanoseconds()> clock = {});
  double DriverSeconds() const;

  // ---- Time (callable from the test's thread)
  Time Now() const;
  // The calling thread sleeps for the given time; threads, hardware events and interrupts run meanwhile.
  void RunFor(Time duration);
  // The calling thread yields until no other thread is ready, without moving the clock.
  void RunUntilIdle();
  // Hardware events: the action runs at the given interrupt time, as the device would act by itself.
  uint64_t ScheduleAt(Time when, std::function<void()> action);
  void Cancel(uint64_t event);

  // ---- Pool and resource failures
  size_t OutstandingBlocks(ULONG tag) const;
  size_t OutstandingBytes(ULONG tag) const;
  std::vector<OutstandingBlock> Outstanding() const;
  // Successful pool allocations with the tag since the machine started.
  uint64_t Allocations(ULONG tag) const;
  // Fails the n-th fallible request from now (1 = the next): pool blocks, contiguous memory, common
  // buffers, device-memory mappings, DMA adapters and system threads all count. 0 cancels.
  void FailNthRequest(uint64_t n);
  // While on, the first request from each call site fails and later ones from the same site succeed, as a
  // verifier's systematic low-resources mode does. The set of sites already failed survives switching off.
  void FailEachSiteOnce(bool on);
  // Descriptions ("pool at device.cpp:120") of the requests failed on purpose, oldest first.
  const std::vector<std::string>& InjectedFailures() const;

  // ---- Threads
  // System threads created and not yet ended.
  size_t LiveSystemThreads() const;
  // Consecutive interrupts on one line after which the line counts as stuck (an interrupt storm).
  void SetStormLimit(unsigned interrupts);
  uint64_t SpuriousInterrupts() const;

  // ---- Devices and the registry
  // A physical device object, as the bus driver creates it for a card, with empty driver and device keys.
  PDEVICE_OBJECT AddPhysicalDevice(const std::string& name);
  // The device's software key (PLUGPLAY_REGKEY_DRIVER), where "DriverData" lives.
  RegistryKey& DriverKey(PDEVICE_OBJECT device);
  RegistryKey& DeviceKey(PDEVICE_OBJECT device);
  // While on, ZwSetValueKey fails with STATUS_ACCESS_DENIED (a read-only or full registry hive).
  void FailRegistryWrites(bool on);
  // Keys opened (IoOpenDeviceRegistryKey and ZwOpenKey) since the machine started.
  uint64_t RegistryOpens() const;

  // ---- Files in the system's driver folder (\SystemRoot\System32\drivers)
  void AddDriverFile(const std::string& name, std::vector<uint8_t> bytes);
  void RemoveDriverFile(const std::string& name);

  // ---- Bus
  // A device's memory range at a physical address; MmMapIoSpace of any part of it reaches the window.
  void AddMemoryRange(uint64_t physical, uint64_t length, IoWindow* window);
  void RemoveMemoryRange(uint64_t physical);
  // Sets the level of a device's interrupt line; a rising edge or a high level asks for an interrupt.
  void SetInterruptLine(ULONG vector, bool asserted);
  // Bus-master access to host memory through the physical-memory map. Only memory registered for DMA
  // (common buffers, contiguous memory, registered buffers) can be reached; any byte outside is a fault
  // and the whole transfer is refused (false).
  bool DmaWrite(uint64_t physical, const void* data, size_t length);
  bool DmaRead(uint64_t physical, void* data, size_t length);
  // Makes host memory reachable by bus masters, as a locked and mapped stream buffer is; returns its
  // physical address.
  uint64_t RegisterDmaBuffer(void* address, size_t length);
  void UnregisterDmaBuffer(void* address);
};

}  // namespace ksim
