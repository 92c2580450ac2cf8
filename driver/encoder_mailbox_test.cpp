#include "driver/encoder_mailbox.h"

#include <cstdio>

#include "driver/decoders.h"
#include "driver/encoder_settings.h"
#include "driver/pelgar_test_fixture.h"
#include "driver/peripherals.h"
#include "driver/simcard/firmware_image.h"

namespace {

using pelgar::EncoderCommand;
using pelgar::EncoderMailbox;
using pelgar::PelgarDevice;

// The driver's register accesses as lines "W 9058 FFFFFFEE" (write) and "R 9058 FFFFFFEE" (read).
std::string RegisterText(const simcard::SimCard& card) {
  std::string text;
  char line[32];
  for (const simcard::RegisterAccess& a : card.RegisterLog()) {
    std::snprintf(line, sizeof line, "%c %04X %08X\n", a.write ? 'W' : 'R', a.offset, a.value);
    text += line;
  }
  return text;
}

// The 46 VBI line commands of a configuration whose window is first ... last.
std::string VbiLines(ULONG first, ULONG last) {
  std::string text;
  for (ULONG n = 2; n <= 24; ++n) {
    std::string enable = n >= first && n <= last ? ",1" : "";
    text += "mb0 0xB7(" + std::to_string(n) + enable + ") -> 0x0\n";
    text += "mb0 0xB7(" + std::to_string(n | 0x80000000u) + enable + ") -> 0x0\n";
  }
  return text;
}

// The parameter commands of the default settings (stream type 14, 5 Mbit/s constant, 720 x 480).
const std::string kDefaultParameters =
    "mb0 0x97(15,3) -> 0x0\n"
    "mb0 0xC5() -> 0x0\n"
    "mb0 0xB9(14) -> 0x0\n"
    "mb0 0x95(1,5000000,17500) -> 0x0\n"
    "mb0 0xB1() -> 0x0\n"
    "mb0 0xBD(233) -> 0x0\n"
    "mb0 0x91(480,720) -> 0x0\n"
    "mb0 0xA1(1,1) -> 0x0\n"
    "mb0 0x9B() -> 0x0\n"
    "mb0 0x9F(0,255,0,255) -> 0x0\n"
    "mb0 0x9D(0,8) -> 0x0\n";

class EncoderMailboxTest : public DriverFixture {
 protected:
  // Adds and starts the card and lets its bring-up finish.
  PKSDEVICE Start(PluggedCard& card) {
    PKSDEVICE device = Add(card);
    EXPECT_EQ(ks.Start(device, card.resources), STATUS_SUCCESS);
    WaitForBringUp(device);
    return device;
  }
  // A card with the test image in the driver folder, started.
  PKSDEVICE StartWithFirmware(PluggedCard& card) {
    simcard::InstallTestFirmware(kernel);
    return Start(card);
  }
  static EncoderMailbox* Mailbox(PKSDEVICE device) { return Context(device)->mailbox; }
  // Configure as the bring-up and the stream code call it: under the device lock.
  NTSTATUS Configure(PKSDEVICE device, BOOLEAN force) {
    PelgarDevice* d = Context(device);
    KeWaitForSingleObject(&d->lock, Executive, KernelMode, FALSE, nullptr);
    NTSTATUS status = d->mailbox->Configure(d, force);
    KeReleaseMutex(&d->lock, FALSE);
    return status;
  }
};

// ---- Bring-up

TEST_F(EncoderMailboxTest, BringUpResetsLoadsAndStartsTheEncoderInThisExactRegisterOrder) {
  PluggedCard& card = Plug("kind1.card");
  simcard::InstallTestFirmware(kernel);
  PKSDEVICE device = Add(card);
  ASSERT_EQ(ks.Start(device, card.resources), STATUS_SUCCESS);
  card.sim->ClearRegisterLog();  // the bring-up thread has not run yet
  WaitForBringUp(device);
  EXPECT_EQ(RegisterText(*card.sim),
            "W A064 00000000\nR A064 00000000\n"  // encoder disabled
            "W 9058 FFFFFFEE\nR 9058 FFFFFFEE\n"  // processor and memory held
            "W 9054 FFFFFFFF\nR 9054 FFFFFFFF\n"
            "W 9058 FFFFFFFE\nR 9058 FFFFFFFE\n"
            "W 9058 FFFFFFEE\nR 9058 FFFFFFEE\n"
            "W 07FC 0000001A\nR 07FC 0000001A\n"
            "W 07F8 80000640\nR 07F8 80000640\n"
            "W 9058 FFFFFFEA\nR 9058 FFFFFFEA\n"  // image loaded: processor released
            "R 9058 FFFFFFEA\nW 9058 FFFFFFEA\nR 9058 FFFFFFEA\n"
            "W 2120 00000080\nR 2120 00000080\n");  // mailbox found
  EXPECT_EQ(Context(device)->bringUpStatus, STATUS_SUCCESS);
  EXPECT_TRUE(Mailbox(device)->Ready());
  EXPECT_EQ(card.sim->Firmware().Boots(), 1u);
  RemoveAndCheck(device);
}

TEST_F(EncoderMailboxTest, BringUpConfiguresTheEncoderWithThisExactCommandSequence) {
  PluggedCard& card = Plug("kind1.card");
  PKSDEVICE device = StartWithFirmware(card);
  EXPECT_EQ(card.sim->Firmware().CommandLogText(),
            "mb0 0x80() -> 0x0\n" + kDefaultParameters +
                "mb0 0xD6(259,260) -> 0x0\n"
                "mb0 0xC9(1,1) -> 0x0\n"
                "mb0 0xDC(3,1) -> 0x0 [1]\n"
                "mb0 0x8F() -> 0x0\n"
                "mb0 0xDC(4,1) -> 0x0\n"
                "mb0 0xC8(48389,1,4,627189090,947861631,24,1456) -> 0x0 [1,8,31457280]\n" +
                VbiLines(10, 21) + "mb0 0xCD() -> 0x0\n");
  for (const simcard::MailboxCommand& c : card.sim->Firmware().CommandLog()) EXPECT_EQ(c.timeoutWord, 0x60000000u);
  PelgarDevice* d = Context(device);
  EXPECT_EQ(d->decoder->CaptureWidth(), 720u);
  EXPECT_EQ(d->decoder->CaptureHeight(), 480u);
  EXPECT_EQ(d->decoder->AudioRate(), 48000u);  // audio word 0xE9: sampling code 1
  EXPECT_EQ(d->audio->SamplingRate(), 48000u);
  EXPECT_TRUE(pelgar::g_is525Lines);
  const pelgar::VbiLayout& vbi = Mailbox(device)->Vbi();
  EXPECT_TRUE(vbi.valid);
  EXPECT_EQ(vbi.ringOffset, 0x1E00000u);
  EXPECT_EQ(vbi.bufferSize, 34960u);  // (24 x 1456 + 12) to 16 bytes, + 16
  EXPECT_EQ(vbi.bufferCount, 8u);
  EXPECT_EQ(vbi.linesPerField, 12u);
  EXPECT_EQ(vbi.startCodes[0], 0x25);
  EXPECT_EQ(vbi.startCodes[1], 0x62);
  RemoveAndCheck(device);
}

TEST_F(EncoderMailboxTest, VbiConfigurationFollowsTheLineCountOfTheStandard) {
  struct Case {
    const char* name;
    ULONG standard;
    std::string c8;
    ULONG first, last, linesPerField, bufferSize;
    bool is525;
  };
  const Case cases[] = {
      {"NTSC-M", 0x1, "24,1456", 10, 21, 12, 34960, true},
      {"PAL-M has 525 lines", 0x200, "24,1456", 10, 21, 12, 34960, true},
      {"PAL-B", 0x10, "36,1456", 6, 23, 18, 52432, false},
      {"SECAM-L", 0x40000, "36,1456", 6, 23, 18, 52432, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    PluggedCard& card = Plug("kind1.card", c.name);
    card.driverData->SetDword("VideoStandard", c.standard);
    PKSDEVICE device = StartWithFirmware(card);
    card.sim->Firmware().ClearCommandLog();
    PelgarDevice* d = Context(device);
    EXPECT_EQ(d->mailbox->ConfigureVbi(d), STATUS_SUCCESS);
    EXPECT_EQ(card.sim->Firmware().CommandLogText(), "mb0 0xC8(48389,1,4,627189090,947861631," + c.c8 +
                                                         ") -> 0x0 [1,8,31457280]\n" + VbiLines(c.first, c.last));
    EXPECT_EQ(pelgar::g_is525Lines != FALSE, c.is525);
    EXPECT_EQ(d->mailbox->Vbi().linesPerField, c.linesPerField);
    EXPECT_EQ(d->mailbox->Vbi().bufferSize, c.bufferSize);
    RemoveAndCheck(device);
    cards.clear();
  }
}

TEST_F(EncoderMailboxTest, VbiRingThatDoesNotFitEncoderMemoryIsNotUsed) {
  struct Case {
    const char* name;
    uint32_t frames, buffers, offset;
    bool valid;
  };
  const Case cases[] = {
      {"the firmware's own ring", 1, 8, 0x1E00000, true},
      {"the last buffer ends where encoder memory ends", 1, 1, 0x2000000 - 34960, true},
      {"one word further", 1, 1, 0x2000000 - 34956, false},
      {"no buffers", 1, 0, 0x1E00000, false},
      {"no frames", 0, 8, 0x1E00000, false},
      {"no room for the write position in front", 1, 8, 0, false},
      {"off a word boundary", 1, 8, 0x1E00002, false},
      {"a count whose size would wrap", 1, 0xFFFFFFFF, 0x1E00000, false},
      {"frames whose buffer size would wrap", 0xFFFFFFFF, 8, 0x100, false},
  };
  PluggedCard& card = Plug("kind1.card");
  PKSDEVICE device = StartWithFirmware(card);
  PelgarDevice* d = Context(device);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    card.sim->Firmware().ReportVbiRing(c.frames, c.buffers, c.offset);
    EXPECT_EQ(d->mailbox->ConfigureVbi(d), STATUS_SUCCESS);  // the lines are still selected
    EXPECT_EQ(d->mailbox->Vbi().valid, c.valid);
    if (c.valid) {
      EXPECT_EQ(d->mailbox->Vbi().ringOffset, c.offset);
      EXPECT_EQ(d->mailbox->Vbi().bufferCount, c.buffers);
    }
  }
  RemoveAndCheck(device);
}

// ---- Firmware image and mailbox location

TEST_F(EncoderMailboxTest, SignatureDecidesWhereMailboxZeroLies) {
  struct Case {
    const char* signature;  // card-file value
    bool ready;
    ULONG offset;
  };
  const Case cases[] = {
      {"0x200", true, 0x210},  {"0x0", true, 0x10}, {"0x900", true, 0x910},  // the last place searched
      {"0xA00", false, 0x110},                                               // beyond the search: never found
      {"0x280", false, 0x110},                                               // not on a 256-byte step
      {"none", false, 0x110},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.signature);
    PluggedCard& card = PlugText(CardText("kind1.card") + "firmware-signature " + c.signature + "\n", c.signature);
    PKSDEVICE device = StartWithFirmware(card);
    EXPECT_EQ(Mailbox(device)->Ready(), c.ready);
    EXPECT_EQ(Mailbox(device)->MailboxOffset(), c.offset);
    EXPECT_EQ(Context(device)->bringUpStatus, c.ready ? STATUS_SUCCESS : STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(Mailbox(device)->Ping(), c.ready);
    RemoveAndCheck(device);
    cards.clear();
  }
}

TEST_F(EncoderMailboxTest, ImageThatIsMissingShortOrAlteredLeavesTheMailboxNotReady) {
  struct Case {
    const char* name;
    bool install;
    size_t length;     // bytes of the test image kept
    long alterAt;      // byte changed, -1 none
    NTSTATUS bringUp;  // status of the bring-up
    simcard::EncoderFirmware::Run run;
  };
  using Run = simcard::EncoderFirmware::Run;
  const Case cases[] = {
      {"complete image", true, simcard::kFirmwareImageBytes, -1, STATUS_SUCCESS, Run::Running},
      {"no file", false, 0, -1, STATUS_OBJECT_NAME_NOT_FOUND, Run::Held},
      {"empty file", true, 0, -1, STATUS_END_OF_FILE, Run::Held},
      {"one word short", true, simcard::kFirmwareImageBytes - 4, -1, STATUS_END_OF_FILE, Run::Held},
      {"half a word short", true, simcard::kFirmwareImageBytes - 2, -1, STATUS_END_OF_FILE, Run::Held},
      {"one byte altered", true, simcard::kFirmwareImageBytes, 0x20000, STATUS_DEVICE_NOT_READY, Run::Refused},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    PluggedCard& card = Plug("kind1.card", c.name);
    kernel.RemoveDriverFile(simcard::kFirmwareFileName);
    if (c.install) {
      std::vector<uint8_t> image = simcard::TestFirmwareImage();
      image.resize(c.length);
      if (c.alterAt >= 0) image[static_cast<size_t>(c.alterAt)] ^= 0x01;
      kernel.AddDriverFile(simcard::kFirmwareFileName, image);
    }
    PKSDEVICE device = Start(card);
    EXPECT_EQ(Context(device)->bringUpStatus, c.bringUp);
    EXPECT_EQ(card.sim->Firmware().State(), c.run);
    EXPECT_EQ(Mailbox(device)->Ready(), c.bringUp == STATUS_SUCCESS);
    if (c.bringUp != STATUS_SUCCESS) {
      // Every command now fails at once, writing nothing.
      uint64_t writes = card.sim->MemoryWrites();
      EncoderCommand ping = EncoderCommand::Make(0x80, {});
      EXPECT_EQ(Mailbox(device)->Send(&ping), STATUS_DEVICE_NOT_READY);
      EXPECT_EQ(Mailbox(device)->Post(ping), STATUS_DEVICE_NOT_READY);
      EXPECT_EQ(Configure(device, TRUE), STATUS_DEVICE_NOT_READY);
      EXPECT_EQ(card.sim->MemoryWrites(), writes);
      EXPECT_TRUE(card.sim->Firmware().CommandLog().empty());
    }
    RemoveAndCheck(device);
    cards.clear();
  }
}

TEST_F(EncoderMailboxTest, PatchBlockIsWrittenOnlyWhereTheImageAllowsIt) {
  struct Case {
    const char* name;
    uint32_t pointer;  // word 0x38 of the image
    bool patched;
  };
  const Case cases[] = {
      {"the test image's block", simcard::kFirmwarePatchOffset, true},
      {"the last block that fits", 255928, true},
      {"one word further", 255932, false},
      {"far beyond the image", 0xFFFFFFF0, false},
      {"off a word boundary", simcard::kFirmwarePatchOffset + 2, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    PluggedCard& card = Plug("kind1.card", c.name);
    std::vector<uint8_t> image = simcard::TestFirmwareImage();
    for (int i = 0; i < 4; ++i)
      image[simcard::kFirmwarePatchPointer + i] = static_cast<uint8_t>(c.pointer >> (8 * i));
    kernel.RemoveDriverFile(simcard::kFirmwareFileName);
    kernel.AddDriverFile(simcard::kFirmwareFileName, image);
    PKSDEVICE device = Start(card);
    uint32_t at = c.pointer & ~3u;
    for (uint32_t i = 0; i < simcard::kFirmwarePatchWords && at + 4 * i < simcard::kFirmwareImageBytes; ++i) {
      uint32_t original =
          static_cast<uint32_t>(image[at + 4 * i]) | static_cast<uint32_t>(image[at + 4 * i + 1]) << 8 |
          static_cast<uint32_t>(image[at + 4 * i + 2]) << 16 | static_cast<uint32_t>(image[at + 4 * i + 3]) << 24;
      EXPECT_EQ(card.sim->MemoryWord(at + 4 * i), c.patched ? simcard::kFirmwarePatch[i] : original) << i;
    }
    RemoveAndCheck(device);
    cards.clear();
  }
}

// ---- Waited commands

TEST_F(EncoderMailboxTest, ArgumentsArePaddedWithZerosToSixteenWords) {
  struct Case {
    const char* name;
    UCHAR count;
  };
  const Case cases[] = {{"none", 0}, {"three", 3}, {"fifteen", 15}, {"sixteen", 16}};
  PluggedCard& card = Plug("kind1.card");
  PKSDEVICE device = StartWithFirmware(card);
  const ULONG box = Mailbox(device)->MailboxOffset();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    for (ULONG i = 0; i < 16; ++i) card.sim->SetMemoryWord(box + 16 + 4 * i, 0xCCCCCCCC);  // poisoned
    EncoderCommand command{};
    command.code = 0x91;
    command.argumentCount = c.count;
    for (ULONG i = 0; i < 16; ++i) command.words[i] = 100 + i;
    ASSERT_EQ(Mailbox(device)->Send(&command), STATUS_SUCCESS);
    for (ULONG i = 0; i < 16; ++i)
      EXPECT_EQ(card.sim->Firmware().CommandLog().back().args[i], i < c.count ? 100 + i : 0u) << i;
  }
  RemoveAndCheck(device);
}

TEST_F(EncoderMailboxTest, ResultsAndReturnValueComeBackFromTheMailbox) {
  PluggedCard& card = Plug("kind1.card");
  PKSDEVICE device = StartWithFirmware(card);
  EncoderCommand version = EncoderCommand::Make(0xC4, {}, 1);
  version.returnValue = 0xDEADBEEF;
  ASSERT_EQ(Mailbox(device)->Send(&version), STATUS_SUCCESS);
  EXPECT_EQ(version.returnValue, 0u);
  EXPECT_EQ(version.words[0], simcard::kFirmwareVersion);
  EncoderCommand unknown = EncoderCommand::Make(0x77, {1, 2});
  ASSERT_EQ(Mailbox(device)->Send(&unknown), STATUS_SUCCESS);  // answered: the firmware's verdict is its value
  EXPECT_EQ(unknown.returnValue, simcard::kUnknownCommand);
  RemoveAndCheck(device);
}

TEST_F(EncoderMailboxTest, AnswerOnTheTwentyFirstLookCompletesOneLookLaterFails) {
  struct Case {
    ULONG delayMicroseconds;
    NTSTATUS status;
  };
  // Looks at 1 ms, then every 10 ms: the 21st look again is at 211 ms.
  const Case cases[] = {{100, STATUS_SUCCESS}, {211000, STATUS_SUCCESS}, {211001, STATUS_IO_TIMEOUT}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.delayMicroseconds);
    PluggedCard& card =
        PlugText(CardText("kind1.card") + "switch answer-delay " + std::to_string(c.delayMicroseconds) + "\n",
                 std::to_string(c.delayMicroseconds));
    PKSDEVICE device = StartWithFirmware(card);
    EXPECT_EQ(Context(device)->bringUpStatus, c.status);
    card.sim->Firmware().SetAnswerDelay(static_cast<ksim::Time>(c.delayMicroseconds) * ksim::kMicrosecond);
    EXPECT_EQ(Mailbox(device)->Send(0x80, {}), c.status);
    EXPECT_EQ(Mailbox(device)->Ping(), c.status == STATUS_SUCCESS);
    RemoveAndCheck(device);
    cards.clear();
  }
}

TEST_F(EncoderMailboxTest, WaitedCommandAbovePassiveLevelIsRefusedWithoutTouchingTheMailbox) {
  PluggedCard& card = Plug("kind1.card");
  PKSDEVICE device = StartWithFirmware(card);
  uint64_t writes = card.sim->MemoryWrites();
  LONG ticks = pelgar::g_activity.ticks;
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  EXPECT_EQ(Mailbox(device)->Send(0x80, {}), STATUS_INVALID_DEVICE_REQUEST);
  KeLowerIrql(old);
  EXPECT_EQ(card.sim->MemoryWrites(), writes);
  EXPECT_EQ(pelgar::g_activity.ticks, ticks);
  RemoveAndCheck(device);
}

TEST_F(EncoderMailboxTest, UnansweredCommandFailsAndTheMailboxIsTakenBack) {
  PluggedCard& card = Plug("kind1.card");
  PKSDEVICE device = StartWithFirmware(card);
  simcard::EncoderFirmware& firmware = card.sim->Firmware();
  firmware.DropCode(0xC4);
  ULONG version = 0xCCCCCCCC;
  NTSTATUS status = Mailbox(device)->Send(0xC4, {}, 1, &version);
  EXPECT_EQ(status, STATUS_IO_TIMEOUT);
  EXPECT_TRUE(NT_ERROR(status));
  EXPECT_EQ(version, 0xCCCCCCCCu);  // no result
  EXPECT_EQ(card.sim->MemoryWord(Mailbox(device)->MailboxOffset()), 0u);
  EXPECT_EQ(firmware.CommandLog().back().Text(), "mb0 0xC4() dropped");
  // The next command has the mailbox to itself.
  EXPECT_EQ(Mailbox(device)->Send(0x80, {}), STATUS_SUCCESS);
  EXPECT_EQ(firmware.CommandLog().back().Text(), "mb0 0x80() -> 0x0");
  RemoveAndCheck(device);
}

TEST_F(EncoderMailboxTest, SilentFirmwareFailsTheBringUpWithAnError) {
  PluggedCard& card = PlugText(CardText("kind1.card") + "switch firmware-silent\n");
  PKSDEVICE device = StartWithFirmware(card);
  // The ping fails, the reload boots the firmware again, and the first command of the configuration fails.
  EXPECT_EQ(Context(device)->bringUpStatus, STATUS_IO_TIMEOUT);
  EXPECT_EQ(card.sim->Firmware().Boots(), 2u);
  EXPECT_TRUE(Mailbox(device)->Ready());
  RemoveAndCheck(device);
}

// ---- Posted commands

TEST_F(EncoderMailboxTest, PostedCommandsTakeTheFirstFreeMailboxAndABusyDropIsCounted) {
  PluggedCard& card = Plug("kind1.card");
  PKSDEVICE device = StartWithFirmware(card);
  simcard::EncoderFirmware& firmware = card.sim->Firmware();
  firmware.ClearCommandLog();
  EncoderMailbox* m = Mailbox(device);
  const ULONG box = m->MailboxOffset();
  KIRQL old;
  // An answered posting mailbox is free again.
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  EXPECT_EQ(m->Post(EncoderCommand::Make(0x80, {})), STATUS_SUCCESS);
  KeLowerIrql(old);
  kernel.RunFor(ksim::kMillisecond);
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  EXPECT_EQ(m->Post(EncoderCommand::Make(0xC4, {}, 1)), STATUS_SUCCESS);
  KeLowerIrql(old);
  kernel.RunFor(ksim::kMillisecond);
  EXPECT_EQ(firmware.CommandLogText(), "mb1 0x80() -> 0x0\nmb1 0xC4() -> 0x0 [33947705]\n");

  // A firmware that takes nothing more: seven posts fill mailboxes 1 to 7, the eighth is dropped.
  firmware.SetSilent(true);
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  for (ULONG i = 1; i <= 7; ++i) EXPECT_EQ(m->Post(EncoderCommand::Make(0x90 + i, {i})), STATUS_SUCCESS) << i;
  EXPECT_EQ(m->Post(EncoderCommand::Make(0x99, {})), STATUS_DEVICE_BUSY);
  KeLowerIrql(old);
  EXPECT_EQ(m->DroppedPosts(), 1u);
  for (ULONG i = 1; i <= 7; ++i) {
    EXPECT_EQ(card.sim->MemoryWord(box + 80 * i), 3u) << i;
    EXPECT_EQ(card.sim->MemoryWord(box + 80 * i + 4), 0x90 + i) << i;
    EXPECT_EQ(card.sim->MemoryWord(box + 80 * i + 16), i) << i;
  }
  EXPECT_EQ(card.sim->MemoryWord(box + 4), 0xCDu);  // mailbox 0 keeps the last waited command
  RemoveAndCheck(device);
}

TEST_F(EncoderMailboxTest, PostFromDispatchLevelOnlyCountsAndTheNextWaitedCommandWakesTheFrontEnd) {
  PluggedCard& card = Plug("kind2.card");
  PKSDEVICE device = StartWithFirmware(card);
  PelgarDevice* d = Context(device);
  pelgar::g_activity.awake = FALSE;  // the front end went to standby
  d->peripheralB8->ForgetInitialisation();
  card.sim->I2c().ClearLog();
  LONG ticks = pelgar::g_activity.ticks;
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  EXPECT_EQ(d->mailbox->Post(EncoderCommand::Make(0x80, {})), STATUS_SUCCESS);
  KeLowerIrql(old);
  EXPECT_EQ(pelgar::g_activity.ticks, ticks + 1);
  EXPECT_FALSE(pelgar::g_activity.awake);
  EXPECT_EQ(card.I2cLog(), "");
  EXPECT_THAT(kernel.Faults(), ::testing::IsEmpty());  // nothing waited at DISPATCH_LEVEL

  EXPECT_EQ(d->mailbox->Send(0x80, {}), STATUS_SUCCESS);
  EXPECT_EQ(pelgar::g_activity.ticks, ticks + 2);
  EXPECT_TRUE(pelgar::g_activity.awake);
  EXPECT_TRUE(d->peripheralB8->Initialised());
  EXPECT_NE(card.I2cLog(), "");
  RemoveAndCheck(device);
}

// ---- Configuration

TEST_F(EncoderMailboxTest, ConfigurationWithoutForceOnlyPingsAndEnds) {
  PluggedCard& card = Plug("kind1.card");
  PKSDEVICE device = StartWithFirmware(card);
  card.sim->Firmware().ClearCommandLog();
  EXPECT_EQ(Configure(device, FALSE), STATUS_SUCCESS);
  EXPECT_EQ(card.sim->Firmware().CommandLogText(), "mb0 0x80() -> 0x0\nmb0 0xCD() -> 0x0\n");
  RemoveAndCheck(device);
}

TEST_F(EncoderMailboxTest, ConfigurationStopsAtTheFirstFailedCommandAndReportsIt) {
  struct Case {
    uint32_t code;       // never answered
    const char* before;  // the command sent just before it
    bool vbi;            // whether a VBI ring is known: the bring-up's stays until a VBI set-up fails
  };
  const Case cases[] = {
      {0x95, "mb0 0xB9(14) -> 0x0\n", true},          // in the parameter list
      {0x9F, "mb0 0x9B() -> 0x0\n", true},            // in the filter commands
      {0xC8, "mb0 0xDC(4,1) -> 0x0\n", false},        // the VBI set-up
      {0xCD, "mb0 0xB7(2147483672) -> 0x0\n", true},  // the end of the configuration
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.code);
    PluggedCard& card = Plug("kind1.card", std::to_string(c.code));
    PKSDEVICE device = StartWithFirmware(card);
    simcard::EncoderFirmware& firmware = card.sim->Firmware();
    firmware.ClearCommandLog();
    firmware.DropCode(c.code);
    EXPECT_EQ(Configure(device, TRUE), STATUS_IO_TIMEOUT);
    const std::vector<simcard::MailboxCommand>& log = firmware.CommandLog();
    ASSERT_GE(log.size(), 2u);
    EXPECT_EQ(log.back().code, c.code);
    EXPECT_FALSE(log.back().answered);
    EXPECT_EQ(log[log.size() - 2].Text() + "\n", c.before);
    EXPECT_EQ(Mailbox(device)->Vbi().valid, c.vbi);
    EXPECT_TRUE(Mailbox(device)->Ready());  // the next forced configuration sends everything again
    RemoveAndCheck(device);
    cards.clear();
  }
}

TEST_F(EncoderMailboxTest, FailedPingReloadsTheFirmwareAndForcesTheFullConfiguration) {
  PluggedCard& card = Plug("kind1.card");
  PKSDEVICE device = StartWithFirmware(card);
  simcard::EncoderFirmware& firmware = card.sim->Firmware();
  firmware.DropCommand(static_cast<uint32_t>(firmware.CommandLog().size()) + 1);  // the next ping hangs
  firmware.ClearCommandLog();
  card.sim->ClearRegisterLog();
  EXPECT_EQ(Configure(device, FALSE), STATUS_SUCCESS);
  EXPECT_EQ(firmware.Boots(), 2u);
  EXPECT_TRUE(Mailbox(device)->Ready());
  std::string log = firmware.CommandLogText();
  EXPECT_EQ(log.substr(0, log.find("mb0 0xD6")), "mb0 0x80() dropped\n" + kDefaultParameters);
  EXPECT_NE(log.find("mb0 0xC8("), std::string::npos);
  EXPECT_EQ(log.substr(log.size() - 18), "mb0 0xCD() -> 0x0\n");
  // The reload ran the reset and release again, but did not signal the run register a second time.
  EXPECT_THAT(RegisterText(*card.sim), ::testing::HasSubstr("W 9058 FFFFFFEA"));
  EXPECT_THAT(RegisterText(*card.sim), ::testing::Not(::testing::HasSubstr("W 2120")));
  RemoveAndCheck(device);
}

// Runs a configuration on its own system thread, as the bring-up thread does.
VOID ConfigureOnThread(PVOID context) {
  auto* d = static_cast<PelgarDevice*>(context);
  KeWaitForSingleObject(&d->lock, Executive, KernelMode, FALSE, nullptr);
  d->bringUpStatus = d->mailbox->Configure(d, FALSE);
  KeReleaseMutex(&d->lock, FALSE);
}

TEST_F(EncoderMailboxTest, PostsAreRefusedWhileAReloadHoldsTheProcessor) {
  PluggedCard& card = Plug("kind1.card");
  PKSDEVICE device = StartWithFirmware(card);
  PelgarDevice* d = Context(device);
  simcard::EncoderFirmware& firmware = card.sim->Firmware();
  firmware.DropCommand(static_cast<uint32_t>(firmware.CommandLog().size()) + 1);  // the ping hangs
  d->bringUpStatus = STATUS_PENDING;
  HANDLE handle = nullptr;
  ASSERT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, ConfigureOnThread, d),
            STATUS_SUCCESS);
  PVOID thread = nullptr;
  ASSERT_EQ(ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, *PsThreadType, KernelMode, &thread, nullptr),
            STATUS_SUCCESS);
  ZwClose(handle);
  kernel.RunFor(240 * ksim::kMillisecond);  // the ping has timed out (221 ms); the reload holds the processor
  EXPECT_EQ(firmware.State(), simcard::EncoderFirmware::Run::Held);
  EncoderCommand schedule = EncoderCommand::Make(0x80, {});
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  EXPECT_EQ(d->mailbox->Post(schedule), STATUS_DEVICE_NOT_READY);
  KeLowerIrql(old);
  KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr);
  ObDereferenceObject(thread);
  EXPECT_EQ(d->bringUpStatus, STATUS_SUCCESS);
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  EXPECT_EQ(d->mailbox->Post(schedule), STATUS_SUCCESS);
  KeLowerIrql(old);
  RemoveAndCheck(device);
}

TEST_F(EncoderMailboxTest, ReloadWithoutTheImageLeavesTheMailboxNotReady) {
  PluggedCard& card = Plug("kind1.card");
  PKSDEVICE device = StartWithFirmware(card);
  simcard::EncoderFirmware& firmware = card.sim->Firmware();
  firmware.DropCommand(static_cast<uint32_t>(firmware.CommandLog().size()) + 1);
  kernel.RemoveDriverFile(simcard::kFirmwareFileName);
  EXPECT_EQ(Configure(device, FALSE), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_FALSE(Mailbox(device)->Ready());
  EXPECT_EQ(Mailbox(device)->Send(0x80, {}), STATUS_DEVICE_NOT_READY);
  RemoveAndCheck(device);
}

TEST_F(EncoderMailboxTest, PowerDownMakesCommandsFailUntilTheNextBringUp) {
  PluggedCard& card = Plug("kind1.card");
  PKSDEVICE device = StartWithFirmware(card);
  ks.SetPower(device, PowerDeviceD3);
  EXPECT_EQ(Mailbox(device)->Send(0x80, {}), STATUS_DEVICE_NOT_READY);
  ks.SetPower(device, PowerDeviceD0);
  WaitForBringUp(device);
  EXPECT_EQ(Context(device)->bringUpStatus, STATUS_SUCCESS);
  EXPECT_EQ(card.sim->Firmware().Boots(), 2u);
  EXPECT_EQ(Mailbox(device)->Send(0x80, {}), STATUS_SUCCESS);
  RemoveAndCheck(device);
}

// ---- Streams and input changes

TEST_F(EncoderMailboxTest, CaptureStartsWithTheFirstStreamOfEachSideAndStopsWithTheLast) {
  struct Step {
    bool start;
    ULONG bit;
    const char* log;  // commands sent by this step
    ULONG mask;       // streamMask after it
  };
  struct Case {
    const char* name;
    std::vector<Step> steps;
  };
  const Case cases[] = {
      {"MPEG then VBI, VBI stops first",
       {{true, pelgar::kStreamMpeg, "mb0 0x81() -> 0x0\n", 0x04},
        {true, pelgar::kStreamVbi, "", 0x0C},
        {false, pelgar::kStreamVbi, "", 0x04},
        {false, pelgar::kStreamMpeg, "mb0 0x82(1) -> 0x0\n", 0x00}}},
      {"raw video while MPEG runs",
       {{true, pelgar::kStreamMpeg, "mb0 0x81() -> 0x0\n", 0x04},
        {true, pelgar::kStreamRawVideo, "mb0 0x81(1) -> 0x0\n", 0x05},
        {true, pelgar::kStreamRawAudio, "", 0x07},
        {false, pelgar::kStreamMpeg, "mb0 0x82(1) -> 0x0\n", 0x03},
        {false, pelgar::kStreamRawVideo, "", 0x02},
        {false, pelgar::kStreamRawAudio, "mb0 0x82(1,1) -> 0x0\n", 0x00}}},
      {"stopping a stream that does not run sends nothing",
       {{false, pelgar::kStreamAux, "", 0x00}, {true, pelgar::kStreamAux, "mb0 0x81() -> 0x0\n", 0x10}}},
  };
  PluggedCard& card = Plug("kind1.card");
  PKSDEVICE device = StartWithFirmware(card);
  PelgarDevice* d = Context(device);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    d->streamMask = 0;
    for (const Step& s : c.steps) {
      card.sim->Firmware().ClearCommandLog();
      EXPECT_EQ(s.start ? d->mailbox->StartStream(d, s.bit) : d->mailbox->StopStream(d, s.bit), STATUS_SUCCESS);
      EXPECT_EQ(card.sim->Firmware().CommandLogText(), s.log);
      EXPECT_EQ(d->streamMask, s.mask);
    }
  }
  // A start the firmware does not answer leaves the stream off.
  d->streamMask = 0;
  card.sim->Firmware().DropCode(0x81);
  EXPECT_EQ(d->mailbox->StartStream(d, pelgar::kStreamMpeg), STATUS_IO_TIMEOUT);
  EXPECT_EQ(d->streamMask, 0u);
  RemoveAndCheck(device);
}

TEST_F(EncoderMailboxTest, InputChangePausesTheEncoderMutesAndQuietensThePeripherals) {
  PluggedCard& card = Plug("kind2.card");
  PKSDEVICE device = StartWithFirmware(card);
  PelgarDevice* d = Context(device);
  card.sim->Firmware().ClearCommandLog();
  card.sim->I2c().ClearLog();
  EXPECT_EQ(d->mailbox->BeginInputChange(d), STATUS_SUCCESS);
  EXPECT_TRUE(card.sim->Firmware().Encoder().inputChanging);
  EXPECT_TRUE(d->audio->Muted());
  EXPECT_EQ(card.I2cLog(), "S B8+ 16+ D0+ P S 24+ 00+ D0+ P");
  card.sim->I2c().ClearLog();
  EXPECT_EQ(d->mailbox->EndInputChange(d), STATUS_SUCCESS);
  EXPECT_FALSE(card.sim->Firmware().Encoder().inputChanging);
  EXPECT_FALSE(d->audio->Muted());
  EXPECT_EQ(card.I2cLog(), "S B8+ 16+ 10+ P S 24+ 00+ 00+ P");
  EXPECT_EQ(card.sim->Firmware().CommandLogText(), "mb0 0xDA(1) -> 0x0\nmb0 0xDA() -> 0x0\n");
  RemoveAndCheck(device);
}

}  // namespace

// ---- Every mailbox command failing once

// A card's life as the campaign drives it: start with the bring-up, an MPEG stream started and stopped, and
// stop; then a start without failures. Returns the statuses of the steps that talk to the encoder.
struct CampaignRun {
  NTSTATUS bringUp, streamStart, streamStop;
  size_t commands;  // commands the firmware took before the clean start
  uint32_t boots;
};

class EncoderFaultCampaignTest : public EncoderMailboxTest {
 protected:
  CampaignRun Run(uint32_t drop) {
    PluggedCard& card = Plug("kind1.card", "drop " + std::to_string(drop));
    simcard::InstallTestFirmware(kernel);
    if (drop != 0) card.sim->Firmware().DropCommand(drop);
    PKSDEVICE device = Add(card);
    EXPECT_EQ(ks.Start(device, card.resources), STATUS_SUCCESS);  // the start does not wait for the encoder
    WaitForBringUp(device);
    PelgarDevice* d = Context(device);
    CampaignRun run{};
    run.bringUp = d->bringUpStatus;
    KeWaitForSingleObject(&d->lock, Executive, KernelMode, FALSE, nullptr);
    run.streamStart = d->mailbox->StartStream(d, pelgar::kStreamMpeg);
    run.streamStop = d->mailbox->StopStream(d, pelgar::kStreamMpeg);
    KeReleaseMutex(&d->lock, FALSE);
    EXPECT_EQ(d->streamMask, 0u);
    ks.Stop(device);
    run.commands = card.sim->Firmware().CommandLog().size();
    run.boots = card.sim->Firmware().Boots();
    EXPECT_THAT(kernel.Faults(), ::testing::IsEmpty());

    // The next clean start brings the encoder up.
    EXPECT_EQ(ks.Start(device, card.resources), STATUS_SUCCESS);
    WaitForBringUp(device);
    EXPECT_EQ(d->bringUpStatus, STATUS_SUCCESS);
    EXPECT_TRUE(d->mailbox->Ready());
    RemoveAndCheck(device);
    cards.clear();
    return run;
  }
};

TEST_F(EncoderFaultCampaignTest, EachCommandFailingOnceEndsInAnErrorOrARecoveredBringUp) {
  const CampaignRun clean = Run(0);
  ASSERT_EQ(clean.bringUp, STATUS_SUCCESS);
  ASSERT_EQ(clean.streamStart, STATUS_SUCCESS);
  ASSERT_EQ(clean.streamStop, STATUS_SUCCESS);
  ASSERT_EQ(clean.boots, 1u);
  ASSERT_GT(clean.commands, 60u);

  // The clean run's commands in order, to know what each failing one was.
  std::vector<uint32_t> codes;
  {
    PluggedCard& card = Plug("kind1.card", "codes");
    simcard::InstallTestFirmware(kernel);
    PKSDEVICE device = Add(card);
    EXPECT_EQ(ks.Start(device, card.resources), STATUS_SUCCESS);
    WaitForBringUp(device);
    for (const simcard::MailboxCommand& c : card.sim->Firmware().CommandLog()) codes.push_back(c.code);
    RemoveAndCheck(device);
    cards.clear();
  }
  // The clean life: a bring-up, then the stream's start and stop.
  std::vector<uint32_t> life = codes;
  life.push_back(0x81);
  life.push_back(0x82);
  ASSERT_EQ(life.size(), clean.commands);

  for (uint32_t n = 1; n <= clean.commands; ++n) {
    SCOPED_TRACE("command " + std::to_string(n) + " fails");
    CampaignRun run = Run(n);
    const NTSTATUS statuses[] = {run.bringUp, run.streamStart, run.streamStop};
    int failed = 0;
    for (NTSTATUS s : statuses) {
      EXPECT_TRUE(s == STATUS_SUCCESS || NT_ERROR(s)) << std::hex << s;  // never a success that hides a failure
      failed += s != STATUS_SUCCESS;
    }
    // A ping that goes unanswered reloads the firmware and the configuration completes; any other command
    // fails its step with the time-out, and only that step.
    const bool ping = life[n - 1] == 0x80;
    if (ping) {
      EXPECT_EQ(failed, 0);
      EXPECT_EQ(run.boots, 2u);
    } else {
      EXPECT_EQ(failed, 1);
      for (NTSTATUS s : statuses) EXPECT_TRUE(s == STATUS_SUCCESS || s == STATUS_IO_TIMEOUT) << std::hex << s;
    }
    if (::testing::Test::HasFailure()) break;  // one broken run tells enough
  }
}
