// The per-card device context and its lifecycle: add, start (resources, mapping, DMA adapter, common
// buffers, board probe and component construction, filters, interrupt, encoder bring-up), stop and
// tear-down, remove, and the device power states. `PelgarDevice` owns every component object of its card.
//
// Callbacks run at passive level on the plug-and-play manager's thread, except the interrupt routine
// (device IRQL). `lock` serialises the bring-up thread, stream start and stop and every encoder
// reconfiguration; the mailbox and I2C mutexes are taken inside it and never together.
#pragma once

#include "driver/chip_registers.h"
#include "driver/kernel/ks.h"

namespace pelgar {

class I2cBus;
class EncoderMailbox;
class VideoDecoder;
class TvAudioProcessor;
class StatusMonitor;
class CaptureDmaEngine;
class VbiRing;
class Crossbar;
class TunerControl;
class EncoderSettings;
class IntegratedRegisters;
class Peripheral;

// Device power states as `powerState` holds them.
inline constexpr ULONG kPowerD0 = 1;
inline constexpr ULONG kPowerD3 = 4;

// Stream bits of `streamMask`.
inline constexpr ULONG kStreamRawVideo = 0x01;
inline constexpr ULONG kStreamRawAudio = 0x02;
inline constexpr ULONG kStreamMpeg = 0x04;
inline constexpr ULONG kStreamVbi = 0x08;
inline constexpr ULONG kStreamAux = 0x10;

// Tuner codes the probe decides on.
inline constexpr ULONG kDefaultTunerType = 4;
inline constexpr ULONG kXc3028TunerType = 3028;
inline constexpr ULONG kIfDemodulatorTunerType = 78;

// Sizes of the window and the common buffers.
inline constexpr ULONG kWindowLength = 0x4000000;
inline constexpr ULONG kRegisterHalf = 0x2000000;
inline constexpr ULONG kVbiLines625 = 18;
inline constexpr ULONG kVbiLineBytes = 2912;
inline constexpr ULONG kCommonBuffer1Length = ((kVbiLines625 * kVbiLineBytes + 16) & ~255u) * 2 + 512;
inline constexpr ULONG kCommonBuffer2Length = 8192;

struct CommonBuffer {
  PVOID va;
  PHYSICAL_ADDRESS pa;
  ULONG length;
};

// Driver-wide encoder activity, shared by all cards: every mailbox command counts a tick, the monitor
// counts idle seconds, and the front end sleeps after a long idle time until the next command wakes it.
struct EncoderActivity {
  LONG ticks;
  LONG idleSeconds;
  LONG lastTicks;
  BOOLEAN awake;
};
extern EncoderActivity g_activity;
// Set by the encoder's VBI configuration for a 525-line standard.
extern BOOLEAN g_is525Lines;
// Idle seconds after which the front end goes to standby.
inline constexpr LONG kIdleSecondsBeforeStandby = 30;

struct PelgarDevice {
  // ---- Lifecycle (the device dispatch table's operations)
  // Add: allocates and initialises the context and attaches it to the device.
  static NTSTATUS Create(PKSDEVICE ksDevice, PelgarDevice** device);
  // Remove: tears down when still started, frees the context and detaches it.
  static void Destroy(PelgarDevice* device);
  NTSTATUS Start(PCM_RESOURCE_LIST translated);
  // Stop and failed starts: every component destroyed, resources given back; the context stays.
  void TearDown();
  NTSTATUS QueryPower(DEVICE_POWER_STATE to) const;
  void SetPower(DEVICE_POWER_STATE to);

  PDEVICE_OBJECT PhysicalDevice() const { return ksDevice->PhysicalDeviceObject; }
  // Registry values of this card under "DriverData" (see registry_config.h); *value keeps the default on
  // failure.
  NTSTATUS ReadValue(PCSTR name, ULONG* value) const;
  NTSTATUS WriteValue(PCSTR name, ULONG value) const;

  // ---- State
  PKSDEVICE ksDevice;  // the class driver's device: physical device object, bus data
  Peripheral* peripheralB8;
  Peripheral* peripheral24;
  Peripheral* peripheralF4;
  ULONG boardKind;      // 0 to 3, decided by the board probe
  ULONG tunerType;      // tuner code: 4 default, 3028 XC3028, 78 IF demodulator, else the EEPROM's
  ULONG videoStandard;  // configured KS analogue video standard
  PUCHAR base;          // mapped window
  ULONG length;
  ChipRegisters regs;  // base + 0x2000000
  PUCHAR mem;          // base: encoder memory
  EncoderMailbox* mailbox;
  ULONG streamMask;  // running streams (kStream*)
  VideoDecoder* decoder;
  TvAudioProcessor* audio;
  StatusMonitor* monitor;
  CaptureDmaEngine* dmaEngine;
  VbiRing* vbiRing;
  Crossbar* crossbar;
  TunerControl* tuners;
  I2cBus* i2c;  // the context's own reference
  PDMA_ADAPTER adapter;
  PKINTERRUPT interrupt;
  volatile BOOLEAN started;  // read by the interrupt routine
  volatile ULONG powerState;
  KMUTEX lock;
  EncoderSettings* settings;
  CommonBuffer commonBuffer1;     // VBI and raw data staging
  CommonBuffer commonBuffer2;     // audio staging
  PKSFILTERFACTORY firstFactory;  // the video capture filter factory
  ULONG instance;                 // 1 for the first card added
  PVOID bringUpThread;            // referenced thread object of the running or ended bring-up
  NTSTATUS bringUpStatus;         // result of the last encoder bring-up (STATUS_PENDING while it runs)
  IntegratedRegisters* integratedRegs;
  PVOID pins[5];  // the pin owning each stream index, or null

 private:
  NTSTATUS ProbeAndConstruct();
  NTSTATUS ProbeTunerType();
  NTSTATUS ProbePeripheral(UCHAR address, Peripheral** peripheral);
  NTSTATUS ChooseFrontEnd(ULONG boardType);
  NTSTATUS RegisterTvAudioMediums();
  NTSTATUS ConnectInterrupt(const CM_PARTIAL_RESOURCE_DESCRIPTOR& resource);
  NTSTATUS StartBringUp();
  void WaitForBringUp();
  static VOID BringUpThread(PVOID context);
  static BOOLEAN InterruptService(PKINTERRUPT interrupt, PVOID context);
};

// Every mailbox command calls this first: counts activity and wakes the front end after idle standby.
void NoteEncoderActivity(PelgarDevice* device);
// One second of the monitor: the front end goes to standby after more than 30 seconds without commands.
void CountIdleSecond(PelgarDevice* device);

// The device behind a property request: filter, then its device, then the context; null when a step fails.
PelgarDevice* DeviceFromIrp(PIRP irp);

// The device lock (passive level): held around stream start and stop and every encoder reconfiguration.
void LockDevice(PelgarDevice* device);
void UnlockDevice(PelgarDevice* device);

// Whether the card runs a 525-line standard: its decoder's, or the driver-wide flag before it has one.
bool CardIs525(const PelgarDevice* device);

// The device descriptor registered by DriverEntry, and the driver-wide state it resets.
extern const KSDEVICE_DESCRIPTOR kDeviceDescriptor;
extern LONG g_instanceCounter;

}  // namespace pelgar

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);
