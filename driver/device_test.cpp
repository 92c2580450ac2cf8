#include "driver/device.h"

#include <cstdio>

#include "driver/decoders.h"
#include "driver/driver_services.h"
#include "driver/encoder_mailbox.h"
#include "driver/pelgar_test_fixture.h"
#include "driver/peripherals.h"
#include "driver/status_monitor.h"

namespace {

using pelgar::PelgarDevice;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;

std::string Repeat(const std::string& transfer, int times) {
  std::string text;
  for (int i = 0; i < times; ++i) text += (text.empty() ? "" : " ") + transfer;
  return text;
}

class DeviceTest : public DriverFixture {
 protected:
  // Adds and starts a card; the bring-up thread has run when this returns.
  PKSDEVICE AddAndStart(PluggedCard& card, NTSTATUS expected = STATUS_SUCCESS) {
    PKSDEVICE device = Add(card);
    EXPECT_EQ(ks.Start(device, card.resources), expected);
    WaitForBringUp(device);
    return device;
  }
};

// ---- Board probe

TEST_F(DeviceTest, ProbeDecidesBoardKindTunerAndPeripherals) {
  struct Case {
    const char* name;
    const char* file;
    const char* extra;  // more card-file lines
    ULONG boardType;    // "BoardType", 1 when unset
    ULONG boardKind;
    ULONG tunerType;
    bool b8, p24, f4;
  };
  const Case cases[] = {
      {"kind 1: decoder answers 0x15", "kind1.card", "", 1, 1, 7, false, false, false},
      {"board type 0: fixed kind 0", "kind1.card", "", 0, 0, 7, false, false, false},
      {"kind 2: 16-bit registers keep 0x55", "kind2.card", "", 1, 2, 4, true, true, true},
      {"kind 3: integrated decoder, no 0x86", "kind3.card", "", 1, 3, 3028, false, false, false},
      {"0x96 reading back 2 overrides the EEPROM", "kind78.card", "", 1, 1, 78, false, false, false},
      {"decoder not answering gives kind 3", "kind1.card", "switch nak 0x42\n", 1, 3, 7, false, false, false},
      {"no 0x86 gives 3028 despite the EEPROM", "kind1.card", "switch nak 0x86\n", 1, 1, 3028, false, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    PluggedCard& card = PlugText(CardText(c.file) + c.extra, c.name);
    if (c.boardType != 1) card.driverData->SetDword("BoardType", c.boardType);
    PKSDEVICE device = AddAndStart(card);
    PelgarDevice* d = Context(device);
    EXPECT_EQ(d->boardKind, c.boardKind);
    EXPECT_EQ(d->tunerType, c.tunerType);
    EXPECT_EQ(d->peripheralB8 != nullptr, c.b8);
    EXPECT_EQ(d->peripheral24 != nullptr, c.p24);
    EXPECT_EQ(d->peripheralF4 != nullptr, c.f4);
    EXPECT_EQ(d->integratedRegs != nullptr, c.boardKind == 3);
    ASSERT_NE(d->decoder, nullptr);
    EXPECT_EQ(d->decoder->GetKind(), c.boardKind == 3   ? pelgar::VideoDecoder::Kind::IntegratedAv
                                     : c.boardKind == 2 ? pelgar::VideoDecoder::Kind::B
                                                        : pelgar::VideoDecoder::Kind::A);
    if (c.boardType == 0) {
      EXPECT_THAT(card.I2cLog(), Not(HasSubstr("42+")));
    }
    ks.Stop(device);
    RemoveAndCheck(device);
    cards.clear();
  }
}

// Each board kind's probe, transfer by transfer: absent peripherals are tried 8 times each, the IF
// demodulator, the EEPROM record, the kind-78 register and the decoder answers.
TEST_F(DeviceTest, ProbeOfEachBoardKindTalksToTheBusInThisExactOrder) {
  const std::string noPeripherals = Repeat("S B8- P", 8) + " " + Repeat("S 24- P", 8) + " " + Repeat("S F4- P", 8);
  const std::string eepromSeven = "S 86+ 00+ 00+ 00+ 00+ P S A0+ 10+ Sr A1+ AA+ 55+ 00+ 07- P";
  const std::string noSiliconTuner = Repeat("S 96- P", 16);
  const std::string decoderA = "S 42+ 00+ 05+ P S 42+ 00+ Sr 43+ 15- P";
  std::string tables = "S B8+ 00+ Sr B9+ 00- P";
  const UCHAR b8[] = {0x17, 0x01, 0xA1, 0x23, 0x29, 0x72, 0x11, 0x05, 0x56, 0x48, 0x50, 0x3E,
                      0xA0, 0x05, 0x08, 0x44, 0x60, 0x08, 0x52, 0xF8, 0x53, 0x60, 0x00};
  const UCHAR p24[] = {0x00, 0xB8, 0x58, 0x87, 0xC6, 0x03, 0x14, 0x0B,
                       0xAF, 0x7F, 0x00, 0x00, 0x1D, 0x5E, 0x00, 0xD0};
  char text[32];
  for (unsigned i = 0; i < sizeof b8; ++i) {
    std::snprintf(text, sizeof text, " S B8+ %02X+ %02X+ P", i, b8[i]);
    tables += text;
  }
  tables += " S 24+ 00+ Sr 25+ 00- P";
  for (unsigned i = 0; i < sizeof p24; ++i) {
    std::snprintf(text, sizeof text, " S 24+ %02X+ %02X+ P", i, p24[i]);
    tables += text;
  }
  tables += " S F4+ 00+ Sr F5+ 00- P";
  struct Case {
    const char* name;
    const char* file;
    ULONG boardType;
    std::string log;
  };
  const Case cases[] = {
      {"kind 0", "kind1.card", 0, noPeripherals + " " + eepromSeven + " " + noSiliconTuner},
      {"kind 1", "kind1.card", 1, noPeripherals + " " + eepromSeven + " " + noSiliconTuner + " " + decoderA},
      {"kind 2", "kind2.card", 1,
       tables + " S 86+ 00+ 00+ 00+ 00+ P S A0+ 10+ Sr A1+ FF+ FF+ FF+ FF- P " + noSiliconTuner +
           " S 42+ 00+ 05+ P S 42+ 00+ Sr 43+ 00- P S 42+ 01+ 0A+ 55+ P S 42+ 01+ 0A+ Sr 43+ 55- P"},
      {"kind 3", "kind3.card", 1,
       noPeripherals + " " + Repeat("S 86- P", 8) + " " + noSiliconTuner +
           " S 42+ 00+ 05+ P S 42+ 00+ Sr 43+ 00- P S 42+ 01+ 0A+ 55+ P S 42+ 01+ 0A+ Sr 43+ 00- P"},
      {"kind 1 with the silicon tuner", "kind78.card", 1,
       noPeripherals + " " + eepromSeven + " S 96+ 20+ 02+ P S 96+ 20+ Sr 97+ 02- P " + decoderA},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    PluggedCard& card = Plug(c.file, c.name);
    if (c.boardType != 1) card.driverData->SetDword("BoardType", c.boardType);
    PKSDEVICE device = AddAndStart(card);
    EXPECT_EQ(card.I2cLog(), c.log);
    RemoveAndCheck(device);
    cards.clear();
  }
}

TEST_F(DeviceTest, PresentPeripheralsGetTheirRegisterTables) {
  PluggedCard& card = Plug("kind2.card");
  PKSDEVICE device = AddAndStart(card);
  PelgarDevice* d = Context(device);
  EXPECT_TRUE(d->peripheralB8->Initialised());
  EXPECT_TRUE(d->peripheral24->Initialised());
  auto* b8 = static_cast<simcard::RegisterDevice*>(card.sim->I2c().DeviceAt(0xB8));
  auto* p24 = static_cast<simcard::RegisterDevice*>(card.sim->I2c().DeviceAt(0x24));
  EXPECT_EQ(b8->Byte(0x00), 0x17);
  EXPECT_EQ(b8->Byte(0x13), 0xF8);
  EXPECT_EQ(b8->Byte(0x16), 0x00);
  EXPECT_EQ(p24->Byte(0x01), 0xB8);
  EXPECT_EQ(p24->Byte(0x0F), 0xD0);
  EXPECT_THAT(card.I2cLog(), HasSubstr("S B8+ 00+ Sr B9+ 00- P S B8+ 00+ 17+ P S B8+ 01+ 01+ P"));
  RemoveAndCheck(device);
}

TEST_F(DeviceTest, ProgrammedTunerTypeIsWhatTheProbeReadsBack) {
  PluggedCard& card = Plug("kind2.card");
  card.driverData->SetDword("WriteTunerType", 1);
  card.driverData->SetDword("TunerType", 23);
  PKSDEVICE device = AddAndStart(card);
  EXPECT_EQ(Context(device)->tunerType, 23u);
  auto* eeprom = static_cast<simcard::RegisterDevice*>(card.sim->I2c().DeviceAt(0xA0));
  EXPECT_EQ(eeprom->Byte(0x10), 0xAA);
  EXPECT_EQ(eeprom->Byte(0x11), 0x55);
  EXPECT_EQ(eeprom->Byte(0x12), 0x00);
  EXPECT_EQ(eeprom->Byte(0x13), 23);
  EXPECT_THAT(card.I2cLog(), HasSubstr("S A0+ 10+ AA+ 55+ 00+ 17+ P"));
  RemoveAndCheck(device);
}

TEST_F(DeviceTest, TunerTypeThatCannotBeProgrammedFailsStart) {
  struct Case {
    const char* name;
    const char* extra;
    ULONG tunerType;
  };
  const Case cases[] = {
      {"EEPROM does not acknowledge", "switch nak 0xA0\n", 7},
      {"code does not fit the record's byte", "", 300},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    PluggedCard& card = PlugText(CardText("kind1.card") + c.extra, c.name);
    card.driverData->SetDword("WriteTunerType", 1);
    card.driverData->SetDword("TunerType", c.tunerType);
    PKSDEVICE device = AddAndStart(card, STATUS_UNSUCCESSFUL);
    EXPECT_FALSE(Context(device)->started);
    EXPECT_EQ(kernel.OutstandingBlocks(pelgar::kDriverTag), 1u);  // only the context
    EXPECT_THAT(card.I2cLog(), Not(HasSubstr("A0+ 10+ AA+")));
    RemoveAndCheck(device);
    cards.clear();
  }
}

TEST_F(DeviceTest, UnknownBoardTypeFailsStart) {
  PluggedCard& card = Plug("kind1.card");
  card.driverData->SetDword("BoardType", 5);
  PKSDEVICE device = AddAndStart(card, STATUS_UNSUCCESSFUL);
  EXPECT_THAT(card.I2cLog(), Not(HasSubstr("42+")));
  RemoveAndCheck(device);
}

// ---- Resources and start

TEST_F(DeviceTest, ResourceListsDecideWhetherStartCanGoOn) {
  PluggedCard& card = Plug("kind1.card");
  auto resources = ksim::KsClassDriver::Resources(card.resources);
  CM_PARTIAL_RESOURCE_DESCRIPTOR lowLevel = resources[1];
  lowLevel.u.Interrupt.Level = DISPATCH_LEVEL;  // no device interrupt runs at or below dispatch level
  CM_PARTIAL_RESOURCE_DESCRIPTOR small = resources[0];
  small.u.Memory.Start.QuadPart = 0xF0000000;
  small.u.Memory.Length = 0x100000;
  struct Case {
    const char* name;
    std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR> list;
    NTSTATUS status;
  };
  const Case cases[] = {
      {"two interrupts", {resources[0], resources[1], resources[1]}, STATUS_INSUFFICIENT_RESOURCES},
      {"no interrupt", {resources[0]}, STATUS_INSUFFICIENT_RESOURCES},
      {"no memory", {resources[1]}, STATUS_INSUFFICIENT_RESOURCES},
      {"only a window of another size", {small, resources[1]}, STATUS_INSUFFICIENT_RESOURCES},
      {"another range beside the window is ignored", {small, resources[0], resources[1]}, STATUS_SUCCESS},
      {"the connection's own failure is returned", {resources[0], lowLevel}, STATUS_INVALID_PARAMETER},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    PKSDEVICE device = Add(card);
    EXPECT_EQ(ks.Start(device, c.list), c.status);
    kernel.RunUntilIdle();
    RemoveAndCheck(device);
  }
}

TEST_F(DeviceTest, StartSetsUpTheCardForTheEncoder) {
  PluggedCard& card = Plug("kind1.card");
  PKSDEVICE device = AddAndStart(card);
  PelgarDevice* d = Context(device);
  EXPECT_TRUE(d->started);
  EXPECT_NE(d->base, nullptr);
  EXPECT_EQ(d->commonBuffer1.length, 104960u);
  EXPECT_EQ(d->commonBuffer2.length, 8192u);
  EXPECT_EQ(reinterpret_cast<PDMA_ADAPTER>(ks.RegisteredAdapter(device)), d->adapter);
  ASSERT_EQ(ks.BusData(device).size(), 1u);
  EXPECT_EQ(ks.BusData(device)[0].space, PCI_WHICHSPACE_CONFIG);
  EXPECT_EQ(ks.BusData(device)[0].offset, 0x40u);
  EXPECT_THAT(ks.BusData(device)[0].bytes, ElementsAre(0, 0));
  EXPECT_EQ(card.sim->Register(simcard::reg::kInterruptMask), 0xFFFFFFFFu);  // every source masked
  EXPECT_TRUE(card.sim->GpioPin(7));
  // The bring-up ran and gave the device lock back; the monitor thread runs.
  EXPECT_NE(d->bringUpStatus, STATUS_PENDING);
  EXPECT_EQ(KeReadStateMutex(&d->lock), 1);
  EXPECT_EQ(kernel.LiveSystemThreads(), 1u);
  EXPECT_TRUE(d->monitor->Running());
  EXPECT_EQ(d->monitor->Start(), STATUS_UNSUCCESSFUL);  // one thread per monitor
  // Video capture, TV audio, crossbar and tuner factories, in that order, with their cache data.
  const GUID references[] = {
      {0x9B365890, 0x165F, 0x11D0, {0xA1, 0x95, 0x00, 0x20, 0xAF, 0xD1, 0x56, 0xE4}},
      {0xBD5227E3, 0x96BB, 0x4172, {0x9C, 0xD3, 0xD0, 0x7B, 0x25, 0xFA, 0xC0, 0x1A}},
      {0xE4E33899, 0x8D15, 0x47D1, {0xBE, 0xCC, 0x11, 0x38, 0x83, 0xD0, 0xBB, 0xC9}},
      {0xEBE24D78, 0xF037, 0x4932, {0xB8, 0x79, 0xCC, 0xEF, 0xEF, 0xE7, 0x87, 0x50}},
  };
  auto factories = ks.Factories(device);
  ASSERT_EQ(factories.size(), 4u);
  EXPECT_EQ(d->firstFactory, factories[0]);
  for (size_t i = 0; i < 4; ++i) {
    EXPECT_TRUE(IsEqualGUID(*factories[i]->FilterDescriptor->ReferenceGuid, references[i])) << i;
    EXPECT_TRUE(ks.CacheUpdated(factories[i])) << i;
  }
  ks.Stop(device);
  EXPECT_THAT(ks.Factories(device), IsEmpty());  // freed with the stop
  EXPECT_EQ(kernel.LiveSystemThreads(), 0u);
  EXPECT_EQ(d->base, nullptr);
  EXPECT_EQ(kernel.OutstandingBlocks(pelgar::kDriverTag), 1u);  // only the context
  RemoveAndCheck(device);
}

TEST_F(DeviceTest, BringUpWaitsForTheDeviceLock) {
  PluggedCard& card = Plug("kind1.card");
  PKSDEVICE device = Add(card);
  ASSERT_EQ(ks.Start(device, card.resources), STATUS_SUCCESS);
  PelgarDevice* d = Context(device);
  KeWaitForSingleObject(&d->lock, Executive, KernelMode, FALSE, nullptr);  // a stream start, say
  kernel.RunFor(ksim::kSecond);
  EXPECT_EQ(d->bringUpStatus, STATUS_PENDING);
  KeReleaseMutex(&d->lock, FALSE);
  WaitForBringUp(device);
  EXPECT_NE(d->bringUpStatus, STATUS_PENDING);
  EXPECT_EQ(KeReadStateMutex(&d->lock), 1);
  RemoveAndCheck(device);
}

TEST_F(DeviceTest, TwoCardsGetInstancesOneAndTwoOnTheirMediums) {
  PluggedCard& first = Plug("kind1.card", "first");
  PluggedCard& second = Plug("kind78.card", "second");
  PKSDEVICE a = AddAndStart(first);
  PKSDEVICE b = AddAndStart(second);
  EXPECT_EQ(Context(a)->instance, 1u);
  EXPECT_EQ(Context(b)->instance, 2u);
  const GUID tvAudio = {0xA799A802, 0xA46D, 0x11D0, {0xA1, 0x8C, 0x00, 0xA0, 0x24, 0x01, 0xDC, 0xD4}};
  const GUID in = {0x0F8ED063, 0xF820, 0x4A1F, {0x98, 0x22, 0xEA, 0xAE, 0x04, 0x3A, 0x19, 0xAB}};
  const GUID out = {0x0F8ED064, 0xF820, 0x4A1F, {0x98, 0x22, 0xEA, 0xAE, 0x04, 0x3A, 0x19, 0xAB}};
  const auto& filters = ks.PinlessFilters();
  ASSERT_EQ(filters.size(), 2u);
  for (ULONG i = 0; i < 2; ++i) {
    EXPECT_EQ(filters[i].physicalDevice, i == 0 ? first.pdo : second.pdo);
    EXPECT_TRUE(IsEqualGUID(filters[i].category, tvAudio));
    EXPECT_THAT(filters[i].outputs, ElementsAre(false, true));
    ASSERT_EQ(filters[i].mediums.size(), 2u);
    EXPECT_TRUE(IsEqualGUID(filters[i].mediums[0].Set, in));
    EXPECT_TRUE(IsEqualGUID(filters[i].mediums[1].Set, out));
    EXPECT_EQ(filters[i].mediums[0].Id, i + 1);
    EXPECT_EQ(filters[i].mediums[1].Id, i + 1);
    EXPECT_EQ(filters[i].mediums[1].Flags, 0u);
  }
  ks.Remove(a);
  RemoveAndCheck(b);
}

TEST_F(DeviceTest, StartsAgainAfterStopAndWithoutStop) {
  PluggedCard& card = Plug("kind2.card");
  PKSDEVICE device = AddAndStart(card);
  ks.Stop(device);
  EXPECT_EQ(ks.Start(device, card.resources), STATUS_SUCCESS);
  WaitForBringUp(device);
  EXPECT_EQ(ks.Start(device, card.resources), STATUS_SUCCESS);  // a start on a started card tears down first
  WaitForBringUp(device);
  EXPECT_TRUE(Context(device)->started);
  EXPECT_EQ(kernel.LiveSystemThreads(), 1u);
  RemoveAndCheck(device);  // remove of a started card tears down
}

TEST_F(DeviceTest, AddFailsWhenTheContextCannotBeAllocated) {
  PluggedCard& card = Plug("kind1.card");
  kernel.FailNthRequest(1);
  PKSDEVICE device = reinterpret_cast<PKSDEVICE>(1);
  EXPECT_EQ(ks.Add(card.pdo, &device), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(device, nullptr);
  EXPECT_THAT(kernel.CheckUnload(), IsEmpty());
}

// ---- Failure campaigns: every run fails with an error status (or keeps a registry default), and nothing of
// the driver's is left after remove; a clean start follows.

void CheckRun(ksim::Kernel& kernel, size_t injectedBefore, NTSTATUS status) {
  const auto& injected = kernel.InjectedFailures();
  if (injected.size() == injectedBefore) {
    EXPECT_EQ(status, STATUS_SUCCESS);
    return;
  }
  const std::string& what = injected.back();
  // A registry read that cannot get its memory keeps its default: start goes on.
  if (what.find("registry_config.cpp") != std::string::npos) return;
  EXPECT_FALSE(NT_SUCCESS(status)) << what;
}

TEST_F(DeviceTest, EachAllocationSiteFailingOnceFailsStartCleanly) {
  PluggedCard& card = Plug("kind2.card");
  kernel.FailEachSiteOnce(true);
  size_t runs = 0;
  for (;; ++runs) {
    ASSERT_LT(runs, 100u);
    size_t before = kernel.InjectedFailures().size();
    PKSDEVICE device = nullptr;
    NTSTATUS status = ks.Add(card.pdo, &device);
    if (NT_SUCCESS(status)) {
      status = ks.Start(device, card.resources);
      kernel.RunUntilIdle();
      if (device->Started) ks.Stop(device);
      ks.Remove(device);
    }
    EXPECT_THAT(kernel.CheckUnload(), IsEmpty()) << "run " << runs;
    CheckRun(kernel, before, status);
    if (kernel.InjectedFailures().size() == before) break;
  }
  kernel.FailEachSiteOnce(false);
  RecordProperty("failedSites", static_cast<int>(kernel.InjectedFailures().size()));
  // Pool, mappings, adapter, buffers, interrupt, threads, filter registration, registry strings.
  EXPECT_GE(kernel.InjectedFailures().size(), 20u);
  EXPECT_THAT(kernel.InjectedFailures(), ::testing::Contains(HasSubstr("interrupt")));
  EXPECT_THAT(kernel.InjectedFailures(), ::testing::Contains(HasSubstr("system thread")));
  EXPECT_THAT(kernel.InjectedFailures(), ::testing::Contains(HasSubstr("common buffer")));
}

TEST_F(DeviceTest, EveryNthRequestFailingFailsStartCleanly) {
  PluggedCard& card = Plug("kind3.card");
  for (uint64_t n = 1;; ++n) {
    ASSERT_LT(n, 200u);
    size_t before = kernel.InjectedFailures().size();
    kernel.FailNthRequest(n);
    PKSDEVICE device = nullptr;
    NTSTATUS status = ks.Add(card.pdo, &device);
    if (NT_SUCCESS(status)) {
      status = ks.Start(device, card.resources);
      kernel.RunUntilIdle();
      ks.Remove(device);
    }
    kernel.FailNthRequest(0);
    EXPECT_THAT(kernel.CheckUnload(), IsEmpty()) << "request " << n;
    CheckRun(kernel, before, status);
    if (kernel.InjectedFailures().size() == before) {
      RecordProperty("requestsPerStart", static_cast<int>(n - 1));
      break;
    }
  }
}

// ---- Power

TEST_F(DeviceTest, QueryPowerRefusesWhileStreamsRunAndOtherStates) {
  PluggedCard& card = Plug("kind1.card");
  PKSDEVICE device = AddAndStart(card);
  struct Case {
    ULONG streams;
    DEVICE_POWER_STATE to;
    NTSTATUS status;
  };
  const Case cases[] = {
      {0, PowerDeviceD3, STATUS_SUCCESS},
      {0, PowerDeviceD0, STATUS_SUCCESS},
      {pelgar::kStreamVbi, PowerDeviceD3, STATUS_INVALID_DEVICE_STATE},
      {pelgar::kStreamMpeg, PowerDeviceD0, STATUS_INVALID_DEVICE_STATE},
      {0, PowerDeviceD2, STATUS_NOT_SUPPORTED},
      {0, PowerDeviceD1, STATUS_NOT_SUPPORTED},
  };
  for (const Case& c : cases) {
    Context(device)->streamMask = c.streams;
    EXPECT_EQ(ks.QueryPower(device, c.to), c.status) << "streams " << c.streams << " to D" << c.to - 1;
  }
  Context(device)->streamMask = 0;
  RemoveAndCheck(device);
}

TEST_F(DeviceTest, PowerDownStopsTheMonitorAndPowerUpBringsTheEncoderBack) {
  PluggedCard& card = Plug("kind2.card");
  PKSDEVICE device = AddAndStart(card);
  PelgarDevice* d = Context(device);
  pelgar::NoteEncoderActivity(d);
  ASSERT_TRUE(pelgar::g_activity.awake);

  ks.SetPower(device, PowerDeviceD3);
  EXPECT_EQ(d->powerState, pelgar::kPowerD3);
  EXPECT_EQ(kernel.LiveSystemThreads(), 0u);
  EXPECT_FALSE(d->mailbox->Ready());
  EXPECT_FALSE(pelgar::g_activity.awake);
  EXPECT_FALSE(d->peripheralB8->Initialised());
  EXPECT_FALSE(d->peripheral24->Initialised());
  card.sim->I2c().ClearLog();
  ks.SetPower(device, PowerDeviceD3);  // already there: nothing happens
  EXPECT_EQ(card.I2cLog(), "");

  ks.SetPower(device, PowerDeviceD0);
  EXPECT_EQ(d->powerState, pelgar::kPowerD0);
  EXPECT_EQ(d->bringUpStatus, STATUS_PENDING);
  WaitForBringUp(device);
  EXPECT_NE(d->bringUpStatus, STATUS_PENDING);
  EXPECT_TRUE(d->monitor->Running());
  // The next command wakes the front end: the peripherals get their tables again.
  pelgar::NoteEncoderActivity(d);
  EXPECT_TRUE(d->peripheralB8->Initialised());
  EXPECT_TRUE(d->peripheral24->Initialised());
  RemoveAndCheck(device);
}

TEST_F(DeviceTest, PowerChangesOfAStoppedCardTouchNothing) {
  PluggedCard& card = Plug("kind1.card");
  PKSDEVICE device = Add(card);
  ks.SetPower(device, PowerDeviceD3);
  ks.SetPower(device, PowerDeviceD0);
  EXPECT_EQ(Context(device)->powerState, pelgar::kPowerD0);
  EXPECT_EQ(kernel.LiveSystemThreads(), 0u);
  EXPECT_EQ(card.I2cLog(), "");
  RemoveAndCheck(device);
}

// ---- Idle power-down

TEST_F(DeviceTest, FrontEndSleepsAfterMoreThanThirtyIdleSeconds) {
  PluggedCard& card = Plug("kind1.card");
  PKSDEVICE device = AddAndStart(card);
  pelgar::NoteEncoderActivity(Context(device));
  EXPECT_TRUE(pelgar::g_activity.awake);
  // The first monitor tick after the command sees it; the next 31 are idle, and the last of them sleeps.
  kernel.RunFor(31 * ksim::kSecond);
  EXPECT_TRUE(pelgar::g_activity.awake);
  kernel.RunFor(ksim::kSecond);
  EXPECT_FALSE(pelgar::g_activity.awake);
  EXPECT_EQ(pelgar::g_activity.idleSeconds, 0);
  RemoveAndCheck(device);
}

TEST_F(DeviceTest, ActivityAtDispatchLevelOnlyCounts) {
  PluggedCard& card = Plug("kind2.card");
  PKSDEVICE device = AddAndStart(card);
  card.sim->I2c().ClearLog();
  LONG ticks = pelgar::g_activity.ticks;
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  pelgar::NoteEncoderActivity(Context(device));
  KeLowerIrql(old);
  EXPECT_EQ(pelgar::g_activity.ticks, ticks + 1);
  EXPECT_FALSE(pelgar::g_activity.awake);
  EXPECT_EQ(card.I2cLog(), "");
  RemoveAndCheck(device);
}

// ---- Property requests reach their card

PelgarDevice* g_found = nullptr;
NTSTATUS FindDevice(PIRP irp, PKSIDENTIFIER, PVOID) {
  g_found = pelgar::DeviceFromIrp(irp);
  return g_found != nullptr ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

TEST_F(DeviceTest, DeviceFromIrpFindsTheCardOfTheFilter) {
  static const GUID set = {0x3D23B637, 0x97FE, 0x422A, {0x9D, 0xB3, 0x24, 0x42, 0x10, 0xBD, 0x72, 0xF6}};
  static const KSPROPERTY_ITEM items[] = {
      {0, FindDevice, sizeof(KSPROPERTY), 4, nullptr, nullptr, 0, nullptr, nullptr, 4}};
  static const KSPROPERTY_SET sets[] = {{&set, 1, items, 0, nullptr}};
  static const KSAUTOMATION_TABLE table = {1, sizeof(KSPROPERTY_ITEM), sets, 0, 0, nullptr, 0, 0, nullptr, nullptr};
  PluggedCard& first = Plug("kind1.card", "first");
  PluggedCard& second = Plug("kind78.card", "second");
  PKSDEVICE a = Add(first);
  PKSDEVICE b = Add(second);
  PKSFILTER filter = ks.OpenFilter(b, nullptr);
  ULONG data = 0;
  ULONG_PTR returned = 0;
  EXPECT_EQ(ks.Property(filter, &table, set, 0, KSPROPERTY_TYPE_GET, &data, 4, &returned), STATUS_SUCCESS);
  EXPECT_EQ(g_found, Context(b));
  IRP notToAFilter{};
  EXPECT_EQ(pelgar::DeviceFromIrp(&notToAFilter), nullptr);
  ks.CloseFilter(filter);
  ks.Remove(a);
  RemoveAndCheck(b);
}

}  // namespace
