#include "driver/device.h"

#include "driver/crossbar.h"
#include "driver/decoders.h"
#include "driver/dma_engine.h"
#include "driver/driver_services.h"
#include "driver/encoder_mailbox.h"
#include "driver/encoder_settings.h"
#include "driver/filters.h"
#include "driver/i2c_bus.h"
#include "driver/peripherals.h"
#include "driver/registry_config.h"
#include "driver/status_monitor.h"
#include "driver/tuner_control.h"

namespace pelgar {

EncoderActivity g_activity;
BOOLEAN g_is525Lines;
LONG g_instanceCounter;

namespace {

// I2C addresses of the board probe (8-bit, write form).
constexpr UCHAR kEepromAddress = 0xA0;         // board EEPROM: tuner code record at 0x10
constexpr UCHAR kIfDemodulatorAddress = 0x86;  // absent on XC3028 boards
constexpr UCHAR kSiliconTunerAddress = 0x96;   // IF demodulator of the kind-78 tuner
constexpr UCHAR kDecoderAddress = 0x42;        // video decoder, answers tell the board kinds apart

// The EEPROM's tuner record: signature 0xAA 0x55, a zero byte, then the tuner code.
constexpr UCHAR kTunerRecordOffset = 0x10;
constexpr UCHAR kTunerRecordSignature0 = 0xAA;
constexpr UCHAR kTunerRecordSignature1 = 0x55;

// DMA: 32-bit scatter/gather bus master; the class driver's mapping tables use 16-byte entries.
constexpr ULONG kMaximumTransfer = 0xFFFFFFF8;
constexpr ULONG kMappingTableStride = 16;

// KSCATEGORY_TVAUDIO and the TV audio filter's mediums (input from the tuner, output to the crossbar).
constexpr GUID kCategoryTvAudio = {0xA799A802, 0xA46D, 0x11D0, {0xA1, 0x8C, 0x00, 0xA0, 0x24, 0x01, 0xDC, 0xD4}};
constexpr GUID kMediumTvAudioIn = {0x0F8ED063, 0xF820, 0x4A1F, {0x98, 0x22, 0xEA, 0xAE, 0x04, 0x3A, 0x19, 0xAB}};
constexpr GUID kMediumTvAudioOut = {0x0F8ED064, 0xF820, 0x4A1F, {0x98, 0x22, 0xEA, 0xAE, 0x04, 0x3A, 0x19, 0xAB}};

}  // namespace

// ---- Add and remove

NTSTATUS PelgarDevice::Create(PKSDEVICE ksDevice, PelgarDevice** device) {
  *device = NewTagged<PelgarDevice>(std::source_location::current());
  if (*device == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  PelgarDevice* d = *device;
  d->ksDevice = ksDevice;
  d->tunerType = kDefaultTunerType;
  d->powerState = kPowerD0;
  d->bringUpStatus = STATUS_DEVICE_NOT_READY;
  KeInitializeMutex(&d->lock, 0);
  d->instance = static_cast<ULONG>(InterlockedIncrement(&g_instanceCounter));
  ksDevice->Context = d;
  return STATUS_SUCCESS;
}

void PelgarDevice::Destroy(PelgarDevice* device) {
  if (device == nullptr) return;
  if (device->started) device->TearDown();
  device->ksDevice->Context = nullptr;
  DeleteTagged(device);
}

NTSTATUS PelgarDevice::ReadValue(PCSTR name, ULONG* value) const {
  return ReadDriverValue(PhysicalDevice(), name, value);
}

NTSTATUS PelgarDevice::WriteValue(PCSTR name, ULONG value) const {
  return WriteDriverValue(PhysicalDevice(), name, value);
}

// ---- Start

NTSTATUS PelgarDevice::Start(PCM_RESOURCE_LIST translated) {
  for (PVOID& pin : pins) pin = nullptr;

  // Exactly one interrupt; the memory range is the card's 64 MiB window (other ranges are ignored).
  const CM_PARTIAL_RESOURCE_DESCRIPTOR* irq = nullptr;
  const CM_PARTIAL_RESOURCE_DESCRIPTOR* window = nullptr;
  bool duplicate = false;
  const CM_FULL_RESOURCE_DESCRIPTOR* full = translated != nullptr ? translated->List : nullptr;
  for (ULONG f = 0; translated != nullptr && f < translated->Count; ++f) {
    const CM_PARTIAL_RESOURCE_LIST& partial = full->PartialResourceList;
    // The list runs past the one-element array the structure declares: index through a plain pointer.
    const CM_PARTIAL_RESOURCE_DESCRIPTOR* descriptors = partial.PartialDescriptors;
    for (ULONG i = 0; i < partial.Count; ++i) {
      const CM_PARTIAL_RESOURCE_DESCRIPTOR& r = descriptors[i];
      if (r.Type == CmResourceTypeInterrupt) {
        duplicate |= irq != nullptr;
        irq = &r;
      } else if (r.Type == CmResourceTypeMemory && r.u.Memory.Length == kWindowLength && window == nullptr) {
        window = &r;
      }
    }
    full = reinterpret_cast<const CM_FULL_RESOURCE_DESCRIPTOR*>(descriptors + partial.Count);
  }
  if (duplicate || irq == nullptr || window == nullptr) {
    TearDown();
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  if (started) TearDown();  // a start without a stop before it

  NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;
  base = static_cast<PUCHAR>(MmMapIoSpace(window->u.Memory.Start, kWindowLength, MmNonCached));
  if (base != nullptr) {
    length = kWindowLength;
    mem = base;
    regs = ChipRegisters(base + kRegisterHalf);
    DEVICE_DESCRIPTION description;
    RtlZeroMemory(&description, sizeof description);
    description.Version = DEVICE_DESCRIPTION_VERSION;
    description.Master = TRUE;
    description.ScatterGather = TRUE;
    description.Dma32BitAddresses = TRUE;
    description.InterfaceType = PCIBus;
    description.MaximumLength = kMaximumTransfer;
    ULONG mapRegisters = 0;
    adapter = IoGetDmaAdapter(PhysicalDevice(), &description, &mapRegisters);
  }
  if (adapter != nullptr) {
    KsDeviceRegisterAdapterObject(ksDevice, reinterpret_cast<PADAPTER_OBJECT>(adapter), kMaximumTransfer,
                                  kMappingTableStride);
    commonBuffer1.va =
        adapter->DmaOperations->AllocateCommonBuffer(adapter, kCommonBuffer1Length, &commonBuffer1.pa, FALSE);
    if (commonBuffer1.va != nullptr) commonBuffer1.length = kCommonBuffer1Length;
  }
  if (commonBuffer1.va != nullptr) {
    commonBuffer2.va =
        adapter->DmaOperations->AllocateCommonBuffer(adapter, kCommonBuffer2Length, &commonBuffer2.pa, FALSE);
    if (commonBuffer2.va != nullptr) {
      commonBuffer2.length = kCommonBuffer2Length;
      status = STATUS_SUCCESS;
    }
  }
  if (NT_SUCCESS(status)) status = ProbeAndConstruct();
  if (NT_SUCCESS(status)) status = CreateFilterFactories(this);
  if (NT_SUCCESS(status)) status = TunerControl::Create(this, &tuners);
  if (NT_SUCCESS(status)) status = RegisterTvAudioMediums();
  if (NT_SUCCESS(status)) status = Crossbar::Create(this, &crossbar);
  if (NT_SUCCESS(status)) status = ConnectInterrupt(*irq);
  if (NT_SUCCESS(status)) status = StartBringUp();
  if (!NT_SUCCESS(status)) {
    TearDown();
    return status;
  }
  started = TRUE;
  return STATUS_SUCCESS;
}

NTSTATUS PelgarDevice::ProbeAndConstruct() {
  NTSTATUS status = I2cBus::Create(regs, &i2c);
  if (NT_SUCCESS(status)) status = EncoderMailbox::Create(regs, mem, this, &mailbox);
  if (!NT_SUCCESS(status)) return status;

  ULONG boardType = 1;
  ReadValue("BoardType", &boardType);

  // Power the front end: GPIO 0 low, GPIO 1 high, then give the chips time to come out of reset.
  i2c->SetGpio(0, FALSE);
  i2c->SetGpio(1, TRUE);
  SleepMs(200);
  SleepMs(200);

  status = ProbePeripheral(Peripheral::kAddressB8, &peripheralB8);
  if (NT_SUCCESS(status)) status = ProbePeripheral(Peripheral::kAddress24, &peripheral24);
  if (NT_SUCCESS(status)) status = ProbePeripheral(Peripheral::kAddressF4, &peripheralF4);
  if (!NT_SUCCESS(status)) return status;

  // Program the configured tuner code into the EEPROM, in the record layout the probe below reads back.
  ULONG writeTunerType = 0;
  ReadValue("WriteTunerType", &writeTunerType);
  if (writeTunerType != 0) {
    ULONG configured = kDefaultTunerType;
    ReadValue("TunerType", &configured);
    if (configured > 0xFF) return STATUS_UNSUCCESSFUL;  // the record holds one byte
    const UCHAR record[5] = {kTunerRecordOffset, kTunerRecordSignature0, kTunerRecordSignature1, 0x00,
                             static_cast<UCHAR>(configured)};
    if (!NT_SUCCESS(i2c->Write(kEepromAddress, sizeof record, record, TRUE, FALSE))) return STATUS_UNSUCCESSFUL;
  }

  videoStandard = 1;  // NTSC-M
  ReadValue("VideoStandard", &videoStandard);

  ProbeTunerType();
  status = ChooseFrontEnd(boardType);
  if (!NT_SUCCESS(status)) return status;

  UCHAR zero[2] = {0, 0};
  KsDeviceSetBusData(ksDevice, PCI_WHICHSPACE_CONFIG, zero, 0x40, sizeof zero);

  status = VbiRing::Create(mem, commonBuffer1.va, commonBuffer1.pa, commonBuffer1.length, &vbiRing);
  if (NT_SUCCESS(status))
    status = CaptureDmaEngine::Create(regs, mem, mailbox, vbiRing, commonBuffer2.va, commonBuffer2.pa,
                                      commonBuffer2.length, &dmaEngine);
  if (NT_SUCCESS(status)) status = StatusMonitor::Create(decoder, &monitor);
  if (NT_SUCCESS(status)) status = EncoderSettings::Create(this, &settings);
  if (!NT_SUCCESS(status)) return status;
  return monitor->Start();
}

NTSTATUS PelgarDevice::ProbePeripheral(UCHAR address, Peripheral** peripheral) {
  if (!Peripheral::Probe(i2c, address)) return STATUS_SUCCESS;  // not fitted
  NTSTATUS status = Peripheral::Create(i2c, this, address, peripheral);
  if (NT_SUCCESS(status)) (*peripheral)->Initialise();
  return status;
}

NTSTATUS PelgarDevice::ProbeTunerType() {
  // XC3028 boards have no IF demodulator at 0x86.
  const UCHAR zeros[4] = {0, 0, 0, 0};
  if (!NT_SUCCESS(i2c->Write(kIfDemodulatorAddress, sizeof zeros, zeros, TRUE, FALSE))) {
    tunerType = kXc3028TunerType;
  } else {
    tunerType = kDefaultTunerType;
    UCHAR offset = kTunerRecordOffset;
    UCHAR record[4] = {0, 0, 0, 0};
    if (NT_SUCCESS(i2c->WriteRead(kEepromAddress, 1, &offset, sizeof record, record, FALSE)) &&
        record[0] == kTunerRecordSignature0 && record[1] == kTunerRecordSignature1)
      tunerType = record[3];
  }
  // The kind-78 tuner's IF demodulator keeps a value written to its register 0x20.
  const UCHAR write[2] = {0x20, 0x02};
  i2c->Write(kSiliconTunerAddress, sizeof write, write, TRUE, FALSE);
  UCHAR reg = 0x20;
  UCHAR answer = 0;
  if (NT_SUCCESS(i2c->WriteRead(kSiliconTunerAddress, 1, &reg, 1, &answer, FALSE)) && answer == 2)
    tunerType = kIfDemodulatorTunerType;
  return STATUS_SUCCESS;
}

NTSTATUS PelgarDevice::ChooseFrontEnd(ULONG boardType) {
  VideoDecoder::Kind decoderKind = VideoDecoder::Kind::A;
  TvAudioProcessor::Kind audioKind = TvAudioProcessor::Kind::A;
  if (boardType == 0) {
    boardKind = 0;
  } else if (boardType == 1) {
    // Decoder A keeps 0x15 in register 0 whatever is written; decoder B has 16-bit registers that hold a
    // written value; the integrated decoder does neither.
    const UCHAR probe1[2] = {0x00, 0x05};
    i2c->Write(kDecoderAddress, sizeof probe1, probe1, TRUE, FALSE);
    UCHAR reg0 = 0x00;
    UCHAR answer = 0;
    if (NT_SUCCESS(i2c->WriteRead(kDecoderAddress, 1, &reg0, 1, &answer, FALSE)) && answer == 0x15) {
      boardKind = 1;
      audioKind = TvAudioProcessor::Kind::B;
    } else {
      const UCHAR probe2[3] = {0x01, 0x0A, 0x55};
      i2c->Write(kDecoderAddress, sizeof probe2, probe2, TRUE, FALSE);
      const UCHAR reg10a[2] = {0x01, 0x0A};
      answer = 0;
      if (NT_SUCCESS(i2c->WriteRead(kDecoderAddress, sizeof reg10a, reg10a, 1, &answer, FALSE)) && answer == 0x55) {
        boardKind = 2;
        decoderKind = VideoDecoder::Kind::B;
        audioKind = TvAudioProcessor::Kind::C;
      } else {
        boardKind = 3;
        decoderKind = VideoDecoder::Kind::IntegratedAv;
        audioKind = TvAudioProcessor::Kind::Integrated;
        NTSTATUS status = IntegratedRegisters::Create(i2c, &integratedRegs);
        if (!NT_SUCCESS(status)) return STATUS_INSUFFICIENT_RESOURCES;
      }
    }
  } else {
    return STATUS_UNSUCCESSFUL;
  }
  NTSTATUS status = VideoDecoder::Create(decoderKind, i2c, this, videoStandard, integratedRegs, &decoder);
  if (NT_SUCCESS(status)) status = TvAudioProcessor::Create(audioKind, i2c, this, &audio);
  return status;
}

NTSTATUS PelgarDevice::RegisterTvAudioMediums() {
  KSPIN_MEDIUM mediums[2] = {{kMediumTvAudioIn, instance, 0}, {kMediumTvAudioOut, instance, 0}};
  BOOL outputs[2] = {FALSE, TRUE};
  return KsRegisterFilterWithNoKSPins(PhysicalDevice(), &kCategoryTvAudio, 2, outputs, mediums, nullptr);
}

NTSTATUS PelgarDevice::ConnectInterrupt(const CM_PARTIAL_RESOURCE_DESCRIPTOR& r) {
  auto irql = static_cast<KIRQL>(r.u.Interrupt.Level);
  KINTERRUPT_MODE mode = (r.Flags & CM_RESOURCE_INTERRUPT_LATCHED) != 0 ? Latched : LevelSensitive;
  BOOLEAN shared = r.ShareDisposition == CmResourceShareShared;
  return IoConnectInterrupt(&interrupt, InterruptService, this, nullptr, r.u.Interrupt.Vector, irql, irql, mode,
                            shared, r.u.Interrupt.Affinity, FALSE);
}

// Device IRQL. Interrupts are not the card's while it is not started or powered down.
BOOLEAN PelgarDevice::InterruptService(PKINTERRUPT, PVOID context) {
  auto* d = static_cast<PelgarDevice*>(context);
  if (!d->started || d->powerState == kPowerD3 || d->dmaEngine == nullptr) return FALSE;
  return d->dmaEngine->Isr();
}

// ---- Encoder bring-up

NTSTATUS PelgarDevice::StartBringUp() {
  WaitForBringUp();
  bringUpStatus = STATUS_PENDING;
  HANDLE handle = nullptr;
  NTSTATUS status = PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, BringUpThread, this);
  if (!NT_SUCCESS(status)) {
    bringUpStatus = status;
    return status;
  }
  status = ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, *PsThreadType, KernelMode, &bringUpThread, nullptr);
  ZwClose(handle);
  if (!NT_SUCCESS(status)) bringUpThread = nullptr;
  return status;
}

void PelgarDevice::WaitForBringUp() {
  if (bringUpThread == nullptr) return;
  KeWaitForSingleObject(bringUpThread, Executive, KernelMode, FALSE, nullptr);
  ObDereferenceObject(bringUpThread);
  bringUpThread = nullptr;
}

// System thread, passive level: firmware, the audio processor's own firmware, then a full configuration.
VOID PelgarDevice::BringUpThread(PVOID context) {
  auto* d = static_cast<PelgarDevice*>(context);
  LockDevice(d);
  NTSTATUS status = d->mailbox->LoadAndStart();
  if (NT_SUCCESS(status)) status = d->audio->FirmwareHook();
  if (NT_SUCCESS(status)) status = d->mailbox->Configure(d, TRUE);
  d->bringUpStatus = status;
  UnlockDevice(d);
}

// ---- Stop

void PelgarDevice::TearDown() {
  started = FALSE;
  WaitForBringUp();
  if (monitor != nullptr) monitor->Stop();
  if (interrupt != nullptr) IoDisconnectInterrupt(interrupt);
  if (base != nullptr) MmUnmapIoSpace(base, length);
  if (commonBuffer1.va != nullptr)
    adapter->DmaOperations->FreeCommonBuffer(adapter, commonBuffer1.length, commonBuffer1.pa, commonBuffer1.va,
                                             FALSE);
  if (commonBuffer2.va != nullptr)
    adapter->DmaOperations->FreeCommonBuffer(adapter, commonBuffer2.length, commonBuffer2.pa, commonBuffer2.va,
                                             FALSE);
  EncoderMailbox::Destroy(mailbox);
  Crossbar::Destroy(crossbar);
  TunerControl::Destroy(tuners);
  StatusMonitor::Destroy(monitor);
  VideoDecoder::Destroy(decoder);
  VbiRing::Destroy(vbiRing);
  CaptureDmaEngine::Destroy(dmaEngine);
  TvAudioProcessor::Destroy(audio);
  IntegratedRegisters::Destroy(integratedRegs);
  EncoderSettings::Destroy(settings);
  Peripheral::Destroy(peripheralB8);
  Peripheral::Destroy(peripheral24);
  Peripheral::Destroy(peripheralF4);
  if (i2c != nullptr) i2c->Release();

  interrupt = nullptr;
  base = mem = nullptr;
  length = 0;
  regs = ChipRegisters();
  commonBuffer1 = CommonBuffer{};
  commonBuffer2 = CommonBuffer{};
  mailbox = nullptr;
  crossbar = nullptr;
  tuners = nullptr;
  monitor = nullptr;
  decoder = nullptr;
  vbiRing = nullptr;
  dmaEngine = nullptr;
  audio = nullptr;
  integratedRegs = nullptr;
  settings = nullptr;
  peripheralB8 = peripheral24 = peripheralF4 = nullptr;
  i2c = nullptr;
  firstFactory = nullptr;
  if (adapter != nullptr) adapter->DmaOperations->PutDmaAdapter(adapter);
  adapter = nullptr;
}

// ---- Power

NTSTATUS PelgarDevice::QueryPower(DEVICE_POWER_STATE to) const {
  if (to != PowerDeviceD0 && to != PowerDeviceD3) return STATUS_NOT_SUPPORTED;
  return streamMask != 0 ? STATUS_INVALID_DEVICE_STATE : STATUS_SUCCESS;
}

void PelgarDevice::SetPower(DEVICE_POWER_STATE to) {
  ULONG target = to == PowerDeviceD0 ? kPowerD0 : to == PowerDeviceD3 ? kPowerD3 : 0;
  if (target == 0 || target == powerState) return;
  if (target == kPowerD3) {
    // A bring-up still loading firmware finishes first, so the mailbox it readies is then reset.
    WaitForBringUp();
    powerState = kPowerD3;
    if (tuners != nullptr) tuners->Standby();
    if (peripheralB8 != nullptr) peripheralB8->ForgetInitialisation();
    if (peripheral24 != nullptr) peripheral24->ForgetInitialisation();
    g_activity.awake = FALSE;
    if (monitor != nullptr) monitor->Stop();
    if (decoder != nullptr) decoder->PowerDown();
    if (mailbox != nullptr) mailbox->Reset();
    return;
  }
  powerState = kPowerD0;
  if (!started) return;
  StartBringUp();  // a failure leaves the mailbox not ready; commands then fail
  tuners->ReapplyAfterPowerUp();
  monitor->Start();
}

// ---- Encoder activity

void NoteEncoderActivity(PelgarDevice* device) {
  InterlockedIncrement(&g_activity.ticks);
  g_activity.idleSeconds = 0;
  // The wake-up talks I2C and waits: never from DISPATCH_LEVEL (a posted command from a DPC only counts).
  if (g_activity.awake || KeGetCurrentIrql() >= DISPATCH_LEVEL) return;
  g_activity.awake = TRUE;
  if (device->decoder != nullptr) device->decoder->PowerUp();
  if (device->audio != nullptr) device->audio->Wake();
  if (device->tuners != nullptr) device->tuners->Wake();
  if (device->peripheralB8 != nullptr) device->peripheralB8->Initialise();
  if (device->peripheral24 != nullptr) device->peripheral24->Initialise();
}

void CountIdleSecond(PelgarDevice* device) {
  LONG ticks = g_activity.ticks;
  if (ticks == g_activity.lastTicks)
    g_activity.idleSeconds += 1;
  else
    g_activity.lastTicks = ticks;
  if (g_activity.idleSeconds > kIdleSecondsBeforeStandby && g_activity.awake) {
    if (device->tuners != nullptr) device->tuners->Standby();
    if (device->decoder != nullptr) device->decoder->PowerDown();
    g_activity.awake = FALSE;
    g_activity.idleSeconds = 0;
  }
}

void LockDevice(PelgarDevice* device) { KeWaitForSingleObject(&device->lock, Executive, KernelMode, FALSE, nullptr); }
void UnlockDevice(PelgarDevice* device) { KeReleaseMutex(&device->lock, FALSE); }

bool CardIs525(const PelgarDevice* device) {
  return device->decoder != nullptr ? device->decoder->Is525Line() : g_is525Lines != FALSE;
}

PelgarDevice* DeviceFromIrp(PIRP irp) {
  PKSFILTER filter = KsGetFilterFromIrp(irp);
  if (filter == nullptr) return nullptr;
  PKSDEVICE device = KsGetDevice(filter);
  if (device == nullptr) return nullptr;
  return static_cast<PelgarDevice*>(device->Context);
}

}  // namespace pelgar
