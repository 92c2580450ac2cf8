// The simulated machine's device tree and device installation, called as programs call them (through the
// libraries loaded by name): the configuration manager's tree, the INF store, and the machine folder's device
// keys. The driver update's install work is shown through the engine in installTools/engine/osInstall_test.cpp.
#include <gtest/gtest.h>

#include <filesystem>

#include "platform/seam/winapi.h"
#include "platform/sim/library_functions.h"
#include "platform/sim/machine.h"

namespace {

using namespace sim::api;

class SimDevices : public ::testing::Test {
 protected:
  void SetUp() override {
    sim::Device bridge("PCI\\VEN_8086&DEV_244E\\3&1", {"PCI\\VEN_8086&DEV_244E"});
    sim::Device card("PCI\\VEN_1C5D&DEV_5401\\4&1", {"PCI\\VEN_1C5D&DEV_5401"});
    card.parent = bridge.instanceId;
    sim::Device gone("PCI\\VEN_1C5D&DEV_6700\\4&2", {"PCI\\VEN_1C5D&DEV_6700"}, false);
    sim::Device usb("USB\\VID_0E1B&PID_0A10\\5", {"USB\\VID_0E1B&PID_0A10"});
    for (const auto& d : {bridge, card, gone, usb}) machine.addDevice(d);
  }
  DEVINST node(const char* id) { return machine.devInst(id); }

  sim::Machine machine;
  sim::MachineScope scope{machine};
};

TEST_F(SimDevices, TreeHoldsThePresentNodesInOrder) {
  DEVINST root = 0, at = 0;
  ASSERT_EQ(CM_Locate_DevNodeA(&root, nullptr, 0), static_cast<CONFIGRET>(CR_SUCCESS));
  EXPECT_EQ(root, sim::kRootDevInst);
  ASSERT_EQ(CM_Get_Child(&at, root, 0), static_cast<CONFIGRET>(CR_SUCCESS));
  EXPECT_EQ(at, node("PCI\\VEN_8086&DEV_244E\\3&1"));
  DEVINST child = 0, sibling = 0, parent = 0;
  ASSERT_EQ(CM_Get_Child(&child, at, 0), static_cast<CONFIGRET>(CR_SUCCESS));
  EXPECT_EQ(child, node("PCI\\VEN_1C5D&DEV_5401\\4&1"));
  EXPECT_EQ(CM_Get_Sibling(&sibling, child, 0), static_cast<CONFIGRET>(CR_NO_SUCH_DEVNODE));
  ASSERT_EQ(CM_Get_Parent(&parent, child, 0), static_cast<CONFIGRET>(CR_SUCCESS));
  EXPECT_EQ(parent, at);
  ASSERT_EQ(CM_Get_Sibling(&sibling, at, 0), static_cast<CONFIGRET>(CR_SUCCESS));
  EXPECT_EQ(sibling, node("USB\\VID_0E1B&PID_0A10\\5")) << "the absent card is not in the tree";
  EXPECT_EQ(CM_Get_Parent(&parent, root, 0), static_cast<CONFIGRET>(CR_NO_SUCH_DEVNODE));
  EXPECT_EQ(CM_Get_Child(&child, node("PCI\\VEN_1C5D&DEV_6700\\4&2"), 0), static_cast<CONFIGRET>(CR_INVALID_DEVNODE));
  EXPECT_EQ(CM_Locate_DevNodeA(&at, const_cast<char*>("PCI\\VEN_1C5D&DEV_6700\\4&2"), 0),
            static_cast<CONFIGRET>(CR_NO_SUCH_DEVNODE));
}

TEST_F(SimDevices, HardwareIdsWithTheSizeProtocolAndInjectedErrors) {
  DEVINST card = node("PCI\\VEN_1C5D&DEV_5401\\4&1");
  char buffer[64];
  ULONG length = 4;
  EXPECT_EQ(CM_Get_DevNode_Registry_PropertyA(card, CM_DRP_HARDWAREID, nullptr, buffer, &length, 0),
            static_cast<CONFIGRET>(CR_BUFFER_SMALL));
  EXPECT_EQ(length, 23u);
  length = sizeof buffer;
  ULONG type = 0;
  ASSERT_EQ(CM_Get_DevNode_Registry_PropertyA(card, CM_DRP_HARDWAREID, &type, buffer, &length, 0),
            static_cast<CONFIGRET>(CR_SUCCESS));
  EXPECT_EQ(type, static_cast<ULONG>(REG_MULTI_SZ));
  EXPECT_EQ(std::string(buffer, length), std::string("PCI\\VEN_1C5D&DEV_5401\0\0", 23));
  EXPECT_EQ(CM_Get_DevNode_Registry_PropertyA(card, CM_DRP_DRIVER, nullptr, buffer, &length, 0),
            static_cast<CONFIGRET>(CR_NO_SUCH_VALUE));
  EXPECT_EQ(CM_Get_DevNode_Registry_PropertyA(sim::kRootDevInst, CM_DRP_HARDWAREID, nullptr, buffer, &length, 0),
            static_cast<CONFIGRET>(CR_NO_SUCH_VALUE));
  machine.findDevice("PCI\\VEN_1C5D&DEV_5401\\4&1")->propertyError = ERROR_ACCESS_DENIED;
  length = sizeof buffer;
  EXPECT_EQ(CM_Get_DevNode_Registry_PropertyA(card, CM_DRP_HARDWAREID, nullptr, buffer, &length, 0),
            static_cast<CONFIGRET>(CR_REGISTRY_ERROR));
}

TEST_F(SimDevices, RemovingASubtreeKeepsItsKeysUntilTheyAreDeleted) {
  DEVINST bridge = node("PCI\\VEN_8086&DEV_244E\\3&1");
  machine.findDevice("PCI\\VEN_1C5D&DEV_5401\\4&1")->removalFails = true;
  EXPECT_EQ(CM_Remove_SubTree(bridge, 0), static_cast<CONFIGRET>(CR_REMOVE_VETOED)) << "a child vetoes";
  machine.findDevice("PCI\\VEN_1C5D&DEV_5401\\4&1")->removalFails = false;
  ASSERT_EQ(CM_Remove_SubTree(bridge, 0), static_cast<CONFIGRET>(CR_SUCCESS));
  EXPECT_FALSE(machine.findDevice("PCI\\VEN_1C5D&DEV_5401\\4&1")->present);
  EXPECT_TRUE(machine.registry.keyExists("HKLM\\SYSTEM\\CurrentControlSet\\Enum\\PCI\\VEN_8086&DEV_244E\\3&1"));
  ASSERT_EQ(CM_Delete_DevNode_Key(bridge, 0, CM_REGISTRY_HARDWARE), static_cast<CONFIGRET>(CR_SUCCESS));
  EXPECT_EQ(machine.findDevice("PCI\\VEN_8086&DEV_244E\\3&1"), nullptr);
  EXPECT_EQ(CM_Delete_DevNode_Key(bridge, 0, CM_REGISTRY_HARDWARE), static_cast<CONFIGRET>(CR_INVALID_DEVNODE));
  EXPECT_EQ(machine.deviceLog,
            (std::vector<std::string>{"remove PCI\\VEN_8086&DEV_244E\\3&1", "remove PCI\\VEN_1C5D&DEV_5401\\4&1",
                                      "delete key PCI\\VEN_8086&DEV_244E\\3&1"}));
}

TEST_F(SimDevices, InfStoreNamesCopiesOemNWithTheirCompanions) {
  machine.files.writeFile("C:\\pkg\\a.inf", "[Version]\r\nSignature=\"$Windows NT$\"\r\n");
  machine.files.writeFile("C:\\pkg\\b.inf", "[Version]\r\nCatalogFile=b.cat\r\n");
  machine.files.writeFile("C:\\windows\\inf\\oem0.inf", "someone else's");
  char name[MAX_PATH];
  PSTR part = nullptr;
  ASSERT_TRUE(SetupCopyOEMInfA("C:\\pkg\\a.inf", nullptr, SPOST_PATH, 0, name, sizeof name, nullptr, &part));
  EXPECT_STREQ(name, "C:\\windows\\inf\\oem1.inf");
  EXPECT_STREQ(part, "oem1.inf");
  EXPECT_TRUE(machine.files.exists("C:\\windows\\inf\\oem1.pnf"));
  ASSERT_TRUE(SetupCopyOEMInfA("C:\\pkg\\a.inf", nullptr, SPOST_PATH, 0, name, sizeof name, nullptr, nullptr));
  EXPECT_STREQ(name, "C:\\windows\\inf\\oem1.inf") << "the same INF keeps its name";
  EXPECT_FALSE(
      SetupCopyOEMInfA("C:\\pkg\\a.inf", nullptr, SPOST_PATH, SP_COPY_NOOVERWRITE, nullptr, 0, nullptr, nullptr));
  EXPECT_EQ(win::GetLastError(), static_cast<DWORD>(ERROR_FILE_EXISTS));
  EXPECT_FALSE(SetupCopyOEMInfA("C:\\pkg\\b.inf", nullptr, SPOST_PATH, 0, nullptr, 0, nullptr, nullptr));
  EXPECT_EQ(win::GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND)) << "its catalog is missing";
  DWORD needed = 0;
  EXPECT_FALSE(SetupCopyOEMInfA("C:\\pkg\\a.inf", nullptr, SPOST_PATH, 0, name, 4, &needed, nullptr));
  EXPECT_EQ(win::GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(needed, sizeof "C:\\windows\\inf\\oem1.inf");
}

TEST_F(SimDevices, MachineFolderKeepsTheNodesAndWritesMissingEnumerationKeys) {
  namespace fs = std::filesystem;
  fs::path dir = fs::temp_directory_path() / "tvSimDevicesTest";
  fs::remove_all(dir);
  sim::Device& card = *machine.findDevice("PCI\\VEN_1C5D&DEV_5401\\4&1");
  card.classGuid = "{4d36e96c-e325-11ce-bfc1-08002be10318}";
  card.driver = "{4d36e96c-e325-11ce-bfc1-08002be10318}\\0000";
  card.service = "nvpelgar";
  card.propertyError = 0x3E6;
  card.removalFails = true;
  card.restartOnInstall = true;
  machine.registry.deleteTree("HKLM\\SYSTEM\\CurrentControlSet\\Enum\\USB");
  std::string error;
  ASSERT_TRUE(machine.save(dir.string(), error)) << error;
  sim::Machine loaded;
  ASSERT_TRUE(sim::Machine::load(dir.string(), loaded, error)) << error;
  ASSERT_EQ(loaded.devices.size(), 4u);
  const sim::Device& back = loaded.devices[1];
  EXPECT_EQ(back.parent, "PCI\\VEN_8086&DEV_244E\\3&1");
  EXPECT_EQ(back.driver, card.driver);
  EXPECT_EQ(back.service, "nvpelgar");
  EXPECT_EQ(back.propertyError, 0x3E6u);
  EXPECT_TRUE(back.removalFails);
  EXPECT_TRUE(back.restartOnInstall);
  EXPECT_FALSE(loaded.devices[2].present);
  DWORD type = 0;
  std::vector<uint8_t> data;
  EXPECT_TRUE(loaded.registry.getValue("HKLM\\SYSTEM\\CurrentControlSet\\Enum\\USB\\VID_0E1B&PID_0A10\\5",
                                       "HardwareID", type, data))
      << "written at load";
  EXPECT_EQ(type, static_cast<DWORD>(REG_MULTI_SZ));
  fs::remove_all(dir);
}

}  // namespace
