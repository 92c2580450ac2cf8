#include <cstddef>
#include <cstring>
#include <vector>

#include "driver/kernel/sim/kernel_fixture.h"

using ::testing::HasSubstr;

namespace {

class RegistryTest : public KernelFixture {
 protected:
  RegistryTest() : pdo(kernel.AddPhysicalDevice("card0")) {
    kernel.DriverKey(pdo).Create("DriverData").SetDword("BoardType", 3);
    kernel.DriverKey(pdo).Create("DriverData\\XBarPin0").SetDword("PinType", 7);
  }

  // Opens the driver key and a subkey of it the way the driver does; returns both handles.
  NTSTATUS OpenSubkey(const char* path, HANDLE* root, HANDLE* key, ACCESS_MASK access = 0x2001F) {
    NTSTATUS status = IoOpenDeviceRegistryKey(pdo, PLUGPLAY_REGKEY_DRIVER, STANDARD_RIGHTS_ALL, root);
    if (!NT_SUCCESS(status)) return status;
    ANSI_STRING ansi;
    RtlInitAnsiString(&ansi, path);
    UNICODE_STRING name;
    RtlAnsiStringToUnicodeString(&name, &ansi, TRUE);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, *root, nullptr);
    status = ZwOpenKey(key, access, &attributes);
    RtlFreeUnicodeString(&name);
    return status;
  }

  NTSTATUS Query(HANDLE key, const char* value, KEY_VALUE_INFORMATION_CLASS cls, std::vector<uint8_t>& buffer,
                 ULONG* result) {
    ANSI_STRING ansi;
    RtlInitAnsiString(&ansi, value);
    UNICODE_STRING name;
    RtlAnsiStringToUnicodeString(&name, &ansi, TRUE);
    NTSTATUS status = ZwQueryValueKey(key, &name, cls, buffer.data(), static_cast<ULONG>(buffer.size()), result);
    RtlFreeUnicodeString(&name);
    return status;
  }

  PDEVICE_OBJECT pdo;
};

TEST_F(RegistryTest, DriverReadsADwordThroughTheFullInformationRecord) {
  HANDLE root, key;
  ASSERT_EQ(OpenSubkey("DriverData", &root, &key), STATUS_SUCCESS);
  std::vector<uint8_t> buffer(20 + 4 + 24, 0xCC);  // name buffer + data + record, as the driver sizes it
  ULONG result = 0;
  ASSERT_EQ(Query(key, "boardtype", KeyValueFullInformation, buffer, &result), STATUS_SUCCESS);
  KEY_VALUE_FULL_INFORMATION info;
  std::memcpy(&info, buffer.data(), offsetof(KEY_VALUE_FULL_INFORMATION, Name));
  EXPECT_EQ(info.Type, REG_DWORD);
  EXPECT_EQ(info.NameLength, 18u);
  EXPECT_EQ(info.DataOffset, 40u);  // 20 + 18, aligned to 4
  EXPECT_EQ(info.DataLength, 4u);
  EXPECT_EQ(result, 44u);
  ULONG value;
  std::memcpy(&value, buffer.data() + info.DataOffset, 4);
  EXPECT_EQ(value, 3u);
  EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
  EXPECT_EQ(ZwClose(root), STATUS_SUCCESS);
  EXPECT_EQ(kernel.RegistryOpens(), 2u);
  EXPECT_THAT(kernel.CheckUnload(), ::testing::IsEmpty());
}

TEST_F(RegistryTest, QueryReportsTheLengthItNeedsAndFillsOnlyWhatFits) {
  struct Case {
    KEY_VALUE_INFORMATION_CLASS cls;
    size_t length;
    NTSTATUS status;
    const char* quirk;
  } cases[] = {
      {KeyValueFullInformation, 44, STATUS_SUCCESS, "exact size"},
      {KeyValueFullInformation, 43, STATUS_BUFFER_OVERFLOW, "one byte short: header only"},
      {KeyValueFullInformation, 20, STATUS_BUFFER_OVERFLOW, "fixed part fits"},
      {KeyValueFullInformation, 19, STATUS_BUFFER_TOO_SMALL, "fixed part does not fit"},
      {KeyValuePartialInformation, 16, STATUS_SUCCESS, "partial, exact size"},
      {KeyValuePartialInformation, 15, STATUS_BUFFER_OVERFLOW, "partial, one byte short"},
      {KeyValueBasicInformation, 64, STATUS_INVALID_PARAMETER, "class not served"},
  };
  HANDLE root, key;
  ASSERT_EQ(OpenSubkey("DriverData", &root, &key), STATUS_SUCCESS);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.quirk);
    std::vector<uint8_t> buffer(c.length, 0xCC);
    ULONG result = 0xDEADBEEF;
    EXPECT_EQ(Query(key, "BoardType", c.cls, buffer, &result), c.status);
    if (c.status == STATUS_SUCCESS) {
      EXPECT_EQ(result, c.length);
      ULONG value;
      std::memcpy(&value, buffer.data() + c.length - 4, 4);
      EXPECT_EQ(value, 3u);
    }
    if (c.status == STATUS_BUFFER_OVERFLOW) {
      EXPECT_EQ(result, c.cls == KeyValueFullInformation ? 44u : 16u);
      size_t fixed = c.cls == KeyValueFullInformation ? 20 : 12;
      for (size_t i = fixed; i < buffer.size(); ++i) EXPECT_EQ(buffer[i], 0xCC) << "only the fixed part is filled";
    }
  }
  ZwClose(key);
  ZwClose(root);
}

TEST_F(RegistryTest, OpenAndAccessFailuresCarryThePlatformsStatus) {
  HANDLE root, key;
  EXPECT_EQ(OpenSubkey("Missing", &root, &key), STATUS_OBJECT_NAME_NOT_FOUND);
  ZwClose(root);
  EXPECT_EQ(OpenSubkey("Missing\\XBarPin0", &root, &key), STATUS_OBJECT_PATH_NOT_FOUND);
  ZwClose(root);
  ASSERT_EQ(OpenSubkey("driverdata\\xbarpin0", &root, &key), STATUS_SUCCESS);
  std::vector<uint8_t> buffer(64);
  ULONG result;
  EXPECT_EQ(Query(key, "PinType", KeyValuePartialInformation, buffer, &result), STATUS_SUCCESS);
  EXPECT_EQ(Query(key, "Absent", KeyValuePartialInformation, buffer, &result), STATUS_OBJECT_NAME_NOT_FOUND);
  // The driver key itself is opened with standard rights only: its values cannot be read through it.
  EXPECT_EQ(Query(root, "PinType", KeyValuePartialInformation, buffer, &result), STATUS_ACCESS_DENIED);
  ZwClose(key);
  ZwClose(root);
  EXPECT_EQ(ZwClose(key), STATUS_INVALID_HANDLE);
  ExpectOneFault("ZwClose of a handle that is not open");
  EXPECT_EQ(
      IoOpenDeviceRegistryKey(reinterpret_cast<PDEVICE_OBJECT>(&buffer), PLUGPLAY_REGKEY_DRIVER, KEY_READ, &root),
      STATUS_INVALID_DEVICE_REQUEST);
}

TEST_F(RegistryTest, WritesNeedSetValueAccessAndAWritableHive) {
  HANDLE root, key;
  ULONG value = 0x1234;
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, u"VideoStandard");

  ASSERT_EQ(OpenSubkey("DriverData", &root, &key, KEY_READ), STATUS_SUCCESS);
  EXPECT_EQ(ZwSetValueKey(key, &name, 0, REG_DWORD, &value, 4), STATUS_ACCESS_DENIED);
  ZwClose(key);
  ZwClose(root);

  ASSERT_EQ(OpenSubkey("DriverData", &root, &key), STATUS_SUCCESS);
  kernel.FailRegistryWrites(true);
  EXPECT_EQ(ZwSetValueKey(key, &name, 0, REG_DWORD, &value, 4), STATUS_ACCESS_DENIED);
  EXPECT_FALSE(kernel.DriverKey(pdo).Find("DriverData")->Dword("VideoStandard"));
  kernel.FailRegistryWrites(false);
  EXPECT_EQ(ZwSetValueKey(key, &name, 0, REG_DWORD, &value, 4), STATUS_SUCCESS);
  EXPECT_EQ(kernel.DriverKey(pdo).Find("DRIVERDATA")->Dword("videostandard"), 0x1234u);
  ZwClose(key);
  EXPECT_THAT(kernel.CheckUnload(), ::testing::ElementsAre(HasSubstr("handle not closed: registry key")));
  kernel.TakeFaults();
  ZwClose(root);
}

}  // namespace
