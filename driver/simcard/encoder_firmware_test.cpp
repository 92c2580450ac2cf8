#include "driver/simcard/encoder_firmware.h"

#include <algorithm>
#include <cstring>

#include "driver/kernel/sim/kernel_fixture.h"
#include "driver/simcard/firmware_image.h"
#include "driver/simcard/mpeg_stream.h"
#include "driver/simcard/sim_card.h"

namespace simcard {
namespace {

using ::testing::ElementsAre;

constexpr char kCard[] = "memory 0xE0000000 0x4000000\ninterrupt 17 9 level shared\n";
constexpr uint32_t kUnlocatedMailbox = 0x110;
constexpr uint32_t kDmaDoneBit = 0x08000000;

enum class Firmware { Test, Missing, Short, Altered };

// Acts as the driver does: everything through the mapping and the kernel's functions, the firmware loaded
// from the driver folder, the mailbox found by its signature, commands handed over and polled for.
class EncoderFirmwareTest : public KernelFixture {
 protected:
  void Build(const std::string& extra = "", Firmware firmware = Firmware::Test) {
    CardDescription description;
    ParseResult parsed = ParseCardFile(kCard + extra, &description);
    ASSERT_TRUE(parsed.ok) << parsed.error;
    card = SimCard::Create(kernel, description);
    PHYSICAL_ADDRESS at;
    at.QuadPart = 0xE0000000;
    base = static_cast<volatile uint8_t*>(MmMapIoSpace(at, 0x4000000, MmNonCached));
    std::vector<uint8_t> image = TestFirmwareImage();
    if (firmware == Firmware::Short) image.resize(1000);
    if (firmware == Firmware::Altered) image[0x20000] ^= 0x10;
    if (firmware != Firmware::Missing) kernel.AddDriverFile("nvpelgar.rom", image);
  }
  void TearDown() override {
    if (base != nullptr) MmUnmapIoSpace(const_cast<uint8_t*>(base), 0x4000000);
    card.reset();
    KernelFixture::TearDown();
  }

  volatile ULONG* Reg(uint32_t offset) { return reinterpret_cast<volatile ULONG*>(base + 0x2000000 + offset); }
  volatile ULONG* Mem(uint32_t offset) { return reinterpret_cast<volatile ULONG*>(base + offset); }
  // Every write is followed by a read of the same place, so it has reached the card.
  void WriteReg(uint32_t offset, ULONG value) {
    WRITE_REGISTER_ULONG(Reg(offset), value);
    READ_REGISTER_ULONG(Reg(offset));
  }
  void WriteMem(uint32_t offset, ULONG value) {
    WRITE_REGISTER_ULONG(Mem(offset), value);
    READ_REGISTER_ULONG(Mem(offset));
  }
  ULONG ReadMem(uint32_t offset) { return READ_REGISTER_ULONG(Mem(offset)); }
  void Sleep(ksim::Time t) {
    LARGE_INTEGER interval = Relative(t);
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
  }

  // Returns false when the patch block's offset is out of range (nothing patched).
  void Load(bool patch = true) {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, u"\\systemroot\\system32\\drivers\\nvpelgar.rom");
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
    HANDLE file;
    IO_STATUS_BLOCK io;
    if (ZwCreateFile(&file, GENERIC_READ, &attributes, &io, nullptr, FILE_ATTRIBUTE_NORMAL, FILE_SHARE_READ,
                     FILE_OPEN, FILE_SYNCHRONOUS_IO_NONALERT | FILE_NON_DIRECTORY_FILE, nullptr, 0) != STATUS_SUCCESS)
      return;
    for (uint32_t offset = 0; offset < 256000; offset += 4) {
      ULONG word;
      LARGE_INTEGER at;
      at.QuadPart = offset;
      if (ZwReadFile(file, nullptr, nullptr, nullptr, &io, &word, 4, &at, nullptr) != STATUS_SUCCESS) break;
      WRITE_REGISTER_ULONG(Mem(offset), word);
    }
    ZwClose(file);
    uint32_t block = ReadMem(0x38);
    if (!patch || block > 255928) return;
    for (uint32_t i = 0; i < 18; ++i) WriteMem(block + 4 * i, i == 0 ? 0x4750494F : (i == 1 || i == 17) ? 0 : ~0u);
  }

  // Reset, load, patch and start as the driver's bring-up does; returns the located mailbox 0.
  uint32_t LoadAndStart(bool patch = true) {
    WriteReg(0xA064, 0);
    WriteReg(0x9058, 0xFFFFFFEE);
    Sleep(10 * ksim::kMillisecond);
    WriteReg(0x9054, 0xFFFFFFFF);
    Sleep(10 * ksim::kMillisecond);
    WriteReg(0x9058, 0xFFFFFFFE);
    Sleep(10 * ksim::kMillisecond);
    WriteReg(0x9058, 0xFFFFFFEE);
    WriteReg(0x7FC, 0x1A);
    WriteReg(0x7F8, 0x80000640);
    Load(patch);
    WriteReg(0x9058, 0xFFFFFFEA);
    Sleep(200 * ksim::kMillisecond);
    WriteReg(0x9058, READ_REGISTER_ULONG(Reg(0x9058)) & ~4u);
    Sleep(400 * ksim::kMillisecond);
    mailbox = kUnlocatedMailbox;
    for (uint32_t offset = 0; offset <= 2304; offset += 256) {
      bool match = true;
      for (uint32_t i = 0; i < 4; ++i) match = match && ReadMem(offset + 4 * i) == kMailboxSignature[i];
      if (match) {
        mailbox = offset + 16;
        break;
      }
    }
    WriteReg(0x2120, 0x80);
    return mailbox;
  }

  void Fill(uint32_t box, uint32_t code, const std::vector<uint32_t>& args) {
    uint32_t at = mailbox + box * 80;
    WriteMem(at + 12, 0x60000000);
    WriteMem(at + 4, code);
    for (uint32_t i = 0; i < 16; ++i) WriteMem(at + 16 + 4 * i, i < args.size() ? args[i] : 0);
    WriteMem(at, 3);
  }

  struct Answer {
    NTSTATUS status;
    uint32_t returnValue = 0;
    std::vector<uint32_t> results;
    int rereads = 0;
  };
  // A waited command: 1 ms, then re-reads 10 ms apart; bit 2 still clear after the 21st re-read times out.
  Answer Send(uint32_t code, const std::vector<uint32_t>& args, size_t results = 0) {
    Answer a{STATUS_SUCCESS, 0, {}, 0};
    Fill(0, code, args);
    Sleep(ksim::kMillisecond);
    while ((ReadMem(mailbox) & 4) == 0) {
      Sleep(10 * ksim::kMillisecond);
      if (a.rereads++ == 21) {
        WriteMem(mailbox, 0);  // taken back from the firmware
        return Answer{STATUS_TIMEOUT, 0, {}, a.rereads};
      }
    }
    a.returnValue = ReadMem(mailbox + 8);
    for (size_t i = 0; i < results; ++i) a.results.push_back(ReadMem(mailbox + 16 + 4 * static_cast<uint32_t>(i)));
    return a;
  }
  // A posted command in the first free mailbox among 1 ... 7; returns the mailbox, 0 when all are busy.
  uint32_t Post(uint32_t code, const std::vector<uint32_t>& args) {
    for (uint32_t box = 1; box <= 7; ++box) {
      if (ReadMem(mailbox + box * 80) == 3) continue;
      Fill(box, code, args);
      return box;
    }
    return 0;
  }
  // Waits (1 ms steps, at most a second) for an interrupt status bit; the sources stay masked, so polling
  // the status register is how the test sees them.
  bool WaitForStatus(uint32_t bit) {
    for (int i = 0; i < 1000; ++i) {
      if (READ_REGISTER_ULONG(Reg(0x40)) & bit) return true;
      Sleep(ksim::kMillisecond);
    }
    return false;
  }

  std::unique_ptr<SimCard> card;
  volatile uint8_t* base = nullptr;
  uint32_t mailbox = kUnlocatedMailbox;
};

TEST_F(EncoderFirmwareTest, ResetLoadAndStartShowTheSignatureAndAnswerAWaitedCommand) {
  Build();
  EXPECT_EQ(LoadAndStart(), 0x210u);
  EXPECT_EQ(card->Firmware().State(), EncoderFirmware::Run::Running);
  EXPECT_EQ(card->Firmware().Boots(), 1u);
  EXPECT_EQ(card->Firmware().MailboxOffset(), 0x210u);
  std::vector<RegisterAccess> writes;
  for (const RegisterAccess& a : card->RegisterLog())
    if (a.write) writes.push_back(a);
  EXPECT_THAT(writes, ElementsAre(RegisterAccess{true, 0xA064, 0}, RegisterAccess{true, 0x9058, 0xFFFFFFEE},
                                  RegisterAccess{true, 0x9054, 0xFFFFFFFF}, RegisterAccess{true, 0x9058, 0xFFFFFFFE},
                                  RegisterAccess{true, 0x9058, 0xFFFFFFEE}, RegisterAccess{true, 0x7FC, 0x1A},
                                  RegisterAccess{true, 0x7F8, 0x80000640}, RegisterAccess{true, 0x9058, 0xFFFFFFEA},
                                  RegisterAccess{true, 0x9058, 0xFFFFFFEA}, RegisterAccess{true, 0x2120, 0x80}));
  ksim::Time sent = kernel.Now();
  Answer a = Send(0xC4, {}, 1);
  EXPECT_EQ(a.status, STATUS_SUCCESS);
  EXPECT_EQ(a.rereads, 0) << "answered within the first millisecond";
  EXPECT_EQ(kernel.Now() - sent, ksim::kMillisecond);
  EXPECT_EQ(a.returnValue, 0u);
  EXPECT_THAT(a.results, ElementsAre(kFirmwareVersion));
  EXPECT_EQ(ReadMem(0x210), 7u) << "the flags keep the hand-over bits and gain bit 2";
  EXPECT_EQ(card->Firmware().CommandLogText(), "mb0 0xC4() -> 0x0 [33947705]\n");
  EXPECT_EQ(card->Firmware().CommandLog()[0].timeoutWord, 0x60000000u);
}

TEST_F(EncoderFirmwareTest, SignatureAppearsOnlyWhenTheReleasedProcessorHasBooted) {
  Build("firmware-signature 0x900\n");
  WriteReg(0x9058, 0xFFFFFFEE);
  EXPECT_EQ(card->Firmware().State(), EncoderFirmware::Run::Held);
  Load();
  WriteReg(0x9058, 0xFFFFFFEA);
  EXPECT_EQ(card->Firmware().State(), EncoderFirmware::Run::Booting);
  Sleep(kBootTime - 1);
  EXPECT_EQ(ReadMem(0x900), 0u);
  Sleep(1);
  EXPECT_EQ(ReadMem(0x900), 0x12345678u);
  EXPECT_EQ(ReadMem(0x90C), 0x78123456u);
  EXPECT_EQ(card->Firmware().MailboxOffset(), 0x910u);
  // Holding the processor again stops it: a command handed over now is never answered.
  WriteReg(0x9058, 0xFFFFFFEE);
  mailbox = 0x910;
  EXPECT_EQ(Send(0x80, {}).status, STATUS_TIMEOUT);
  EXPECT_EQ(card->Firmware().CommandLogText(), "");
}

TEST_F(EncoderFirmwareTest, ProcessorStartedWithoutAResetHoldDoesNotRun) {
  Build();
  Load();
  WriteReg(0x9058, 0xFFFFFFEA);
  Sleep(100 * ksim::kMillisecond);
  EXPECT_EQ(card->Firmware().State(), EncoderFirmware::Run::Off);
  EXPECT_EQ(ReadMem(0x200), 0u);
}

TEST_F(EncoderFirmwareTest, ImagesOtherThanTheLoadedTestImageAreRefused) {
  struct Case {
    const char* name;
    Firmware firmware;
    bool patch;
  } cases[] = {
      {"missing file", Firmware::Missing, true},
      {"short file", Firmware::Short, true},
      {"altered byte", Firmware::Altered, true},
      {"patch block not applied", Firmware::Test, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Build("", c.firmware);
    EXPECT_EQ(LoadAndStart(c.patch), kUnlocatedMailbox);
    EXPECT_EQ(card->Firmware().State(), EncoderFirmware::Run::Refused);
    EXPECT_EQ(card->Firmware().Refusals(), 1u);
    EXPECT_EQ(Send(0x80, {}).status, STATUS_TIMEOUT);
    EXPECT_EQ(card->Firmware().CommandLogText(), "");
    MmUnmapIoSpace(const_cast<uint8_t*>(base), 0x4000000);
    base = nullptr;
    card.reset();
    kernel.RemoveDriverFile("nvpelgar.rom");
  }
}

TEST_F(EncoderFirmwareTest, ConfigurationCommandsChangeTheEncoderState) {
  Build();
  LoadAndStart();
  struct Step {
    uint32_t code;
    std::vector<uint32_t> args;
    size_t results;
  } steps[] = {
      {0x97, {12, 2}, 0},
      {0xC5, {1}, 0},
      {0xB9, {11}, 0},
      {0x95, {0, 4000000, 15000, 0, 0}, 0},
      {0xB1, {1}, 0},
      {0xBD, {0x4E9}, 0},
      {0x91, {240, 720}, 0},
      {0xA1, {1, 1}, 0},
      {0x9B, {3, 2}, 0},
      {0x9F, {0, 255, 1, 254}, 0},
      {0x9D, {8, 9}, 0},
      {0xD6, {259, 260}, 0},
      {0xC9, {1, 1}, 0},
      {0xDC, {3, 1}, 1},
      {0x8F, {1}, 0},
      {0xDC, {4, 1}, 0},
      {0xC8, {0xBD05, 1, 4, 0xAB120000, 7, 36, 1456}, 3},
      {0xB7, {6, 1, 0, 0, 0}, 0},
      {0xB7, {0x80000017, 1, 0, 0, 0}, 0},
      {0xB7, {24, 0, 0, 0, 0}, 0},
      {0xC7, {7, 400}, 2},
      {0xDA, {1}, 0},
      {0xCD, {}, 0},
      {0x77, {5}, 0},
      {0x81, {2, 0}, 0},
  };
  for (const Step& s : steps) EXPECT_EQ(Send(s.code, s.args, s.results).status, STATUS_SUCCESS);
  EXPECT_EQ(card->Firmware().CommandLogText(),
            "mb0 0x97(12,2) -> 0x0\n"
            "mb0 0xC5(1) -> 0x0\n"
            "mb0 0xB9(11) -> 0x0\n"
            "mb0 0x95(0,4000000,15000) -> 0x0\n"
            "mb0 0xB1(1) -> 0x0\n"
            "mb0 0xBD(1257) -> 0x0\n"
            "mb0 0x91(240,720) -> 0x0\n"
            "mb0 0xA1(1,1) -> 0x0\n"
            "mb0 0x9B(3,2) -> 0x0\n"
            "mb0 0x9F(0,255,1,254) -> 0x0\n"
            "mb0 0x9D(8,9) -> 0x0\n"
            "mb0 0xD6(259,260) -> 0x0\n"
            "mb0 0xC9(1,1) -> 0x0\n"
            "mb0 0xDC(3,1) -> 0x0 [1]\n"
            "mb0 0x8F(1) -> 0x0\n"
            "mb0 0xDC(4,1) -> 0x0\n"
            "mb0 0xC8(48389,1,4,2870083584,7,36,1456) -> 0x0 [1,8,31457280]\n"
            "mb0 0xB7(6,1) -> 0x0\n"
            "mb0 0xB7(2147483671,1) -> 0x0\n"
            "mb0 0xB7(24) -> 0x0\n"
            "mb0 0xC7(7,400) -> 0x0 [32505856,400]\n"
            "mb0 0xDA(1) -> 0x0\n"
            "mb0 0xCD() -> 0x0\n"
            "mb0 0x77(5) -> 0xFFFFFFFF\n"
            "mb0 0x81(2) -> 0xFFFFFFFE\n");
  const EncoderState& s = card->Firmware().Encoder();
  EXPECT_EQ(s.gopPictures, 12u);
  EXPECT_EQ(s.gopBFrames, 2u);
  EXPECT_TRUE(s.closedGop);
  EXPECT_EQ(s.streamType, 11u);
  EXPECT_EQ(s.bitRateMode, 0u);
  EXPECT_EQ(s.bitRate, 4000000u);
  EXPECT_EQ(s.peakRate400, 15000u);
  EXPECT_TRUE(s.inverseTelecine);
  EXPECT_EQ(s.audioWord, 0x4E9u);
  EXPECT_EQ(s.height, 240u);
  EXPECT_EQ(s.width, 720u);
  EXPECT_EQ(s.filterMode, 3u);
  EXPECT_EQ(s.medianType, 2u);
  EXPECT_THAT(s.coring, ElementsAre(0u, 255u, 1u, 254u));
  EXPECT_EQ(s.spatialLevel, 8u);
  EXPECT_EQ(s.temporalLevel, 9u);
  EXPECT_THAT(s.captureWindow, ElementsAre(259u, 260u));
  EXPECT_THAT(s.bringUpSteps, ElementsAre(std::pair<uint32_t, uint32_t>(3, 1), std::pair<uint32_t, uint32_t>(4, 1)));
  EXPECT_EQ(s.frameRate, 1u);
  EXPECT_TRUE(s.vbi.configured);
  EXPECT_EQ(s.vbi.bufferSize, 52432u) << "36 lines of 1456 bytes and a 12-byte header, to 16 bytes, plus 16";
  EXPECT_EQ(s.vbi.linesField1, 1u << 6);
  EXPECT_EQ(s.vbi.linesField2, 1u << 23);
  EXPECT_EQ(card->MemoryWord(kVbiRingOffset - 4), kVbiRingOffset) << "the ring's write position starts at buffer 0";
  EXPECT_TRUE(s.auxConfigured);
  EXPECT_EQ(card->MemoryWord(kAuxRingBase), kAuxRingBase + 4) << "no auxiliary record written yet";
  EXPECT_TRUE(s.inputChanging);
  EXPECT_EQ(s.configurationsEnded, 1u);
  EXPECT_FALSE(s.encoderCapture);
}

TEST_F(EncoderFirmwareTest, PostedCommandsTakeFreeMailboxesAndAnswerWithoutBeingWaitedFor) {
  Build("switch answer-delay 5000\n");
  LoadAndStart();
  EXPECT_EQ(Post(0x80, {}), 1u);
  EXPECT_EQ(Post(0xDA, {1}), 2u) << "mailbox 1 still belongs to the firmware";
  for (uint32_t box = 3; box <= 7; ++box) EXPECT_EQ(Post(0x80, {}), box);
  EXPECT_EQ(Post(0x80, {}), 0u) << "all seven are busy";
  Sleep(5 * ksim::kMillisecond);
  EXPECT_EQ(ReadMem(0x210 + 80), 7u);
  EXPECT_EQ(ReadMem(0x210 + 2 * 80 + 8), 0u);
  EXPECT_EQ(Post(0x80, {}), 1u) << "an answered mailbox is free again";
  Sleep(5 * ksim::kMillisecond);
  EXPECT_EQ(card->Firmware().CommandLogText(),
            "mb1 0x80() -> 0x0\nmb2 0xDA(1) -> 0x0\nmb3 0x80() -> 0x0\nmb4 0x80() -> 0x0\nmb5 0x80() -> 0x0\n"
            "mb6 0x80() -> 0x0\nmb7 0x80() -> 0x0\nmb1 0x80() -> 0x0\n");
  EXPECT_TRUE(card->Firmware().Encoder().inputChanging);
}

TEST_F(EncoderFirmwareTest, HandedOverMailboxBelongsToTheFirmwareUntilTakenBack) {
  Build("switch firmware-silent\n");
  LoadAndStart();
  Fill(0, 0x80, {});
  WriteMem(0x210 + 16, 5);  // an argument word of the held mailbox
  ExpectOneFault("word +16 of mailbox 0 written while the firmware holds the mailbox");
  WriteMem(0x210, 0);  // taken back
  Fill(0, 0x80, {});   // may be filled again
  EXPECT_THAT(kernel.Faults(), ::testing::IsEmpty());
  WriteMem(0x210, 0);
}

TEST_F(EncoderFirmwareTest, ErrorSwitchesSilenceDropOrDelayAnswers) {
  struct Case {
    const char* card;
    std::vector<NTSTATUS> statuses;  // of four pings
    const char* log;
  } cases[] = {
      {"switch firmware-silent\n", {STATUS_TIMEOUT, STATUS_TIMEOUT, STATUS_TIMEOUT, STATUS_TIMEOUT}, ""},
      {"firmware-signature none\n", {STATUS_TIMEOUT, STATUS_TIMEOUT, STATUS_TIMEOUT, STATUS_TIMEOUT}, ""},
      {"firmware-signature 0x180\n", {STATUS_TIMEOUT, STATUS_TIMEOUT, STATUS_TIMEOUT, STATUS_TIMEOUT}, ""},
      {"switch drop-command 2\nswitch drop-command 3\n",
       {STATUS_SUCCESS, STATUS_TIMEOUT, STATUS_TIMEOUT, STATUS_SUCCESS},
       "mb0 0x80() -> 0x0\nmb0 0x80() dropped\nmb0 0x80() dropped\nmb0 0x80() -> 0x0\n"},
      {"switch drop-code 0x80\n",
       {STATUS_TIMEOUT, STATUS_TIMEOUT, STATUS_TIMEOUT, STATUS_TIMEOUT},
       "mb0 0x80() dropped\nmb0 0x80() dropped\nmb0 0x80() dropped\nmb0 0x80() dropped\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.card);
    Build(c.card);
    LoadAndStart();
    EXPECT_EQ(card->Firmware().State(), EncoderFirmware::Run::Running);
    std::vector<NTSTATUS> statuses;
    for (int i = 0; i < 4; ++i) statuses.push_back(Send(0x80, {}).status);
    EXPECT_EQ(statuses, c.statuses);
    EXPECT_EQ(card->Firmware().CommandLogText(), c.log);
    MmUnmapIoSpace(const_cast<uint8_t*>(base), 0x4000000);
    base = nullptr;
    card.reset();
    kernel.RemoveDriverFile("nvpelgar.rom");
  }
}

TEST_F(EncoderFirmwareTest, AnswerDelayDecidesOnWhichReReadTheCommandCompletes) {
  struct Case {
    uint32_t delayMicroseconds;
    NTSTATUS status;
    int rereads;
  } cases[] = {
      {100, STATUS_SUCCESS, 0},
      {1001, STATUS_SUCCESS, 1},
      {211000, STATUS_SUCCESS, 21},
      {211001, STATUS_TIMEOUT, 22},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.delayMicroseconds);
    Build("switch answer-delay " + std::to_string(c.delayMicroseconds) + "\n");
    LoadAndStart();
    Answer a = Send(0xC5, {1});
    EXPECT_EQ(a.status, c.status);
    EXPECT_EQ(a.rereads, c.rereads);
    Sleep(20 * ksim::kMillisecond);
    EXPECT_TRUE(card->Firmware().Encoder().closedGop) << "a late answer still happens";
    MmUnmapIoSpace(const_cast<uint8_t*>(base), 0x4000000);
    base = nullptr;
    card.reset();
    kernel.RemoveDriverFile("nvpelgar.rom");
  }
}

// Builds a descriptor list in a contiguous page, as the driver does for a stream's buffers.
class DescriptorPage {
 public:
  DescriptorPage() {
    PHYSICAL_ADDRESS highest;
    highest.QuadPart = 0xFFFFFFFF;
    words_ = static_cast<ULONG*>(MmAllocateContiguousMemory(4096, highest));
    std::memset(words_, 0, 4096);
  }
  ~DescriptorPage() { MmFreeContiguousMemory(words_); }
  void Set(uint32_t i, uint32_t source, uint32_t destination, uint32_t control) {
    words_[3 * i] = source, words_[3 * i + 1] = destination, words_[3 * i + 2] = control;
  }
  uint32_t Physical() const { return static_cast<uint32_t>(MmGetPhysicalAddress(words_).QuadPart); }

 private:
  ULONG* words_;
};

TEST_F(EncoderFirmwareTest, MpegCaptureIsRequestedAndCopiedIntoTheStreamBuffersInEncoderWordOrder) {
  Build();
  LoadAndStart();
  ASSERT_EQ(Send(0x81, {0, 0}).status, STATUS_SUCCESS);
  EXPECT_TRUE(card->Firmware().Encoder().encoderCapture);
  std::vector<uint8_t> buffer(0x20000, 0xCC);
  uint32_t physical = static_cast<uint32_t>(kernel.RegisterDmaBuffer(buffer.data(), buffer.size()));
  DescriptorPage page;
  MpegStreamChecker checker;
  uint32_t expectedAddress = kMpegRingBase;
  for (int transfer = 0; transfer < 3; ++transfer) {
    SCOPED_TRACE(transfer);
    ASSERT_TRUE(WaitForStatus(kDmaRequest));
    WriteReg(0x40, kDmaRequest);
    EXPECT_EQ(ReadMem(0x210 + 736), 0u) << "stream 0: MPEG";
    uint32_t address = ReadMem(0x210 + 740);
    uint32_t count = ReadMem(0x210 + 744);
    EXPECT_EQ(address, expectedAddress);
    expectedAddress += kMpegSlotBytes;
    // At 6 Mbit/s a 525-line frame period is worth 12 packs (13 when the remainders add up).
    ASSERT_TRUE(count == 12 * kMpegPackBytes || count == 13 * kMpegPackBytes) << count;
    // Pieces of one page each, as a buffer's scatter/gather mappings give them.
    uint32_t pieces = (count + 4095) / 4096;
    for (uint32_t i = 0; i < pieces; ++i) {
      uint32_t piece = std::min<uint32_t>(4096, count - 4096 * i);
      page.Set(i, address + 4096 * i, physical + 4096 * i, piece | (i + 1 == pieces ? 0x80000000 : 0));
    }
    EXPECT_EQ(Post(0xCC, {page.Physical(), count, 0}), 1u);
    ASSERT_TRUE(WaitForStatus(kDmaDoneBit));
    WriteReg(0x40, kDmaDoneBit);
    EXPECT_EQ(ReadMem(0x210 + 660), 0u) << "done report for stream 0";
    const DmaTransfer& t = card->Firmware().Transfers().back();
    EXPECT_TRUE(t.completed);
    EXPECT_EQ(t.copied, count);
    ASSERT_EQ(t.descriptors.size(), pieces);
    EXPECT_EQ(t.descriptors[0], (DmaDescriptor{address, physical, 4096, false}));
    EXPECT_TRUE(t.descriptors.back().last);
    EXPECT_EQ(buffer[0], 0xBA) << "the encoder's big-endian words land with their bytes reversed";
    EXPECT_EQ(buffer[count], 0xCC) << "nothing past the descriptors";
    std::vector<uint8_t> stream(buffer.begin(), buffer.begin() + count);
    SwapWordBytes(stream.data(), stream.size());
    checker.Feed(stream.data(), stream.size());
    std::fill(buffer.begin(), buffer.end(), 0xCC);
  }
  MpegStreamChecker::Tally tally = checker.Result();
  EXPECT_EQ(tally.lost + tally.duplicated + tally.reordered + tally.damaged, 0u);
  EXPECT_EQ(tally.packs, card->Firmware().PacksDelivered());
  EXPECT_GE(tally.packs, 36u);
  ASSERT_EQ(Send(0x82, {1, 0, 0}).status, STATUS_SUCCESS);
  EXPECT_FALSE(card->Firmware().Encoder().encoderCapture);
  uint64_t made = card->Firmware().PacksMade();
  WriteReg(0x40, kDmaRequest);
  Sleep(200 * ksim::kMillisecond);
  EXPECT_EQ(card->Firmware().PacksMade(), made) << "nothing is made after the stop";
  kernel.UnregisterDmaBuffer(buffer.data());
}

TEST_F(EncoderFirmwareTest, ScheduleWithoutAListDropsTheDataAndTheStreamShowsTheGap) {
  Build();
  LoadAndStart();
  ASSERT_EQ(Send(0x81, {0, 0}).status, STATUS_SUCCESS);
  ASSERT_TRUE(WaitForStatus(kDmaRequest));
  WriteReg(0x40, kDmaRequest);
  uint32_t count = ReadMem(0x210 + 744);
  Post(0xCC, {0, count, 0});
  ASSERT_TRUE(WaitForStatus(kDmaDoneBit)) << "a dropped transfer is reported done too";
  WriteReg(0x40, kDmaDoneBit);
  EXPECT_EQ(card->Firmware().PacksDropped(), count / kMpegPackBytes);
  // The next transfer carries the packs after the dropped ones.
  ASSERT_TRUE(WaitForStatus(kDmaRequest));
  WriteReg(0x40, kDmaRequest);
  uint32_t address = ReadMem(0x210 + 740);
  uint32_t next = ReadMem(0x210 + 744);
  std::vector<uint8_t> buffer(next);
  uint32_t physical = static_cast<uint32_t>(kernel.RegisterDmaBuffer(buffer.data(), buffer.size()));
  DescriptorPage page;
  page.Set(0, address, physical, next | 0x80000000);
  Post(0xCC, {page.Physical(), next, 0});
  ASSERT_TRUE(WaitForStatus(kDmaDoneBit));
  SwapWordBytes(buffer.data(), buffer.size());
  MpegStreamChecker checker;
  checker.Feed(buffer.data(), buffer.size());
  EXPECT_EQ(checker.Result().lost, count / kMpegPackBytes);
  EXPECT_EQ(checker.Result().packs, next / kMpegPackBytes);
  kernel.UnregisterDmaBuffer(buffer.data());
  Send(0x82, {1, 0, 0});
}

TEST_F(EncoderFirmwareTest, FullRingLosesPacksAndTheCheckerCountsThem) {
  Build();
  LoadAndStart();
  ASSERT_EQ(Send(0x81, {0, 0}).status, STATUS_SUCCESS);
  Sleep(20 * 333667);  // 20 frames unanswered: 16 slots hold data, the last 4 frames are lost
  uint64_t lost = card->Firmware().PacksOverflowed();
  EXPECT_GE(lost, 4u * 12);
  std::vector<uint8_t> buffer(kMpegSlotBytes);
  uint32_t physical = static_cast<uint32_t>(kernel.RegisterDmaBuffer(buffer.data(), buffer.size()));
  DescriptorPage page;
  MpegStreamChecker checker;
  for (int transfer = 0; transfer < 17; ++transfer) {
    ASSERT_TRUE(WaitForStatus(kDmaRequest)) << transfer;
    WriteReg(0x40, kDmaRequest);
    uint32_t count = ReadMem(0x210 + 744);
    page.Set(0, ReadMem(0x210 + 740), physical, count | 0x80000000);
    Post(0xCC, {page.Physical(), count, 0});
    ASSERT_TRUE(WaitForStatus(kDmaDoneBit));
    WriteReg(0x40, kDmaDoneBit);
    SwapWordBytes(buffer.data(), count);
    checker.Feed(buffer.data(), count);
  }
  EXPECT_EQ(card->Firmware().PacksOverflowed(), lost) << "answering freed the ring in time";
  EXPECT_EQ(checker.Result().lost, lost);
  EXPECT_EQ(checker.Result().packs, card->Firmware().PacksDelivered());
  EXPECT_EQ(checker.Result().damaged + checker.Result().duplicated + checker.Result().reordered, 0u);
  Send(0x82, {1, 0, 0});
  kernel.UnregisterDmaBuffer(buffer.data());
}

TEST_F(EncoderFirmwareTest, BrokenDescriptorListsAreFaultsAndStopTheTransfer) {
  Build();
  LoadAndStart();
  std::vector<uint8_t> buffer(0x10000);
  uint32_t physical = static_cast<uint32_t>(kernel.RegisterDmaBuffer(buffer.data(), buffer.size()));
  struct Case {
    const char* name;
    std::function<void(DescriptorPage&, uint32_t address)> build;
    const char* fault;
    uint32_t copied;
  } cases[] = {
      {"reserved bits", [&](DescriptorPage& p, uint32_t a) { p.Set(0, a, physical, 0x80040000 | 256); },
       "descriptor 0 of the list at", 0},
      {"no bytes", [&](DescriptorPage& p, uint32_t a) { p.Set(0, a, physical, 0x80000000); }, "moves no bytes", 0},
      {"past encoder memory",
       [&](DescriptorPage& p, uint32_t) { p.Set(0, kEncoderMemoryLength - 256, physical, 0x80000000 | 512); },
       "reads past the end of encoder memory", 0},
      {"outside the buffer",
       [&](DescriptorPage& p, uint32_t a) {
         p.Set(0, a, physical, 256);
         p.Set(1, a, physical + 0x10000 - 256, 0x80000000 | 512);
       },
       "outside any buffer registered for DMA", 256},
      {"no last descriptor",
       [&](DescriptorPage& p, uint32_t a) {
         for (uint32_t i = 0; i < 341; ++i) p.Set(i, a, physical, 256);
       },
       "has no last descriptor in its 341 entries", 341 * 256},
  };
  ASSERT_EQ(Send(0x81, {0, 0}).status, STATUS_SUCCESS);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(WaitForStatus(kDmaRequest));
    WriteReg(0x40, kDmaRequest);
    DescriptorPage page;
    c.build(page, ReadMem(0x210 + 740));
    Post(0xCC, {page.Physical(), ReadMem(0x210 + 744), 0});
    ASSERT_TRUE(WaitForStatus(kDmaDoneBit));
    WriteReg(0x40, kDmaDoneBit);
    ExpectOneFault(c.fault);
    EXPECT_FALSE(card->Firmware().Transfers().back().completed);
    EXPECT_EQ(card->Firmware().Transfers().back().copied, c.copied);
  }
  Send(0x82, {1, 0, 0});
  kernel.UnregisterDmaBuffer(buffer.data());
}

TEST_F(EncoderFirmwareTest, VbiRingFillsOneBufferPerFrameAndRidesAlongWithTheMpegTransfer) {
  Build();
  LoadAndStart();
  ASSERT_EQ(Send(0x8F, {1}).status, STATUS_SUCCESS);
  Answer vbi = Send(0xC8, {0xBD05, 1, 4, 0x1A2B0000, 0, 36, 1456}, 3);
  ASSERT_THAT(vbi.results, ElementsAre(1u, 8u, kVbiRingOffset));
  const uint32_t size = card->Firmware().Encoder().vbi.bufferSize;
  ASSERT_EQ(size, 52432u);
  ASSERT_EQ(Send(0x81, {0, 0}).status, STATUS_SUCCESS);
  ASSERT_TRUE(WaitForStatus(kDmaRequest)) << "the first frame period ends";
  WriteReg(0x40, kDmaRequest);
  EXPECT_EQ(ReadMem(kVbiRingOffset - 4), kVbiRingOffset + size) << "buffer 1 is the one completed last";
  Sleep(40 * ksim::kMillisecond);
  EXPECT_EQ(ReadMem(kVbiRingOffset - 4), kVbiRingOffset + 2 * size);
  EXPECT_EQ(card->Firmware().Encoder().vbi.written, 2u);
  // The MPEG request still waits; answer it with its data and the VBI buffer 1, as the driver stages it.
  uint32_t address = ReadMem(0x210 + 740), count = ReadMem(0x210 + 744);
  std::vector<uint8_t> mpeg(count), staging(2 * (size / 256 * 256 + 256), 0xCC);
  uint32_t mpegPhysical = static_cast<uint32_t>(kernel.RegisterDmaBuffer(mpeg.data(), mpeg.size()));
  uint32_t stagingPhysical = static_cast<uint32_t>(kernel.RegisterDmaBuffer(staging.data(), staging.size()));
  DescriptorPage page;
  page.Set(0, address, mpegPhysical, count);
  page.Set(1, kVbiRingOffset + size, stagingPhysical, (size / 256 * 256 + 256) | 0x80000000);
  Post(0xCC, {page.Physical(), count + size / 256 * 256 + 256, 0});
  ASSERT_TRUE(WaitForStatus(kDmaDoneBit));
  SwapWordBytes(staging.data(), size);
  const uint8_t header[] = {0, 0, 0, 0, 0, 0, 0, 36, 0, 0, 0x05, 0xB0};
  EXPECT_EQ(std::memcmp(staging.data(), header, 12), 0) << "frame 0, 36 lines of 1456 bytes";
  for (uint32_t line = 0; line < 36; ++line) {
    const uint8_t* record = &staging[12 + line * 1456];
    const uint8_t code[] = {0xFF, 0x00, 0x00, static_cast<uint8_t>(line < 18 ? 0x1A : 0x2B)};
    ASSERT_EQ(std::memcmp(record, code, 4), 0) << line;
    ASSERT_EQ(std::count(record + 4, record + 1444, 0xFF), 0) << line;
  }
  MpegStreamChecker checker;
  SwapWordBytes(mpeg.data(), mpeg.size());
  checker.Feed(mpeg.data(), mpeg.size());
  EXPECT_EQ(checker.Result().packs, count / kMpegPackBytes);
  EXPECT_EQ(checker.Result().damaged, 0u);
  Send(0x82, {1, 0, 0});
  kernel.UnregisterDmaBuffer(mpeg.data());
  kernel.UnregisterDmaBuffer(staging.data());
}

TEST_F(EncoderFirmwareTest, UnmaskedRequestReachesTheInterruptRoutineThatAcknowledgesIt) {
  Build();
  LoadAndStart();
  static volatile ULONG* status;
  static std::vector<ULONG> seen;
  status = Reg(0x40);
  seen.clear();
  PKINTERRUPT interrupt;
  ASSERT_EQ(IoConnectInterrupt(
                &interrupt,
                +[](PKINTERRUPT, PVOID) -> BOOLEAN {
                  ULONG pending = READ_REGISTER_ULONG(status);
                  if ((pending & kAllSources) == 0) return FALSE;
                  ULONG bit = (pending & kDmaRequest) ? kDmaRequest : kDmaDone;
                  seen.push_back(bit);
                  WRITE_REGISTER_ULONG(status, bit);
                  return TRUE;
                },
                nullptr, nullptr, 17, 9, 9, LevelSensitive, TRUE, 1, FALSE),
            STATUS_SUCCESS);
  WriteReg(0x48, READ_REGISTER_ULONG(Reg(0x48)) & 0x37FFFFFF);
  ASSERT_EQ(Send(0x81, {0, 0}).status, STATUS_SUCCESS);
  Sleep(70 * ksim::kMillisecond);
  EXPECT_THAT(seen, ElementsAre(kDmaRequest)) << "two frames made, one request waiting for its answer";
  EXPECT_FALSE(card->InterruptLine());
  Post(0xCC, {0, ReadMem(0x210 + 744), 0});
  Sleep(ksim::kMillisecond);
  EXPECT_THAT(seen, ElementsAre(kDmaRequest, kDmaDone, kDmaRequest)) << "done, then the next waiting data";
  Send(0x82, {1, 0, 0});
  WriteReg(0x48, 0xFFFFFFFF);
  IoDisconnectInterrupt(interrupt);
}

TEST_F(EncoderFirmwareTest, RawCaptureRequestsVideoFramesWithTwoPlanesAndAudioBlocksWithoutTheirHeader) {
  Build();
  LoadAndStart();
  ASSERT_EQ(Send(0xBD, {0xE9}).status, STATUS_SUCCESS);  // sampling rate code 1: 48 kHz
  ASSERT_EQ(Send(0x81, {1, 0}).status, STATUS_SUCCESS);
  EXPECT_TRUE(card->Firmware().Encoder().rawCapture);
  std::vector<uint8_t> frame(518400 + 64, 0xCC), staging(8192, 0xCC);
  uint32_t framePhysical = static_cast<uint32_t>(kernel.RegisterDmaBuffer(frame.data(), frame.size()));
  uint32_t stagingPhysical = static_cast<uint32_t>(kernel.RegisterDmaBuffer(staging.data(), staging.size()));
  DescriptorPage page;
  // One frame period at 48 kHz is worth 1601 samples: one video frame, then three audio blocks of 441.
  const uint32_t expectedStreams[] = {1, 2, 2, 2, 1};
  uint32_t frames = 0, blocks = 0;
  for (uint32_t expected : expectedStreams) {
    SCOPED_TRACE(frames + blocks);
    ASSERT_TRUE(WaitForStatus(kDmaRequest));
    WriteReg(0x40, kDmaRequest);
    ASSERT_EQ(ReadMem(0x210 + 736), expected);
    uint32_t address = ReadMem(0x210 + 740), count = ReadMem(0x210 + 744);
    if (expected == 1) {
      EXPECT_EQ(address, kVideoRingBase + frames * kVideoSlotBytes);
      ASSERT_EQ(count, 345600u) << "720 x 480 luma";
      uint32_t address2 = ReadMem(0x210 + 748), count2 = ReadMem(0x210 + 752);
      EXPECT_EQ(address2, address + 348160) << "chroma from the next 4 KiB boundary";
      ASSERT_EQ(count2, 172800u);
      // Luma in pieces of 0x20000 bytes at most, chroma continuing in the same buffer.
      uint32_t i = 0;
      for (uint32_t at = 0; at < count; at += 0x20000, ++i)
        page.Set(i, address + at, framePhysical + at, std::min<uint32_t>(0x20000, count - at));
      for (uint32_t at = 0; at < count2; at += 0x20000, ++i)
        page.Set(i, address2 + at, framePhysical + count + at,
                 std::min<uint32_t>(0x20000, count2 - at) | (at + 0x20000 >= count2 ? 0x80000000 : 0));
      Post(0xCC, {page.Physical(), count + count2, 0});
      ASSERT_TRUE(WaitForStatus(kDmaDoneBit));
      WriteReg(0x40, kDmaDoneBit);
      EXPECT_EQ(ReadMem(0x210 + 660), 1u);
      for (uint32_t b = 0; b < count; b += 997) ASSERT_EQ(frame[b], RawVideoByte(frames, 0, b)) << b;
      for (uint32_t b = 0; b < count2; b += 997) ASSERT_EQ(frame[count + b], RawVideoByte(frames, 1, b)) << b;
      EXPECT_EQ(frame[count + count2], 0xCC);
      ++frames;
    } else {
      EXPECT_EQ(address, kAudioRingBase + blocks * kAudioSlotBytes);
      ASSERT_EQ(count, 1776u);
      page.Set(0, address + 12, stagingPhysical, 1764 | 0x80000000);
      Post(0xCC, {page.Physical(), 1764, 0});
      ASSERT_TRUE(WaitForStatus(kDmaDoneBit));
      WriteReg(0x40, kDmaDoneBit);
      EXPECT_EQ(ReadMem(0x210 + 660), 2u);
      auto block = RawAudioBlock(blocks, 48000);
      EXPECT_TRUE(std::equal(staging.begin(), staging.begin() + 1764, block.begin() + 12));
      EXPECT_EQ(staging[1764], 0xCC);
      ++blocks;
    }
  }
  EXPECT_EQ(card->Firmware().VideoFramesDelivered(), 2u);
  EXPECT_EQ(card->Firmware().AudioBlocksDelivered(), 3u);
  ASSERT_EQ(Send(0x82, {1, 1, 0}).status, STATUS_SUCCESS);
  EXPECT_FALSE(card->Firmware().Encoder().rawCapture);
  uint64_t made = card->Firmware().AudioBlocksMade();
  Sleep(100 * ksim::kMillisecond);
  EXPECT_EQ(card->Firmware().AudioBlocksMade(), made);
  EXPECT_EQ(card->Firmware().PacksMade(), 0u) << "raw capture alone makes no program stream";
  kernel.UnregisterDmaBuffer(frame.data());
  kernel.UnregisterDmaBuffer(staging.data());
}

TEST_F(EncoderFirmwareTest, AudioBlockCarriesItsNumberRateAndSamples) {
  auto block = RawAudioBlock(2, 32000);
  const uint8_t header[] = {2, 0, 0, 0, 0x00, 0x7D, 0, 0, 0xE4, 0x06, 0, 0};
  EXPECT_EQ(std::memcmp(block.data(), header, 12), 0);
  // Frame 0 of block 2 is frame 882 of the capture: 0x0372, right channel its complement.
  EXPECT_THAT(std::vector<uint8_t>(block.begin() + 12, block.begin() + 16), ElementsAre(0x72, 0x03, 0x8D, 0xFC));
  struct Case {
    uint32_t word, rate;
  } rates[] = {{0xE8, 44100}, {0xE9, 48000}, {0xEA, 32000}, {0xEB, 48000}};
  for (const Case& c : rates) EXPECT_EQ(AudioRate(c.word), c.rate) << c.word;
}

TEST_F(EncoderFirmwareTest, AuxiliaryRecordsFillTheirRingOnePerFrame) {
  Build();
  LoadAndStart();
  Answer aux = Send(0xC7, {7, 4}, 2);
  ASSERT_THAT(aux.results, ElementsAre(kAuxRingBase, 4u));
  EXPECT_EQ(ReadMem(kAuxRingBase), kAuxRingBase + 4);
  ASSERT_EQ(Send(0x81, {0, 0}).status, STATUS_SUCCESS);
  Sleep(5 * 333667);
  EXPECT_EQ(ReadMem(kAuxRingBase), kAuxRingBase + 4 + 24) << "five records in a ring of four: the next is index 1";
  EXPECT_EQ(ReadMem(kAuxRingBase + 4), 4u) << "record 4 took index 0";
  EXPECT_EQ(ReadMem(kAuxRingBase + 4 + 8), 0x52585541u);
  EXPECT_EQ(ReadMem(kAuxRingBase + 4 + 24), 1u);
  EXPECT_EQ(ReadMem(kAuxRingBase + 4 + 3 * 24 + 12), 3u);
  Send(0x82, {1, 0, 0});
}

TEST_F(EncoderFirmwareTest, ScheduleWithoutARequestIsAFault) {
  Build();
  LoadAndStart();
  Post(0xCC, {0x1000, 2048, 0});
  Sleep(ksim::kMillisecond);
  ExpectOneFault("card: DMA schedule (command 0xCC) while the encoder has no transfer requested");
  EXPECT_EQ(card->Firmware().CommandLogText(), "mb1 0xCC(4096,2048) -> 0xFFFFFFFE\n");
}

}  // namespace
}  // namespace simcard
