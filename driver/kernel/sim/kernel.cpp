// The stand-in machine's lifetime, its fault log, handles, injected resource failures and the unload check.
#include "driver/kernel/sim/kernel.h"

#include <algorithm>
#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "driver/kernel/sim/state.h"

namespace ksim {

void RegisterInitialThread(ThreadRec* rec);
void ForgetInitialThread();
void FinishThreads();
void ReleaseMachine();  // bus.cpp: frees what the driver left mapped or allocated

namespace {
State* g_state = nullptr;
}

State& S() {
  if (g_state == nullptr) {
    std::fprintf(stderr, "kernel stand-in: kernel service called while no Kernel exists\n");
    std::abort();
  }
  return *g_state;
}

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

std::string Hex(uint64_t value) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(value));
  return text;
}

std::string SiteText(const std::source_location& site) {
  std::string file = site.file_name();
  auto slash = file.find_last_of('/');
  if (slash != std::string::npos) file = file.substr(slash + 1);
  return file + ":" + std::to_string(site.line());
}

std::string Narrow(const UNICODE_STRING* text) {
  std::string out;
  if (text == nullptr || text->Buffer == nullptr) return out;
  for (USHORT i = 0; i < text->Length / sizeof(WCHAR); ++i) {
    char16_t c = text->Buffer[i];
    out.push_back(c < 0x80 ? static_cast<char>(c) : '?');
  }
  return out;
}

std::string TagText(ULONG tag) {
  std::string text;
  for (int i = 0; i < 4; ++i) {
    char c = static_cast<char>((tag >> (8 * i)) & 0xFF);
    text.push_back(std::isprint(static_cast<unsigned char>(c)) ? c : '.');
  }
  return text;
}

void Fault(const std::string& what) { S().faults.push_back(what); }

bool InjectFailure(const char* resource, const std::source_location& site) {
  return InjectFailure(resource, SiteText(site) + ":" + std::to_string(site.column()), SiteText(site));
}

bool InjectFailure(const char* resource, const std::string& siteKey, const std::string& siteText) {
  State& st = S();
  ++st.resourceRequests;
  std::string where = std::string(resource) + " at " + siteText;
  bool fail = false;
  if (st.failAt != 0 && st.resourceRequests == st.failAt) {
    fail = true;
    st.failAt = 0;
  }
  if (!fail && st.failEachSiteOnce && st.failedSites.insert(siteKey).second) fail = true;
  if (fail) st.injected.push_back(where);
  return fail;
}

HANDLE NewHandle(HandleEntry entry) {
  State& st = S();
  uintptr_t value = st.nextHandle;
  st.nextHandle += 4;
  st.handles[value] = std::move(entry);
  return reinterpret_cast<HANDLE>(value);
}

HandleEntry* FindHandle(HANDLE handle) {
  auto it = S().handles.find(reinterpret_cast<uintptr_t>(handle));
  return it == S().handles.end() ? nullptr : &it->second;
}

void CheckFreedRange(uintptr_t start, size_t length, const std::string& what) {
  State& st = S();
  auto inside = [&](const void* p) {
    auto a = reinterpret_cast<uintptr_t>(p);
    return a >= start && a < start + length;
  };
  // A queued DPC in freed memory would run on garbage: report it and take it out of the queue.
  for (auto it = st.dpcQueue.begin(); it != st.dpcQueue.end();) {
    if (inside(*it)) {
      Fault(what + " frees a DPC that is still queued");
      it = st.dpcQueue.erase(it);
    } else {
      ++it;
    }
  }
  for (const auto& t : st.threads) {
    if (t->state == ThreadRec::State::Blocked && t->waitObject != nullptr && inside(t->waitObject))
      Fault(what + " frees an object a thread is waiting for");
    for (PKMUTEX m : t->ownedMutexes)
      if (inside(m)) Fault(what + " frees a mutex that is owned");
    for (PKSPIN_LOCK l : t->heldSpinLocks)
      if (inside(l)) Fault(what + " frees a spin lock that is held");
  }
  for (InterruptRec* rec : st.interrupts)
    if (inside(rec->context)) Fault(what + " frees the context of a connected interrupt");
}

// ---- RegistryKey

RegistryKey* RegistryKey::Find(const std::string& path) {
  RegistryKey* key = this;
  size_t start = 0;
  while (start < path.size()) {
    size_t end = path.find('\\', start);
    if (end == std::string::npos) end = path.size();
    std::string part = Lower(path.substr(start, end - start));
    if (!part.empty()) {
      auto it = key->subkeys_.find(part);
      if (it == key->subkeys_.end()) return nullptr;
      key = it->second.get();
    }
    start = end + 1;
  }
  return key;
}

RegistryKey& RegistryKey::Create(const std::string& path) {
  RegistryKey* key = this;
  size_t start = 0;
  while (start < path.size()) {
    size_t end = path.find('\\', start);
    if (end == std::string::npos) end = path.size();
    std::string part = path.substr(start, end - start);
    if (!part.empty()) {
      auto& slot = key->subkeys_[Lower(part)];
      if (!slot) slot = std::make_unique<RegistryKey>(part);
      key = slot.get();
    }
    start = end + 1;
  }
  return *key;
}

void RegistryKey::SetValue(const std::string& name, ULONG type, std::vector<uint8_t> data) {
  values_[Lower(name)] = Value{name, type, std::move(data)};
}

void RegistryKey::SetDword(const std::string& name, ULONG value) {
  std::vector<uint8_t> data(4);
  std::memcpy(data.data(), &value, 4);
  SetValue(name, REG_DWORD, std::move(data));
}

const RegistryKey::Value* RegistryKey::GetValue(const std::string& name) const {
  auto it = values_.find(Lower(name));
  return it == values_.end() ? nullptr : &it->second;
}

std::optional<ULONG> RegistryKey::Dword(const std::string& name) const {
  const Value* v = GetValue(name);
  if (v == nullptr || v->data.size() < 4) return std::nullopt;
  ULONG value;
  std::memcpy(&value, v->data.data(), 4);
  return value;
}

bool RegistryKey::DeleteValue(const std::string& name) { return values_.erase(Lower(name)) != 0; }

std::vector<std::string> RegistryKey::ValueNames() const {
  std::vector<std::string> names;
  for (const auto& [key, value] : values_) names.push_back(value.name);
  return names;
}

// ---- Kernel

Kernel::Kernel() {
  if (g_state != nullptr) {
    std::fprintf(stderr, "kernel stand-in: a second Kernel was created while one exists\n");
    std::abort();
  }
  g_state = new State;
  auto rec = std::make_unique<ThreadRec>();
  rec->initial = true;
  rec->state = ThreadRec::State::Running;
  rec->site = "test";
  rec->object = new KTHREAD{};
  rec->object->Header.Type = ThreadObject;
  rec->object->Header.Size = sizeof(KTHREAD) / sizeof(LONG);
  rec->object->rec = rec.get();
  rec->object->references = 1;
  g_state->running = rec.get();
  RegisterInitialThread(rec.get());
  g_state->threads.push_back(std::move(rec));
}

Kernel::~Kernel() {
  State& st = S();
  if (LiveSystemThreads() != 0) {
    Fault("system threads still running when the machine shut down");
    FinishThreads();
  }
  for (const auto& t : st.threads)
    if (t->os.joinable()) t->os.join();
  ReleaseMachine();
  for (auto& [address, block] : st.pool) ::operator delete (reinterpret_cast<void*>(address), std::align_val_t{16});
  for (InterruptRec* rec : st.interrupts) {
    delete rec->object;
    delete rec;
  }
  for (const auto& t : st.threads) delete t->object;
  ForgetInitialThread();
  delete g_state;
  g_state = nullptr;
}

const std::vector<std::string>& Kernel::Faults() const { return S().faults; }

std::vector<std::string> Kernel::TakeFaults() {
  std::vector<std::string> faults;
  faults.swap(S().faults);
  return faults;
}

void Kernel::Fault(const std::string& what) { ksim::Fault(what); }

const std::vector<std::string>& Kernel::DebugOutput() const { return S().debugOutput; }

namespace {
std::chrono::nanoseconds MeterNow() {
  State& st = S();
  if (st.meterClock) return st.meterClock();
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch());
}
}  // namespace

void Kernel::MeterDriverTime(bool on, std::function<std::chrono::nanoseconds()> clock) {
  State& st = S();
  st.meterDriver = on;
  st.meterClock = std::move(clock);
  st.driverDepth = 0;
  st.driverTime = std::chrono::nanoseconds{0};
}

double Kernel::DriverSeconds() const { return std::chrono::duration<double>(S().driverTime).count(); }

DriverTimeScope::DriverTimeScope() {
  State& st = S();
  if (st.meterDriver && st.driverDepth++ == 0) st.driverSince = MeterNow();
}

DriverTimeScope::~DriverTimeScope() {
  State& st = S();
  if (st.meterDriver && st.driverDepth > 0 && --st.driverDepth == 0)
    st.driverTime += MeterNow() - st.driverSince;
}

OutsideDriverScope::OutsideDriverScope() : depth_(0) {
  State& st = S();
  if (!st.meterDriver || st.driverDepth == 0) return;
  st.driverTime += MeterNow() - st.driverSince;
  depth_ = st.driverDepth;
  st.driverDepth = 0;
}

OutsideDriverScope::~OutsideDriverScope() {
  if (depth_ == 0) return;
  State& st = S();
  st.driverDepth = depth_;
  st.driverSince = MeterNow();
}

std::vector<std::string> Kernel::CheckUnload() {
  State& st = S();
  size_t before = st.faults.size();
  std::map<ULONG, std::pair<size_t, std::string>> byTag;
  for (const auto& [address, block] : st.pool) {
    auto& entry = byTag[block.tag];
    if (entry.first++ < 3) entry.second += (entry.second.empty() ? "" : ", ") + block.site;
  }
  for (const auto& [tag, entry] : byTag)
    ksim::Fault("pool tag '" + TagText(tag) + "': " + std::to_string(entry.first) + " block(s) not freed (" +
                entry.second + ")");
  for (const auto& [value, entry] : st.handles) {
    const char* kind = entry.kind == HandleEntry::Kind::Key    ? "registry key"
                       : entry.kind == HandleEntry::Kind::File ? "file"
                                                               : "thread";
    ksim::Fault(std::string("handle not closed: ") + kind + " " + (entry.path.empty() ? entry.fileName : entry.path));
  }
  for (const auto& t : st.threads) {
    if (t->initial) continue;
    if (t->state != ThreadRec::State::Terminated) ksim::Fault("system thread still running: " + t->site);
    int ownRef = t->state == ThreadRec::State::Terminated ? 0 : 1;
    int handleRefs = 0;
    for (const auto& [value, entry] : st.handles)
      if (entry.thread == t->object) ++handleRefs;
    if (t->object->references - ownRef - handleRefs > 0) ksim::Fault("thread object still referenced: " + t->site);
  }
  for (const auto& [base, m] : st.mappings) ksim::Fault("device memory still mapped at " + Hex(m.physical));
  for (const auto& [phys, r] : st.physical) {
    if (r.kind == PhysRange::Kind::Contiguous) ksim::Fault("contiguous memory not freed (" + r.site + ")");
    if (r.kind == PhysRange::Kind::CommonBuffer) ksim::Fault("common buffer not freed (" + r.site + ")");
  }
  if (!st.adapters.empty()) ksim::Fault("DMA adapter not put back");
  if (!st.interrupts.empty()) ksim::Fault("interrupt still connected");
  if (!st.dpcQueue.empty()) ksim::Fault("DPC still queued");
  return std::vector<std::string>(st.faults.begin() + static_cast<long>(before), st.faults.end());
}

size_t Kernel::OutstandingBlocks(ULONG tag) const {
  return static_cast<size_t>(
      std::count_if(S().pool.begin(), S().pool.end(), [&](const auto& b) { return b.second.tag == tag; }));
}

size_t Kernel::OutstandingBytes(ULONG tag) const {
  size_t bytes = 0;
  for (const auto& [address, block] : S().pool)
    if (block.tag == tag) bytes += block.size;
  return bytes;
}

std::vector<OutstandingBlock> Kernel::Outstanding() const {
  std::vector<std::pair<uint64_t, OutstandingBlock>> blocks;
  for (const auto& [address, block] : S().pool)
    blocks.push_back({block.serial, OutstandingBlock{block.tag, block.size, block.site}});
  std::sort(blocks.begin(), blocks.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  std::vector<OutstandingBlock> out;
  for (auto& b : blocks) out.push_back(b.second);
  return out;
}

uint64_t Kernel::Allocations(ULONG tag) const {
  auto it = S().allocationsByTag.find(tag);
  return it == S().allocationsByTag.end() ? 0 : it->second;
}

void Kernel::FailNthRequest(uint64_t n) { S().failAt = n == 0 ? 0 : S().resourceRequests + n; }
void Kernel::FailEachSiteOnce(bool on) { S().failEachSiteOnce = on; }
const std::vector<std::string>& Kernel::InjectedFailures() const { return S().injected; }

void Kernel::FailRegistryWrites(bool on) { S().failRegistryWrites = on; }
uint64_t Kernel::RegistryOpens() const { return S().registryOpens; }

PDEVICE_OBJECT Kernel::AddPhysicalDevice(const std::string& name) {
  auto rec = std::make_unique<DeviceRec>();
  rec->name = name;
  rec->object = std::make_unique<_DEVICE_OBJECT>();
  rec->object->Type = 3;  // IO_TYPE_DEVICE
  rec->object->Size = sizeof(_DEVICE_OBJECT);
  rec->object->rec = rec.get();
  rec->driverKey = std::make_unique<RegistryKey>(name + " driver key");
  rec->deviceKey = std::make_unique<RegistryKey>(name + " device key");
  PDEVICE_OBJECT device = rec->object.get();
  S().devices.push_back(std::move(rec));
  return device;
}

RegistryKey& Kernel::DriverKey(PDEVICE_OBJECT device) { return *device->rec->driverKey; }
RegistryKey& Kernel::DeviceKey(PDEVICE_OBJECT device) { return *device->rec->deviceKey; }

void Kernel::AddDriverFile(const std::string& name, std::vector<uint8_t> bytes) {
  S().driverFiles[Lower(name)] = std::move(bytes);
}
void Kernel::RemoveDriverFile(const std::string& name) { S().driverFiles.erase(Lower(name)); }

}  // namespace ksim

using namespace ksim;

NTSTATUS ZwClose(HANDLE Handle) {
  RequireIrql(PASSIVE_LEVEL, "ZwClose");
  State& st = S();
  auto it = st.handles.find(reinterpret_cast<uintptr_t>(Handle));
  if (it == st.handles.end()) {
    Fault("ZwClose of a handle that is not open");
    return STATUS_INVALID_HANDLE;
  }
  if (it->second.kind == HandleEntry::Kind::Thread) ReleaseThreadObject(it->second.thread);
  st.handles.erase(it);
  return STATUS_SUCCESS;
}

ULONG DbgPrint(PCSTR Format, ...) {
  char text[512];
  va_list args;
  va_start(args, Format);
  std::vsnprintf(text, sizeof text, Format, args);
  va_end(args);
  ksim::S().debugOutput.emplace_back(text);
  return STATUS_SUCCESS;
}
