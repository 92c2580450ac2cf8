#include "driver/registry_config.h"

#include "driver/driver_services.h"
#include "driver/kernel/sim/kernel_fixture.h"

namespace {

using pelgar::ReadDriverValue;
using pelgar::ReadDriverValueAt;
using pelgar::WriteDriverValue;

class RegistryConfigTest : public KernelFixture {
 protected:
  void SetUp() override {
    pdo = kernel.AddPhysicalDevice("card");
    data = &kernel.DriverKey(pdo).Create("DriverData");
  }
  // Every access closes what it opened and frees its buffers.
  void ExpectNothingLeft() { EXPECT_THAT(kernel.CheckUnload(), ::testing::IsEmpty()); }

  PDEVICE_OBJECT pdo = nullptr;
  ksim::RegistryKey* data = nullptr;
};

TEST_F(RegistryConfigTest, ReadsValuesOfUpToFourBytesWhateverTheirType) {
  struct Case {
    const char* name;
    ULONG type;
    std::vector<uint8_t> bytes;
    NTSTATUS status;
    ULONG value;  // after the read, preloaded with 0xDEADBEEF
  };
  const Case cases[] = {
      {"dword", REG_DWORD, {0x78, 0x56, 0x34, 0x12}, STATUS_SUCCESS, 0x12345678},
      {"binary of 4 bytes", REG_BINARY, {1, 0, 0, 0}, STATUS_SUCCESS, 1},
      {"two bytes replace the low half", REG_BINARY, {0x34, 0x12}, STATUS_SUCCESS, 0xDEAD1234},
      {"empty value changes nothing", REG_BINARY, {}, STATUS_SUCCESS, 0xDEADBEEF},
      {"five bytes are too long", REG_BINARY, {1, 2, 3, 4, 5}, STATUS_BUFFER_TOO_SMALL, 0xDEADBEEF},
      {"long text is too long", REG_SZ, std::vector<uint8_t>(64, 'a'), STATUS_BUFFER_TOO_SMALL, 0xDEADBEEF},
  };
  for (const Case& c : cases) {
    data->SetValue("BoardType", c.type, c.bytes);
    ULONG value = 0xDEADBEEF;
    EXPECT_EQ(ReadDriverValue(pdo, "BoardType", &value), c.status) << c.name;
    EXPECT_EQ(value, c.value) << c.name;
  }
  ExpectNothingLeft();
}

TEST_F(RegistryConfigTest, MissingValueOrKeyKeepsTheDefault) {
  ULONG value = 4;
  EXPECT_EQ(ReadDriverValue(pdo, "TunerType", &value), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(value, 4u);
  PDEVICE_OBJECT bare = kernel.AddPhysicalDevice("bare");
  EXPECT_EQ(ReadDriverValue(bare, "TunerType", &value), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(value, 4u);
  ExpectNothingLeft();
}

TEST_F(RegistryConfigTest, NamesAreMatchedWithoutRegardToCase) {
  data->SetDword("videostandard", 16);
  ULONG value = 1;
  EXPECT_EQ(ReadDriverValue(pdo, "VideoStandard", &value), STATUS_SUCCESS);
  EXPECT_EQ(value, 16u);
}

TEST_F(RegistryConfigTest, EachAccessOpensAndClosesTheKeys) {
  data->SetDword("BoardType", 0);
  ULONG value = 1;
  uint64_t before = kernel.RegistryOpens();
  ReadDriverValue(pdo, "BoardType", &value);
  ReadDriverValue(pdo, "BoardType", &value);
  WriteDriverValue(pdo, "BoardType", 1);
  EXPECT_EQ(kernel.RegistryOpens() - before, 6u);  // driver key and "DriverData", three times
  ExpectNothingLeft();
}

TEST_F(RegistryConfigTest, ReadsUnderAnotherSubkey) {
  kernel.DriverKey(pdo).Create("DriverData\\XBarPin1").SetDword("PinType", 2);
  ULONG value = 0xFFFFFFFF;
  EXPECT_EQ(ReadDriverValueAt(pdo, "DriverData\\XBarPin1", "PinType", &value), STATUS_SUCCESS);
  EXPECT_EQ(value, 2u);
  value = 7;
  EXPECT_EQ(ReadDriverValueAt(pdo, "DriverData\\XBarPin2", "PinType", &value), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(value, 7u);
  ExpectNothingLeft();
}

TEST_F(RegistryConfigTest, WritesADword) {
  data->SetValue("TunerCountryCode", REG_SZ, {'x', 0});
  EXPECT_EQ(WriteDriverValue(pdo, "TunerCountryCode", 44), STATUS_SUCCESS);
  const ksim::RegistryKey::Value* v = data->GetValue("TunerCountryCode");
  ASSERT_NE(v, nullptr);
  EXPECT_EQ(v->type, REG_DWORD);
  EXPECT_EQ(data->Dword("TunerCountryCode"), 44u);
  ExpectNothingLeft();
}

TEST_F(RegistryConfigTest, FailedWritesReportTheirStatus) {
  kernel.FailRegistryWrites(true);
  EXPECT_EQ(WriteDriverValue(pdo, "VideoInputPin", 3), STATUS_ACCESS_DENIED);
  kernel.FailRegistryWrites(false);
  EXPECT_EQ(data->GetValue("VideoInputPin"), nullptr);
  PDEVICE_OBJECT bare = kernel.AddPhysicalDevice("bare");
  EXPECT_EQ(WriteDriverValue(bare, "VideoInputPin", 3), STATUS_OBJECT_NAME_NOT_FOUND);
  ExpectNothingLeft();
}

TEST_F(RegistryConfigTest, AllocationFailuresKeepTheDefaultAndLeakNothing) {
  data->SetDword("BitRate", 6000000);
  // A read makes three requests: the key name, the value name and the query buffer.
  for (uint64_t n = 1; n <= 3; ++n) {
    kernel.FailNthRequest(n);
    ULONG value = 42;
    EXPECT_EQ(ReadDriverValue(pdo, "BitRate", &value), n == 3 ? STATUS_INSUFFICIENT_RESOURCES : STATUS_NO_MEMORY)
        << "request " << n;
    EXPECT_EQ(value, 42u) << "request " << n;
    ExpectNothingLeft();
  }
  EXPECT_EQ(kernel.InjectedFailures().size(), 3u);
  kernel.FailNthRequest(2);
  EXPECT_EQ(WriteDriverValue(pdo, "BitRate", 1), STATUS_NO_MEMORY);
  EXPECT_EQ(data->Dword("BitRate"), 6000000u);
  ExpectNothingLeft();
}

}  // namespace
