#include <cstring>
#include <string>
#include <vector>

#include "driver/kernel/sim/kernel_fixture.h"

using ksim::kMillisecond;
using ksim::kSecond;
using ::testing::ElementsAre;

namespace {

struct Log {
  ksim::Kernel* kernel;
  std::vector<std::string> lines;
  void Add(const std::string& what) { lines.push_back(std::to_string(kernel->Now() / kMillisecond) + "ms " + what); }
};

// Starts a system thread and returns its referenced thread object; the handle is closed at once.
PVOID StartThread(PKSTART_ROUTINE routine, PVOID context) {
  HANDLE handle;
  EXPECT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, routine, context),
            STATUS_SUCCESS);
  PVOID object = nullptr;
  EXPECT_EQ(ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, *PsThreadType, KernelMode, &object, nullptr),
            STATUS_SUCCESS);
  ZwClose(handle);
  return object;
}

void Join(PVOID thread) {
  EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
  ObDereferenceObject(thread);
}

using DispatcherTest = KernelFixture;

TEST_F(DispatcherTest, NewThreadsRunInCreationOrderOnlyOnceTheCreatorBlocks) {
  static Log log;
  log = Log{&kernel, {}};
  PKSTART_ROUTINE body = +[](PVOID name) {
    log.Add(static_cast<const char*>(name) + std::string(" starts"));
    LARGE_INTEGER wait = Relative(5 * kMillisecond);
    KeDelayExecutionThread(KernelMode, FALSE, &wait);
    log.Add(static_cast<const char*>(name) + std::string(" ends"));
  };
  PVOID a = StartThread(body, const_cast<char*>("A"));
  PVOID b = StartThread(body, const_cast<char*>("B"));
  log.Add("creator continues");
  Join(a);
  Join(b);
  EXPECT_THAT(log.lines,
              ElementsAre("0ms creator continues", "0ms A starts", "0ms B starts", "5ms A ends", "5ms B ends"));
  EXPECT_EQ(kernel.LiveSystemThreads(), 0u);
  EXPECT_THAT(kernel.CheckUnload(), ::testing::IsEmpty());
}

TEST_F(DispatcherTest, DelaysMoveTheVirtualClockByExactlyTheirLength) {
  LARGE_INTEGER relative = Relative(200 * kMillisecond);
  KeDelayExecutionThread(KernelMode, FALSE, &relative);
  EXPECT_EQ(kernel.Now(), 200 * kMillisecond);
  LARGE_INTEGER absolute;
  absolute.QuadPart = ksim::kSystemTimeAtStart + 1 * kSecond;
  KeDelayExecutionThread(KernelMode, FALSE, &absolute);
  EXPECT_EQ(KeQueryInterruptTime(), static_cast<ULONGLONG>(kSecond));
  LARGE_INTEGER now;
  KeQuerySystemTime(&now);
  EXPECT_EQ(now.QuadPart, ksim::kSystemTimeAtStart + kSecond);
  KeStallExecutionProcessor(10);
  EXPECT_EQ(kernel.Now(), kSecond + 100);
}

// The once-per-second monitor pattern: wait on a stop event with a one-second time-out, loop on time-out.
TEST_F(DispatcherTest, TimedWaitLoopTicksOncePerSecondUntilItsEventIsSet) {
  struct Monitor {
    KEVENT stop;
    std::vector<ksim::Time> ticks;
    ksim::Kernel* kernel;
  };
  static Monitor monitor;
  monitor.ticks.clear();
  monitor.kernel = &kernel;
  KeInitializeEvent(&monitor.stop, NotificationEvent, FALSE);
  PVOID thread = StartThread(
      +[](PVOID) {
        LARGE_INTEGER second = Relative(kSecond);
        do monitor.ticks.push_back(monitor.kernel->Now());
        while (KeWaitForSingleObject(&monitor.stop, Executive, KernelMode, FALSE, &second) == STATUS_TIMEOUT);
      },
      nullptr);
  kernel.RunFor(3 * kSecond + 500 * kMillisecond);
  EXPECT_EQ(KeSetEvent(&monitor.stop, 0, FALSE), 0);
  Join(thread);
  EXPECT_THAT(monitor.ticks, ElementsAre(0, kSecond, 2 * kSecond, 3 * kSecond));
  EXPECT_EQ(kernel.Now(), 3 * kSecond + 500 * kMillisecond);
}

TEST_F(DispatcherTest, SynchronizationEventWakesOneWaiterNotificationEventWakesAll) {
  struct Case {
    EVENT_TYPE type;
    int woken;
  } cases[] = {{SynchronizationEvent, 1}, {NotificationEvent, 3}};
  for (const Case& c : cases) {
    static KEVENT event;
    static int woken;
    woken = 0;
    KeInitializeEvent(&event, c.type, FALSE);
    std::vector<PVOID> threads;
    for (int i = 0; i < 3; ++i)
      threads.push_back(StartThread(
          +[](PVOID) {
            LARGE_INTEGER limit = Relative(kSecond);
            if (KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &limit) == STATUS_SUCCESS) ++woken;
          },
          nullptr));
    kernel.RunUntilIdle();
    KeSetEvent(&event, 0, FALSE);
    kernel.RunUntilIdle();
    EXPECT_EQ(woken, c.woken) << "event type " << c.type;
    EXPECT_EQ(KeReadStateEvent(&event), c.type == NotificationEvent ? 1 : 0);
    for (PVOID t : threads) Join(t);
  }
}

TEST_F(DispatcherTest, MutexIsReenteredByItsOwnerAndHandedToWaitersInArrivalOrder) {
  static KMUTEX mutex;
  static Log log;
  log = Log{&kernel, {}};
  KeInitializeMutex(&mutex, 0);
  ASSERT_EQ(KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
  ASSERT_EQ(KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
  PKSTART_ROUTINE body = +[](PVOID name) {
    KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr);
    log.Add(static_cast<const char*>(name) + std::string(" owns"));
    LARGE_INTEGER hold = Relative(10 * kMillisecond);
    KeDelayExecutionThread(KernelMode, FALSE, &hold);
    KeReleaseMutex(&mutex, FALSE);
  };
  PVOID a = StartThread(body, const_cast<char*>("A"));
  PVOID b = StartThread(body, const_cast<char*>("B"));
  kernel.RunFor(50 * kMillisecond);
  EXPECT_TRUE(log.lines.empty());
  KeReleaseMutex(&mutex, FALSE);
  EXPECT_EQ(KeReadStateMutex(&mutex), 0);  // still owned once: the first release undid the re-entry only
  KeReleaseMutex(&mutex, FALSE);
  Join(a);
  Join(b);
  EXPECT_THAT(log.lines, ElementsAre("50ms A owns", "60ms B owns"));
  EXPECT_EQ(KeReadStateMutex(&mutex), 1);
}

TEST_F(DispatcherTest, MutexReleasedByAThreadThatDoesNotOwnItIsAFault) {
  static KMUTEX mutex;
  KeInitializeMutex(&mutex, 0);
  KeReleaseMutex(&mutex, FALSE);
  ExpectOneFault("nobody owns");
  PVOID t = StartThread(
      +[](PVOID) { KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr); }, nullptr);
  Join(t);
  ExpectOneFault("ended holding a mutex");
  // The ended thread abandoned the mutex; it is free again.
  EXPECT_EQ(KeReadStateMutex(&mutex), 1);
  EXPECT_EQ(KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
  KeReleaseMutex(&mutex, FALSE);
}

TEST_F(DispatcherTest, WaitingWithATimeOutAtDispatchLevelIsAFault) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  KIRQL old;
  KeAcquireSpinLock(&lock, &old);
  LARGE_INTEGER poll;
  poll.QuadPart = 0;
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &poll), STATUS_TIMEOUT);
  EXPECT_TRUE(kernel.Faults().empty()) << "a zero time-out is allowed at DISPATCH_LEVEL";
  LARGE_INTEGER wait = Relative(kMillisecond);
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &wait), STATUS_TIMEOUT);
  KeReleaseSpinLock(&lock, old);
  ExpectOneFault("KeWaitForSingleObject with a time-out at IRQL 2");
  EXPECT_EQ(kernel.Now(), 0);
}

TEST_F(DispatcherTest, WaitOnMemoryThatIsNoDispatcherObjectIsAFault) {
  uint8_t garbage[32];
  std::memset(garbage, 0xCD, sizeof garbage);
  EXPECT_EQ(KeWaitForSingleObject(garbage, Executive, KernelMode, FALSE, nullptr), STATUS_INVALID_PARAMETER);
  ExpectOneFault("not an initialised dispatcher object");
}

TEST_F(DispatcherTest, SpinLockRaisesToDispatchAndBreachesAreFaults) {
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  KIRQL old = 99;
  KeAcquireSpinLock(&lock, &old);
  EXPECT_EQ(old, PASSIVE_LEVEL);
  EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
  KeAcquireSpinLockAtDpcLevel(&lock);
  ExpectOneFault("already held by this thread");
  KeReleaseSpinLockFromDpcLevel(&lock);
  KeReleaseSpinLock(&lock, old);
  ExpectOneFault("not held by this thread");
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

struct DpcProbe {
  KDPC dpc{};
  std::vector<std::string> runs;
};

void ProbeRoutine(PKDPC, PVOID context, PVOID a1, PVOID) {
  auto* probe = static_cast<DpcProbe*>(context);
  probe->runs.push_back("irql " + std::to_string(KeGetCurrentIrql()) + " arg " +
                        std::to_string(reinterpret_cast<uintptr_t>(a1)));
}

TEST_F(DispatcherTest, DpcRunsAtDispatchLevelWhenTheIrqlDropsAndIsQueuedOnlyOnce) {
  DpcProbe probe;
  KeInitializeDpc(&probe.dpc, ProbeRoutine, &probe);
  EXPECT_TRUE(KeInsertQueueDpc(&probe.dpc, reinterpret_cast<PVOID>(1), nullptr));
  EXPECT_THAT(probe.runs, ElementsAre("irql 2 arg 1"));  // queued at PASSIVE_LEVEL: runs at once

  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  KIRQL old;
  KeAcquireSpinLock(&lock, &old);
  EXPECT_TRUE(KeInsertQueueDpc(&probe.dpc, reinterpret_cast<PVOID>(2), nullptr));
  EXPECT_FALSE(KeInsertQueueDpc(&probe.dpc, reinterpret_cast<PVOID>(3), nullptr));
  EXPECT_EQ(probe.runs.size(), 1u);
  KeReleaseSpinLock(&lock, old);
  EXPECT_THAT(probe.runs, ElementsAre("irql 2 arg 1", "irql 2 arg 2"));

  KeAcquireSpinLock(&lock, &old);
  KeInsertQueueDpc(&probe.dpc, nullptr, nullptr);
  EXPECT_TRUE(KeRemoveQueueDpc(&probe.dpc));
  EXPECT_FALSE(KeRemoveQueueDpc(&probe.dpc));
  KeReleaseSpinLock(&lock, old);
  EXPECT_EQ(probe.runs.size(), 2u);
}

// A device line the tests drive by hand: the routine acknowledges by dropping the line after `needed` calls.
struct Line {
  Line(ksim::Kernel* k, ULONG v) : kernel(k), vector(v) {}
  ksim::Kernel* kernel;
  ULONG vector;
  int calls = 0;
  int needed = 1;
  bool claim = true;
  std::vector<int> irqls;
  DpcProbe probe;
};

BOOLEAN LineIsr(PKINTERRUPT, PVOID context) {
  auto* line = static_cast<Line*>(context);
  line->irqls.push_back(KeGetCurrentIrql());
  if (++line->calls >= line->needed) line->kernel->SetInterruptLine(line->vector, false);
  if (line->claim) KeInsertQueueDpc(&line->probe.dpc, nullptr, nullptr);
  return line->claim;
}

PKINTERRUPT Connect(Line& line, KINTERRUPT_MODE mode) {
  KeInitializeDpc(&line.probe.dpc, ProbeRoutine, &line.probe);
  PKINTERRUPT interrupt = nullptr;
  EXPECT_EQ(IoConnectInterrupt(&interrupt, LineIsr, &line, nullptr, line.vector, 9, 9, mode, FALSE, 1, FALSE),
            STATUS_SUCCESS);
  return interrupt;
}

TEST_F(DispatcherTest, LevelInterruptRepeatsWhileTheLineStaysAssertedThenItsDpcRuns) {
  Line line(&kernel, 17);
  line.needed = 3;
  PKINTERRUPT interrupt = Connect(line, LevelSensitive);
  kernel.SetInterruptLine(17, true);
  EXPECT_EQ(line.calls, 3);
  EXPECT_THAT(line.irqls, ElementsAre(9, 9, 9));
  EXPECT_THAT(line.probe.runs, ElementsAre("irql 2 arg 0"));
  IoDisconnectInterrupt(interrupt);
}

TEST_F(DispatcherTest, LatchedInterruptIsDeliveredOncePerRisingEdge) {
  Line line(&kernel, 17);
  line.needed = 100;  // the routine never drops the line
  PKINTERRUPT interrupt = Connect(line, Latched);
  kernel.SetInterruptLine(17, true);
  kernel.SetInterruptLine(17, true);  // still high: no new edge
  EXPECT_EQ(line.calls, 1);
  kernel.SetInterruptLine(17, false);
  kernel.SetInterruptLine(17, true);
  EXPECT_EQ(line.calls, 2);
  line.claim = false;
  kernel.SetInterruptLine(17, false);
  kernel.SetInterruptLine(17, true);
  EXPECT_EQ(kernel.SpuriousInterrupts(), 1u);
  IoDisconnectInterrupt(interrupt);
}

TEST_F(DispatcherTest, LineAlreadyAssertedAtConnectionInterruptsAtOnce) {
  Line line(&kernel, 5);
  kernel.SetInterruptLine(5, true);
  PKINTERRUPT interrupt = Connect(line, LevelSensitive);
  EXPECT_EQ(line.calls, 1);
  IoDisconnectInterrupt(interrupt);
}

TEST_F(DispatcherTest, InterruptWaitsWhileCodeRunsSynchronisedWithIt) {
  static Line line(&kernel, 17);
  line = Line{&kernel, 17};
  PKINTERRUPT interrupt = Connect(line, LevelSensitive);
  KeSynchronizeExecution(
      interrupt,
      +[](PVOID) -> BOOLEAN {
        line.kernel->SetInterruptLine(17, true);
        EXPECT_EQ(line.calls, 0);
        return TRUE;
      },
      nullptr);
  EXPECT_EQ(line.calls, 1);
  IoDisconnectInterrupt(interrupt);
}

TEST_F(DispatcherTest, UnclaimedLevelInterruptAndInterruptStormAreFaults) {
  struct Case {
    bool claim;
    int needed;
    const char* fault;
  } cases[] = {{false, 1, "claimed by no routine"}, {true, 1000000, "interrupt storm on vector 17"}};
  for (const Case& c : cases) {
    Line line(&kernel, 17);
    line.claim = c.claim;
    line.needed = c.needed;
    kernel.SetStormLimit(50);
    PKINTERRUPT interrupt = Connect(line, LevelSensitive);
    kernel.SetInterruptLine(17, true);
    ExpectOneFault(c.fault);
    EXPECT_LE(line.calls, 50);
    int calls = line.calls;
    kernel.SetInterruptLine(17, true);
    EXPECT_EQ(line.calls, calls) << "the vector is switched off";
    kernel.SetInterruptLine(17, false);
    IoDisconnectInterrupt(interrupt);
  }
}

TEST_F(DispatcherTest, SharingAVectorNeedsBothSidesToShareInTheSameMode) {
  Line line(&kernel, 3);
  PKINTERRUPT first = nullptr;
  ASSERT_EQ(IoConnectInterrupt(&first, LineIsr, &line, nullptr, 3, 9, 9, LevelSensitive, TRUE, 1, FALSE),
            STATUS_SUCCESS);
  PKINTERRUPT second = nullptr;
  EXPECT_EQ(IoConnectInterrupt(&second, LineIsr, &line, nullptr, 3, 9, 9, Latched, TRUE, 1, FALSE),
            STATUS_INVALID_PARAMETER);
  EXPECT_EQ(IoConnectInterrupt(&second, LineIsr, &line, nullptr, 3, 9, 9, LevelSensitive, FALSE, 1, FALSE),
            STATUS_INVALID_PARAMETER);
  ASSERT_EQ(IoConnectInterrupt(&second, LineIsr, &line, nullptr, 3, 9, 9, LevelSensitive, TRUE, 1, FALSE),
            STATUS_SUCCESS);
  IoDisconnectInterrupt(second);
  IoDisconnectInterrupt(first);
  EXPECT_THAT(kernel.CheckUnload(), ::testing::IsEmpty());
}

TEST_F(DispatcherTest, HardwareEventsRunAtTheirTimeDuringWaitsAndStalls) {
  std::vector<std::string> seen;
  kernel.ScheduleAt(30 * kMillisecond, [&] { seen.push_back("b@" + std::to_string(kernel.Now() / kMillisecond)); });
  kernel.ScheduleAt(10 * kMillisecond, [&] { seen.push_back("a@" + std::to_string(kernel.Now() / kMillisecond)); });
  uint64_t cancelled = kernel.ScheduleAt(20 * kMillisecond, [&] { seen.push_back("cancelled"); });
  kernel.Cancel(cancelled);
  KeStallExecutionProcessor(15000);
  EXPECT_THAT(seen, ElementsAre("a@15"));
  kernel.RunFor(100 * kMillisecond);
  EXPECT_THAT(seen, ElementsAre("a@15", "b@30"));
  EXPECT_EQ(kernel.Now(), 115 * kMillisecond);
}

TEST_F(DispatcherTest, UnloadCheckReportsRunningThreadsAndUnreleasedThreadObjects) {
  static KEVENT go;
  KeInitializeEvent(&go, NotificationEvent, FALSE);
  PVOID thread = StartThread(
      +[](PVOID) { KeWaitForSingleObject(&go, Executive, KernelMode, FALSE, nullptr); }, nullptr);
  kernel.RunUntilIdle();
  auto faults = kernel.CheckUnload();
  EXPECT_THAT(faults, ElementsAre(::testing::HasSubstr("system thread still running"),
                                  ::testing::HasSubstr("thread object still referenced")));
  KeSetEvent(&go, 0, FALSE);
  EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
  kernel.TakeFaults();
  EXPECT_THAT(kernel.CheckUnload(), ElementsAre(::testing::HasSubstr("thread object still referenced")));
  kernel.TakeFaults();
  ObDereferenceObject(thread);
  EXPECT_THAT(kernel.CheckUnload(), ::testing::IsEmpty());
}

}  // namespace

namespace {

TEST(KernelShutdown, ThreadsStillWaitingAtShutdownAreRunToTheirEnd) {
  static bool ended;
  static KEVENT never;
  ended = false;
  {
    ksim::Kernel kernel;
    KeInitializeEvent(&never, NotificationEvent, FALSE);
    HANDLE handle;
    ASSERT_EQ(PsCreateSystemThread(
                  &handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr,
                  +[](PVOID) {
                    KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, nullptr);
                    ended = true;
                  },
                  nullptr),
              STATUS_SUCCESS);
    ZwClose(handle);
    kernel.RunUntilIdle();
    EXPECT_FALSE(ended);
  }
  EXPECT_TRUE(ended);
}

}  // namespace
