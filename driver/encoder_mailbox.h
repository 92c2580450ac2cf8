// The encoder's command mailbox in encoder memory and the firmware load that brings the encoder up.
//
// The MPEG encoder runs its own firmware out of encoder memory. At every bring-up the driver holds the
// encoder's processor in reset, copies "nvpelgar.rom" from the system's driver folder into encoder memory,
// patches the image's loader block, releases the processor and looks for the four signature words the
// running firmware writes in front of its mailboxes. From then on the encoder is driven by commands:
// mailbox 0 carries waited commands (one at a time, under the mailbox mutex, at passive level), mailboxes
// 1 ... 7 carry posted commands from the DMA engine's DPCs, which nobody waits for.
//
// Mailbox layout (little-endian words, mailbox 0 at MailboxOffset(), the others 80 bytes apart):
//   +0 flags (3: handed to the firmware; the firmware sets bit 2 when done), +4 command code, +8 return
//   value, +12 time-out word (always 0x60000000), +16 ... +76 sixteen argument words, results on completion.
//
// Failures are errors here: a missing, short or refused image leaves the mailbox not ready, and every
// command then fails with STATUS_DEVICE_NOT_READY; a waited command the firmware does not answer in time
// fails with STATUS_IO_TIMEOUT; a posted command that finds every posting mailbox busy is counted and fails
// with STATUS_DEVICE_BUSY.
#pragma once

#include <initializer_list>

#include "driver/chip_registers.h"

namespace pelgar {

struct PelgarDevice;

// One encoder command: code, arguments in, results out.
struct EncoderCommand {
  ULONG code;
  UCHAR argumentCount;  // 0 to 16
  UCHAR resultCount;    // 0 to 16: result words read back on completion
  ULONG words[16];      // arguments on entry, results on completion
  ULONG returnValue;    // written by the firmware

  // A command with the given arguments (at most 16) and the number of result words to read back.
  static EncoderCommand Make(ULONG code, std::initializer_list<ULONG> arguments, UCHAR results = 0);
};

// The VBI ring the firmware reported to the VBI configuration, checked to lie inside encoder memory.
struct VbiLayout {
  bool valid;           // false: the configuration failed or the ring does not fit; VBI stays off
  ULONG ringOffset;     // encoder memory offset of buffer 0; the write position word is 4 bytes before
  ULONG bufferSize;     // S: bytes per buffer
  ULONG bufferCount;    // N
  ULONG linesPerField;  // 12 (525-line) or 18
  UCHAR startCodes[2];  // the VBI parser's start-code bytes for the first and the second field
};

class EncoderMailbox {
 public:
  // Encoder memory offset of mailbox 0 until the firmware's signature has been found.
  static constexpr ULONG kDefaultMailboxOffset = 0x110;
  // Timing of a waited command: first look after 1 ms, then every 10 ms; after the 21st look again the
  // firmware has had its time and the command fails.
  static constexpr ULONG kFirstPollMs = 1;
  static constexpr ULONG kPollMs = 10;
  static constexpr ULONG kPolls = 21;

  // Writes the interrupt mask with every source masked (and reads it back to flush the write).
  static NTSTATUS Create(ChipRegisters regs, PUCHAR mem, PelgarDevice* device, EncoderMailbox** mailbox);
  static void Destroy(EncoderMailbox* mailbox);

  // Passive level, under the device lock (bring-up thread). Holds the processor in reset, loads the image
  // and patches its loader block, releases the processor, finds the mailbox and signals the encoder to
  // run. Success makes the mailbox ready. A missing or short image file fails with its read status
  // (STATUS_OBJECT_NAME_NOT_FOUND, STATUS_END_OF_FILE); a firmware that shows no signature (it refused the
  // image) fails with STATUS_DEVICE_NOT_READY; in every failure the mailbox is left not ready and the last
  // mailbox offset is kept.
  NTSTATUS LoadAndStart();
  // Power-down: commands fail until the firmware is loaded again.
  void Reset();
  bool Ready() const { return ready_; }
  ULONG MailboxOffset() const { return mailboxOffset_; }

  // Waited command on mailbox 0, passive level only. Returns success with the return value and the
  // requested results filled in, STATUS_DEVICE_NOT_READY (nothing written) or STATUS_IO_TIMEOUT (the
  // firmware did not answer within about 220 ms; the mailbox is taken back). Above passive level it sends
  // nothing and fails with STATUS_INVALID_DEVICE_REQUEST.
  NTSTATUS Send(EncoderCommand* command);
  // The same for a command built in place; *returnValue and results (resultCount words) when not null.
  NTSTATUS Send(ULONG code, std::initializer_list<ULONG> arguments, UCHAR resultCount = 0, ULONG* results = nullptr);
  // Un-waited command on the first free mailbox of 1 ... 7; callable up to DISPATCH_LEVEL (the DMA
  // engine's DPCs, which its spin lock serialises). STATUS_DEVICE_NOT_READY while not ready;
  // STATUS_DEVICE_BUSY when all seven are still with the firmware: the command is dropped and counted.
  NTSTATUS Post(const EncoderCommand& command);
  ULONG DroppedPosts() const { return static_cast<ULONG>(droppedPosts_); }
  // Command 0x80: true only when the firmware answered.
  bool Ping();

  // Encoder configuration, called with the device lock held. A failed ping reloads the firmware and forces
  // the full configuration (parameters, capture window, bring-up steps, frame rate, capture size, audio
  // rate, VBI); every configuration ends with command 0xCD. Stops at the first failed command and returns
  // its status; STATUS_DEVICE_NOT_READY while not ready. After a failed command the mailbox stays ready and
  // the encoder is partly configured: the next forced configuration (the bring-up after a start or a return
  // to full power, a standard change) sends everything again. A reload that finds no image or no mailbox
  // leaves the mailbox not ready.
  NTSTATUS Configure(PelgarDevice* device, BOOLEAN force);
  // VBI line window and ring for the current standard; sets or clears the driver-wide 525-line flag.
  NTSTATUS ConfigureVbi(PelgarDevice* device);
  const VbiLayout& Vbi() const { return vbi_; }
  // Stream start and stop by `streamMask` bit, under the device lock: the first encoder-side stream
  // (MPEG, VBI, auxiliary) starts encoder capture, the first raw stream starts raw capture; the last one
  // of each stops it. A failed start leaves the bit clear.
  NTSTATUS StartStream(PelgarDevice* device, ULONG bit);
  NTSTATUS StopStream(PelgarDevice* device, ULONG bit);
  // Bracket around input changes and tuning: production pauses, the audio is muted and the peripherals
  // go quiet, and back.
  NTSTATUS BeginInputChange(PelgarDevice* device);
  NTSTATUS EndInputChange(PelgarDevice* device);

 private:
  EncoderMailbox(ChipRegisters regs, PUCHAR mem, PelgarDevice* device);
  ~EncoderMailbox() = default;
  template <class T, class... Args>
  friend T* NewTagged(std::source_location, Args&&...);
  template <class T>
  friend void DeleteTagged(T*);

  // Reset, load, patch and release: the steps shared by the bring-up and the reload after a failed ping.
  NTSTATUS ResetLoadRelease();
  NTSTATUS CopyImage();
  bool FindSignature(ULONG* offset);
  ULONG ReadMemory(ULONG offset) const;
  void WriteMemory(ULONG offset, ULONG value) const;  // followed by a read-back
  void FillMailbox(ULONG offset, const EncoderCommand& command) const;

  ChipRegisters regs_;
  PUCHAR mem_;            // encoder memory (offset 0 of the window)
  PelgarDevice* device_;  // for the activity count of every command
  KMUTEX mutex_;          // guards waited commands and `ready_`
  volatile bool ready_;   // set after a successful firmware start
  ULONG mailboxOffset_;   // encoder memory offset of mailbox 0
  LONG droppedPosts_;     // posted commands that found every posting mailbox busy
  VbiLayout vbi_;         // what the last VBI configuration set up
};

}  // namespace pelgar
