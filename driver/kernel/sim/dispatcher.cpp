// The stand-in's dispatcher: kernel threads on one simulated processor, the virtual clock, waits on events,
// mutexes and threads, IRQL, spin locks, DPCs and interrupt delivery. The execution model is described in
// kernel.h.
#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "driver/kernel/sim/state.h"

namespace ksim {
namespace {

thread_local ThreadRec* t_current = nullptr;

const char* StateName(ThreadRec::State state) {
  switch (state) {
    case ThreadRec::State::Ready: return "ready";
    case ThreadRec::State::Running: return "running";
    case ThreadRec::State::Blocked: return "blocked";
    case ThreadRec::State::Terminated: return "ended";
  }
  return "?";
}

[[noreturn]] void Deadlock() {
  State& st = S();
  std::fprintf(stderr, "kernel stand-in: deadlock at time %lld: no thread can run and nothing is scheduled\n",
               static_cast<long long>(st.now));
  for (const auto& t : st.threads) {
    std::fprintf(stderr, "  thread %d%s (%s): %s", t->id, t->initial ? " (test)" : "", t->site.c_str(),
                 StateName(t->state));
    if (t->state == ThreadRec::State::Blocked)
      std::fprintf(stderr, " waiting for %p (type %d)", static_cast<void*>(t->waitObject),
                   t->waitObject ? t->waitObject->Type : -1);
    std::fprintf(stderr, "\n");
  }
  for (const auto& f : st.faults) std::fprintf(stderr, "  fault: %s\n", f.c_str());
  std::abort();
}

void MakeReady(ThreadRec* t, NTSTATUS status) {
  State& st = S();
  t->waitObject = nullptr;
  t->deadline = kNever;
  t->waitStatus = status;
  t->state = ThreadRec::State::Ready;
  st.ready.push_back(t);
  st.lastThreadProgress = st.now;
}

std::vector<ThreadRec*> WaitersOf(DISPATCHER_HEADER* object) {
  std::vector<ThreadRec*> waiters;
  for (const auto& t : S().threads)
    if (t->state == ThreadRec::State::Blocked && t->waitObject == object) waiters.push_back(t.get());
  std::sort(waiters.begin(), waiters.end(), [](ThreadRec* a, ThreadRec* b) { return a->blockSeq < b->blockSeq; });
  return waiters;
}

void ExpireTimeouts() {
  std::vector<ThreadRec*> due;
  for (const auto& t : S().threads)
    if (t->state == ThreadRec::State::Blocked && t->deadline <= S().now) due.push_back(t.get());
  std::sort(due.begin(), due.end(), [](ThreadRec* a, ThreadRec* b) {
    return a->deadline != b->deadline ? a->deadline < b->deadline : a->blockSeq < b->blockSeq;
  });
  for (ThreadRec* t : due) MakeReady(t, STATUS_TIMEOUT);
}

// Moves the clock to the next deadline and runs what falls due there. False when nothing can ever happen.
bool AdvanceClock() {
  State& st = S();
  Time next = kNever;
  bool threadDeadline = false;
  for (const auto& t : st.threads)
    if (t->state == ThreadRec::State::Blocked && t->deadline < next) next = t->deadline, threadDeadline = true;
  for (const auto& e : st.events)
    if (e.when < next) next = e.when, threadDeadline = false;
  if (next == kNever) return false;
  // Devices alone may keep the clock going for ever while every thread waits without a time-out.
  if (!threadDeadline && next - st.lastThreadProgress > 3600 * kSecond) return false;
  if (next > st.now) st.now = next;
  FireDueEvents();
  ExpireTimeouts();
  return true;
}

void HandOff(ThreadRec* self, ThreadRec* next) {
  State& st = S();
  std::unique_lock<std::mutex> lock(st.baton);
  next->state = ThreadRec::State::Running;
  st.running = next;
  next->cv.notify_one();
  if (self->state == ThreadRec::State::Terminated) return;
  self->cv.wait(lock, [&] { return st.running == self; });
}

// Called by the running thread when it stops running (blocked, yielding or ended). Returns when the
// thread runs again; an ended thread returns once another thread has the processor.
void Switch(ThreadRec* self) {
  State& st = S();
  for (;;) {
    if (!st.ready.empty()) {
      ThreadRec* next = st.ready.front();
      st.ready.pop_front();
      if (next == self) {
        self->state = ThreadRec::State::Running;
        return;
      }
      HandOff(self, next);
      return;
    }
    if (!AdvanceClock()) Deadlock();
  }
}

void Yield(ThreadRec* self) {
  MakeReady(self, STATUS_SUCCESS);
  Switch(self);
}

NTSTATUS Block(DISPATCHER_HEADER* object, Time deadline) {
  State& st = S();
  ThreadRec* self = Current();
  self->waitObject = object;
  self->deadline = deadline;
  self->blockSeq = ++st.blockCounter;
  self->state = ThreadRec::State::Blocked;
  Switch(self);
  return self->waitStatus;
}

Time DeadlineOf(PLARGE_INTEGER timeout) {
  State& st = S();
  if (timeout == nullptr) return kNever;
  if (timeout->QuadPart < 0) return st.now - timeout->QuadPart;
  return timeout->QuadPart - kSystemTimeAtStart;
}

bool ValidHeader(DISPATCHER_HEADER* h, UCHAR type, size_t size) {
  return h->Type == type && h->Size == size / sizeof(LONG);
}

void AcquireMutex(PKMUTEX mutex, ThreadRec* owner) {
  if (mutex->Header.SignalState == 1) owner->ownedMutexes.push_back(mutex);
  mutex->OwnerThread = owner->object;
  mutex->Header.SignalState -= 1;
}

void ThreadMain(ThreadRec* rec) {
  t_current = rec;
  {
    std::unique_lock<std::mutex> lock(S().baton);
    rec->cv.wait(lock, [&] { return S().running == rec; });
  }
  rec->start(rec->context);
  State& st = S();
  if (!st.shuttingDown) {
    if (rec->irql != PASSIVE_LEVEL)
      Fault("system thread " + rec->site + " ended at IRQL " + std::to_string(rec->irql));
    if (!rec->heldSpinLocks.empty()) Fault("system thread " + rec->site + " ended holding a spin lock");
    if (!rec->ownedMutexes.empty()) Fault("system thread " + rec->site + " ended holding a mutex");
  }
  // Abandon what the thread still owns so that waiters are not stranded.
  for (PKMUTEX m : rec->ownedMutexes) {
    m->OwnerThread = nullptr;
    m->Header.SignalState = 1;
    m->Abandoned = TRUE;
    auto waiters = WaitersOf(&m->Header);
    if (!waiters.empty()) {
      AcquireMutex(m, waiters.front());
      MakeReady(waiters.front(), STATUS_ABANDONED);
    }
  }
  rec->ownedMutexes.clear();
  rec->state = ThreadRec::State::Terminated;
  rec->object->Header.SignalState = 1;
  for (ThreadRec* w : WaitersOf(&rec->object->Header)) MakeReady(w, STATUS_SUCCESS);
  ReleaseThreadObject(rec->object);  // the reference the running thread held on itself
  Switch(rec);
}

}  // namespace

ThreadRec* Current() {
  if (t_current == nullptr) {
    std::fprintf(stderr, "kernel stand-in: kernel service called from a thread the kernel does not know\n");
    std::abort();
  }
  return t_current;
}

void RegisterInitialThread(ThreadRec* rec) { t_current = rec; }
void ForgetInitialThread() { t_current = nullptr; }

void RequireIrql(KIRQL highest, const char* service) {
  KIRQL irql = Current()->irql;
  if (irql > highest)
    Fault(std::string(service) + " called at IRQL " + std::to_string(irql) + " (highest allowed " +
          std::to_string(highest) + ")");
}

void FireDueEvents() {
  State& st = S();
  for (;;) {
    auto due = st.events.end();
    for (auto it = st.events.begin(); it != st.events.end(); ++it)
      if (it->when <= st.now &&
          (due == st.events.end() || it->when < due->when || (it->when == due->when && it->id < due->id)))
        due = it;
    if (due == st.events.end()) return;
    std::function<void()> action = std::move(due->action);
    st.events.erase(due);
    action();
  }
}

void DrainDpcs() {
  State& st = S();
  ThreadRec* cur = Current();
  if (st.drainingDpcs || cur->irql >= DISPATCH_LEVEL) return;
  st.drainingDpcs = true;
  while (!st.dpcQueue.empty()) {
    PKDPC dpc = st.dpcQueue.front();
    st.dpcQueue.pop_front();
    dpc->DpcData = nullptr;
    KIRQL old = cur->irql;
    size_t locks = cur->heldSpinLocks.size();
    cur->irql = DISPATCH_LEVEL;
    {
      DriverTimeScope metered;
      dpc->DeferredRoutine(dpc, dpc->DeferredContext, dpc->SystemArgument1, dpc->SystemArgument2);
    }
    if (cur->irql != DISPATCH_LEVEL) Fault("DPC returned at IRQL " + std::to_string(cur->irql));
    if (cur->heldSpinLocks.size() != locks) Fault("DPC returned holding a spin lock");
    cur->irql = old;
  }
  st.drainingDpcs = false;
}

void DeliverInterrupts() {
  State& st = S();
  if (st.delivering) return;
  st.delivering = true;
  ThreadRec* cur = Current();
  bool again = true;
  while (again) {
    again = false;
    for (auto& [vector, vs] : st.vectors) {
      if (vs.chain.empty() || vs.disabled || cur->irql >= vs.chain.front()->irql) continue;
      bool level = vs.chain.front()->mode == LevelSensitive;
      if (!(level ? vs.line : vs.pendingEdge)) continue;
      vs.pendingEdge = false;
      again = true;
      unsigned count = 0;
      do {
        bool claimed = false;
        for (InterruptRec* rec : vs.chain) {
          KIRQL old = cur->irql;
          cur->irql = rec->irql;
          {
            DriverTimeScope metered;
            claimed = rec->routine(rec->object, rec->context) != FALSE;
          }
          if (cur->irql != rec->irql) Fault("interrupt routine returned at another IRQL");
          cur->irql = old;
          if (claimed) break;
        }
        if (!claimed) {
          if (level) {
            Fault("level-triggered interrupt on vector " + std::to_string(vector) +
                  " claimed by no routine; the vector is switched off");
            vs.disabled = true;
          } else {
            ++st.spuriousInterrupts;
          }
          break;
        }
        if (level && vs.line && ++count >= st.stormLimit) {
          Fault("interrupt storm on vector " + std::to_string(vector) + ": the line stayed asserted through " +
                std::to_string(count) + " interrupts; the vector is switched off");
          vs.disabled = true;
        }
      } while (level && vs.line && !vs.disabled);
    }
  }
  st.delivering = false;
}

void AfterIrqlLowered() {
  DeliverInterrupts();
  DrainDpcs();
}

// ---- Kernel control, dispatcher part

Time Kernel::Now() const { return S().now; }

void Kernel::RunFor(Time duration) {
  LARGE_INTEGER interval;
  interval.QuadPart = -duration;
  if (duration > 0) KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

void Kernel::RunUntilIdle() {
  while (!S().ready.empty()) Yield(Current());
}

uint64_t Kernel::ScheduleAt(Time when, std::function<void()> action) {
  State& st = S();
  uint64_t id = st.nextEventId++;
  st.events.push_back(HwEvent{when, id, std::move(action)});
  return id;
}

void Kernel::Cancel(uint64_t event) {
  auto& events = S().events;
  events.erase(std::remove_if(events.begin(), events.end(), [&](const HwEvent& e) { return e.id == event; }),
               events.end());
}

size_t Kernel::LiveSystemThreads() const {
  size_t live = 0;
  for (const auto& t : S().threads)
    if (!t->initial && t->state != ThreadRec::State::Terminated) ++live;
  return live;
}

void Kernel::SetStormLimit(unsigned interrupts) { S().stormLimit = interrupts; }
uint64_t Kernel::SpuriousInterrupts() const { return S().spuriousInterrupts; }

void Kernel::SetInterruptLine(ULONG vector, bool asserted) {
  VectorState& vs = S().vectors[vector];
  if (asserted && !vs.line) vs.pendingEdge = true;
  vs.line = asserted;
  if (asserted) AfterIrqlLowered();
}

// Lets every system thread still alive run to its end: waits and delays return at once.
void FinishThreads() {
  State& st = S();
  ThreadRec* self = Current();
  st.shuttingDown = true;
  for (;;) {
    bool live = false;
    for (const auto& t : st.threads) {
      if (t->initial || t->state == ThreadRec::State::Terminated) continue;
      live = true;
      if (t->state == ThreadRec::State::Blocked) MakeReady(t.get(), STATUS_SUCCESS);
    }
    if (!live) break;
    Yield(self);
  }
  for (const auto& t : st.threads)
    if (t->os.joinable()) t->os.join();
}

}  // namespace ksim

using namespace ksim;

// ---- IRQL and spin locks

KIRQL KeGetCurrentIrql() { return Current()->irql; }

VOID KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql) {
  ThreadRec* cur = Current();
  if (NewIrql < cur->irql) Fault("KeRaiseIrql to a lower IRQL");
  *OldIrql = cur->irql;
  cur->irql = NewIrql;
}

VOID KeLowerIrql(KIRQL NewIrql) {
  ThreadRec* cur = Current();
  if (NewIrql > cur->irql) Fault("KeLowerIrql to a higher IRQL");
  cur->irql = NewIrql;
  AfterIrqlLowered();
}

VOID KeInitializeSpinLock(PKSPIN_LOCK SpinLock) { *SpinLock = 0; }

static void TakeSpinLock(PKSPIN_LOCK lock, const char* service) {
  ThreadRec* cur = Current();
  if (*lock != 0) {
    Fault(std::string(service) + (*lock == reinterpret_cast<ULONG_PTR>(cur)
                                      ? ": spin lock already held by this thread (deadlock)"
                                      : ": spin lock not initialised or held elsewhere"));
  }
  *lock = reinterpret_cast<ULONG_PTR>(cur);
  cur->heldSpinLocks.push_back(lock);
}

static void DropSpinLock(PKSPIN_LOCK lock, const char* service) {
  ThreadRec* cur = Current();
  auto it = std::find(cur->heldSpinLocks.begin(), cur->heldSpinLocks.end(), lock);
  if (it == cur->heldSpinLocks.end() || *lock != reinterpret_cast<ULONG_PTR>(cur)) {
    Fault(std::string(service) + ": spin lock not held by this thread");
  } else {
    cur->heldSpinLocks.erase(it);
  }
  *lock = 0;
}

VOID KeAcquireSpinLock(PKSPIN_LOCK SpinLock, PKIRQL OldIrql) {
  RequireIrql(DISPATCH_LEVEL, "KeAcquireSpinLock");
  TakeSpinLock(SpinLock, "KeAcquireSpinLock");
  ThreadRec* cur = Current();
  *OldIrql = cur->irql;
  cur->irql = DISPATCH_LEVEL;
}

VOID KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) {
  ThreadRec* cur = Current();
  if (cur->irql != DISPATCH_LEVEL) Fault("KeReleaseSpinLock called at IRQL " + std::to_string(cur->irql));
  DropSpinLock(SpinLock, "KeReleaseSpinLock");
  cur->irql = NewIrql;
  AfterIrqlLowered();
}

VOID KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock) {
  if (Current()->irql != DISPATCH_LEVEL) Fault("KeAcquireSpinLockAtDpcLevel called below DISPATCH_LEVEL");
  TakeSpinLock(SpinLock, "KeAcquireSpinLockAtDpcLevel");
}

VOID KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock) { DropSpinLock(SpinLock, "KeReleaseSpinLockFromDpcLevel"); }

// ---- Events and mutexes

VOID KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State) {
  Event->Header.Type = Type == NotificationEvent ? EventNotificationObject : EventSynchronizationObject;
  Event->Header.Size = sizeof(KEVENT) / sizeof(LONG);
  Event->Header.Absolute = 0;
  Event->Header.Inserted = 0;
  Event->Header.SignalState = State ? 1 : 0;
  Event->Header.WaitListHead.Flink = Event->Header.WaitListHead.Blink = &Event->Header.WaitListHead;
}

static bool IsEvent(PRKEVENT event, const char* service) {
  UCHAR t = event->Header.Type;
  if ((t != EventNotificationObject && t != EventSynchronizationObject) ||
      event->Header.Size != sizeof(KEVENT) / sizeof(LONG)) {
    Fault(std::string(service) + " on an object that is not an initialised event");
    return false;
  }
  return true;
}

LONG KeSetEvent(PRKEVENT Event, KPRIORITY, BOOLEAN) {
  RequireIrql(DISPATCH_LEVEL, "KeSetEvent");
  if (!IsEvent(Event, "KeSetEvent")) return 0;
  LONG previous = Event->Header.SignalState;
  auto waiters = WaitersOf(&Event->Header);
  if (Event->Header.Type == EventNotificationObject) {
    Event->Header.SignalState = 1;
    for (ThreadRec* w : waiters) MakeReady(w, STATUS_SUCCESS);
  } else if (!waiters.empty()) {
    Event->Header.SignalState = 0;
    MakeReady(waiters.front(), STATUS_SUCCESS);
  } else {
    Event->Header.SignalState = 1;
  }
  return previous;
}

VOID KeClearEvent(PRKEVENT Event) {
  if (IsEvent(Event, "KeClearEvent")) Event->Header.SignalState = 0;
}

LONG KeResetEvent(PRKEVENT Event) {
  if (!IsEvent(Event, "KeResetEvent")) return 0;
  LONG previous = Event->Header.SignalState;
  Event->Header.SignalState = 0;
  return previous;
}

LONG KeReadStateEvent(PRKEVENT Event) { return IsEvent(Event, "KeReadStateEvent") ? Event->Header.SignalState : 0; }

VOID KeInitializeMutex(PRKMUTEX Mutex, ULONG) {
  Mutex->Header.Type = MutantObject;
  Mutex->Header.Size = sizeof(KMUTEX) / sizeof(LONG);
  Mutex->Header.SignalState = 1;
  Mutex->Header.WaitListHead.Flink = Mutex->Header.WaitListHead.Blink = &Mutex->Header.WaitListHead;
  Mutex->OwnerThread = nullptr;
  Mutex->Abandoned = FALSE;
  Mutex->ApcDisable = 1;
}

LONG KeReleaseMutex(PRKMUTEX Mutex, BOOLEAN) {
  RequireIrql(DISPATCH_LEVEL, "KeReleaseMutex");
  State& st = S();
  ThreadRec* cur = Current();
  if (!ValidHeader(&Mutex->Header, MutantObject, sizeof(KMUTEX))) {
    Fault("KeReleaseMutex on an object that is not an initialised mutex");
    return 0;
  }
  LONG previous = Mutex->Header.SignalState;
  if (Mutex->OwnerThread != cur->object) {
    if (!st.shuttingDown)
      Fault(Mutex->OwnerThread == nullptr ? "KeReleaseMutex on a mutex nobody owns"
                                          : "KeReleaseMutex by a thread that does not own the mutex");
    return previous;
  }
  Mutex->Header.SignalState += 1;
  if (Mutex->Header.SignalState == 1) {
    Mutex->OwnerThread = nullptr;
    cur->ownedMutexes.erase(std::find(cur->ownedMutexes.begin(), cur->ownedMutexes.end(), Mutex));
    auto waiters = WaitersOf(&Mutex->Header);
    if (!waiters.empty()) {
      AcquireMutex(Mutex, waiters.front());
      MakeReady(waiters.front(), STATUS_SUCCESS);
    }
  }
  return previous;
}

LONG KeReadStateMutex(PRKMUTEX Mutex) { return Mutex->Header.SignalState; }

// ---- Waits and time

NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON, KPROCESSOR_MODE, BOOLEAN, PLARGE_INTEGER Timeout) {
  State& st = S();
  ThreadRec* cur = Current();
  bool poll = Timeout != nullptr && Timeout->QuadPart == 0;
  if (!poll && cur->irql >= DISPATCH_LEVEL) {
    Fault("KeWaitForSingleObject with a time-out at IRQL " + std::to_string(cur->irql));
    poll = true;
  }
  auto* h = static_cast<DISPATCHER_HEADER*>(Object);
  switch (h->Type) {
    case EventNotificationObject:
    case EventSynchronizationObject:
      if (h->Size != sizeof(KEVENT) / sizeof(LONG)) break;
      if (h->SignalState > 0) {
        if (h->Type == EventSynchronizationObject) h->SignalState = 0;
        return STATUS_SUCCESS;
      }
      if (st.shuttingDown) return STATUS_SUCCESS;
      return poll ? STATUS_TIMEOUT : Block(h, DeadlineOf(Timeout));
    case MutantObject: {
      if (h->Size != sizeof(KMUTEX) / sizeof(LONG)) break;
      auto* m = reinterpret_cast<PKMUTEX>(h);
      if (h->SignalState == 1 || m->OwnerThread == cur->object) {
        AcquireMutex(m, cur);
        return STATUS_SUCCESS;
      }
      if (st.shuttingDown) return STATUS_SUCCESS;
      return poll ? STATUS_TIMEOUT : Block(h, DeadlineOf(Timeout));
    }
    case ThreadObject:
      if (h->Size != sizeof(KTHREAD) / sizeof(LONG)) break;
      if (h->SignalState > 0 || st.shuttingDown) return STATUS_SUCCESS;
      return poll ? STATUS_TIMEOUT : Block(h, DeadlineOf(Timeout));
    default: break;
  }
  Fault("KeWaitForSingleObject on an object that is not an initialised dispatcher object");
  return STATUS_INVALID_PARAMETER;
}

NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE, BOOLEAN, PLARGE_INTEGER Interval) {
  RequireIrql(APC_LEVEL, "KeDelayExecutionThread");
  State& st = S();
  if (st.shuttingDown) return STATUS_SUCCESS;
  if (Interval->QuadPart == 0) {
    Yield(Current());
    return STATUS_SUCCESS;
  }
  Block(nullptr, DeadlineOf(Interval));
  return STATUS_SUCCESS;
}

VOID KeStallExecutionProcessor(ULONG MicroSeconds) {
  State& st = S();
  st.now += static_cast<Time>(MicroSeconds) * kMicrosecond;
  FireDueEvents();
}

VOID KeQuerySystemTime(PLARGE_INTEGER CurrentTime) { CurrentTime->QuadPart = kSystemTimeAtStart + S().now; }
ULONGLONG KeQueryInterruptTime() { return static_cast<ULONGLONG>(S().now); }
PKTHREAD KeGetCurrentThread() { return Current()->object; }
PETHREAD PsGetCurrentThread() { return Current()->object; }

// ---- DPCs

VOID KeInitializeDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine, PVOID DeferredContext) {
  Dpc->Type = kDpcObjectType;
  Dpc->Importance = 1;
  Dpc->Number = 0;
  Dpc->DeferredRoutine = DeferredRoutine;
  Dpc->DeferredContext = DeferredContext;
  Dpc->SystemArgument1 = Dpc->SystemArgument2 = nullptr;
  Dpc->DpcData = nullptr;
}

BOOLEAN KeInsertQueueDpc(PRKDPC Dpc, PVOID SystemArgument1, PVOID SystemArgument2) {
  State& st = S();
  if (Dpc->Type != kDpcObjectType) {
    Fault("KeInsertQueueDpc on a DPC that was not initialised");
    return FALSE;
  }
  if (Dpc->DpcData != nullptr) return FALSE;
  Dpc->SystemArgument1 = SystemArgument1;
  Dpc->SystemArgument2 = SystemArgument2;
  Dpc->DpcData = &st.dpcQueue;
  st.dpcQueue.push_back(Dpc);
  DrainDpcs();
  return TRUE;
}

BOOLEAN KeRemoveQueueDpc(PRKDPC Dpc) {
  auto& q = S().dpcQueue;
  auto it = std::find(q.begin(), q.end(), Dpc);
  if (it == q.end()) return FALSE;
  q.erase(it);
  Dpc->DpcData = nullptr;
  return TRUE;
}

// ---- Interrupts

NTSTATUS IoConnectInterrupt(PKINTERRUPT* InterruptObject, PKSERVICE_ROUTINE ServiceRoutine, PVOID ServiceContext,
                            PKSPIN_LOCK, ULONG Vector, KIRQL Irql, KIRQL SynchronizeIrql,
                            KINTERRUPT_MODE InterruptMode, BOOLEAN ShareVector, KAFFINITY, BOOLEAN KSITE_DEF) {
  RequireIrql(PASSIVE_LEVEL, "IoConnectInterrupt");
  State& st = S();
  if (ServiceRoutine == nullptr || Irql <= DISPATCH_LEVEL || Irql >= PROFILE_LEVEL || SynchronizeIrql < Irql)
    return STATUS_INVALID_PARAMETER;
  VectorState& vs = st.vectors[Vector];
  if (!vs.chain.empty() && (!ShareVector || !vs.chain.front()->shared || vs.chain.front()->mode != InterruptMode))
    return STATUS_INVALID_PARAMETER;
  if (InjectFailure("interrupt", site)) return STATUS_INSUFFICIENT_RESOURCES;
  auto* rec = new InterruptRec;
  rec->object = new KINTERRUPT{rec};
  rec->routine = ServiceRoutine;
  rec->context = ServiceContext;
  rec->vector = Vector;
  rec->irql = Irql;
  rec->synchronizeIrql = SynchronizeIrql;
  rec->mode = InterruptMode;
  rec->shared = ShareVector != FALSE;
  vs.chain.push_back(rec);
  st.interrupts.insert(rec);
  *InterruptObject = rec->object;
  AfterIrqlLowered();  // a line already asserted interrupts at once
  return STATUS_SUCCESS;
}

VOID IoDisconnectInterrupt(PKINTERRUPT InterruptObject) {
  RequireIrql(PASSIVE_LEVEL, "IoDisconnectInterrupt");
  State& st = S();
  if (InterruptObject == nullptr || !st.interrupts.count(InterruptObject->rec)) {
    Fault("IoDisconnectInterrupt of an interrupt object that is not connected");
    return;
  }
  InterruptRec* rec = InterruptObject->rec;
  VectorState& vs = st.vectors[rec->vector];
  vs.chain.erase(std::find(vs.chain.begin(), vs.chain.end(), rec));
  if (vs.chain.empty()) vs.disabled = false;
  st.interrupts.erase(rec);
  delete rec->object;
  delete rec;
}

BOOLEAN KeSynchronizeExecution(PKINTERRUPT Interrupt, PKSYNCHRONIZE_ROUTINE SynchronizeRoutine,
                               PVOID SynchronizeContext) {
  ThreadRec* cur = Current();
  if (Interrupt == nullptr || !S().interrupts.count(Interrupt->rec)) {
    Fault("KeSynchronizeExecution with an interrupt object that is not connected");
    return FALSE;
  }
  KIRQL old = cur->irql;
  if (Interrupt->rec->synchronizeIrql > old) cur->irql = Interrupt->rec->synchronizeIrql;
  BOOLEAN result = SynchronizeRoutine(SynchronizeContext);
  cur->irql = old;
  AfterIrqlLowered();
  return result;
}

// ---- Threads

POBJECT_TYPE ksim_thread_type_storage = reinterpret_cast<POBJECT_TYPE>(0x7468);
POBJECT_TYPE* PsThreadType = &ksim_thread_type_storage;

NTSTATUS PsCreateSystemThread(PHANDLE ThreadHandle, ULONG DesiredAccess, POBJECT_ATTRIBUTES, HANDLE, PCLIENT_ID,
                              PKSTART_ROUTINE StartRoutine, PVOID StartContext KSITE_DEF) {
  RequireIrql(PASSIVE_LEVEL, "PsCreateSystemThread");
  State& st = S();
  if (InjectFailure("system thread", site)) return STATUS_INSUFFICIENT_RESOURCES;
  auto rec = std::make_unique<ThreadRec>();
  rec->id = static_cast<int>(st.threads.size());
  rec->start = StartRoutine;
  rec->context = StartContext;
  rec->site = SiteText(site);
  rec->object = new KTHREAD{};
  rec->object->Header.Type = ThreadObject;
  rec->object->Header.Size = sizeof(KTHREAD) / sizeof(LONG);
  rec->object->rec = rec.get();
  rec->object->references = 2;  // the running thread's own reference and the handle's
  HandleEntry entry;
  entry.kind = HandleEntry::Kind::Thread;
  entry.access = DesiredAccess;
  entry.thread = rec->object;
  *ThreadHandle = NewHandle(entry);
  ThreadRec* raw = rec.get();
  st.threads.push_back(std::move(rec));
  MakeReady(raw, STATUS_SUCCESS);
  raw->os = std::thread(ThreadMain, raw);
  return STATUS_SUCCESS;
}

NTSTATUS ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK DesiredAccess, POBJECT_TYPE ObjectType, KPROCESSOR_MODE,
                                   PVOID* Object, POBJECT_HANDLE_INFORMATION) {
  HandleEntry* entry = FindHandle(Handle);
  if (entry == nullptr) return STATUS_INVALID_HANDLE;
  if (ObjectType != nullptr && (ObjectType != *PsThreadType || entry->kind != HandleEntry::Kind::Thread))
    return STATUS_OBJECT_TYPE_MISMATCH;
  if (entry->kind != HandleEntry::Kind::Thread) return STATUS_OBJECT_TYPE_MISMATCH;
  if ((DesiredAccess & ~entry->access) != 0) return STATUS_ACCESS_DENIED;
  entry->thread->references += 1;
  *Object = entry->thread;
  return STATUS_SUCCESS;
}

VOID ObDereferenceObject(PVOID Object) {
  auto* thread = static_cast<PKTHREAD>(Object);
  for (const auto& t : S().threads)
    if (t->object == thread) {
      ReleaseThreadObject(thread);
      return;
    }
  Fault("ObDereferenceObject of an object the kernel does not know");
}

namespace ksim {

void ReleaseThreadObject(PKTHREAD thread) {
  if (thread->references <= 0) {
    Fault("thread object dereferenced more often than referenced");
    return;
  }
  thread->references -= 1;
}

}  // namespace ksim

LONG InterlockedIncrement(LONG volatile* Addend) { return __atomic_add_fetch(Addend, 1, __ATOMIC_SEQ_CST); }
LONG InterlockedDecrement(LONG volatile* Addend) { return __atomic_sub_fetch(Addend, 1, __ATOMIC_SEQ_CST); }
LONG InterlockedExchange(LONG volatile* Target, LONG Value) {
  return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
}
LONG InterlockedCompareExchange(LONG volatile* Destination, LONG Exchange, LONG Comparand) {
  __atomic_compare_exchange_n(Destination, &Comparand, Exchange, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
  return Comparand;
}
