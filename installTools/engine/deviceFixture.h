// Test-only helpers of the engine's device tests on the simulated machine: a driver package on drive C:, cards
// as device nodes, and hardware-ID records.
#pragma once

#include <cstdio>
#include <string>

#include "installTools/engine/hardwareId.h"
#include "platform/sim/machine.h"

namespace fixture {

inline constexpr const char* kMediaClass = "{4D36E96C-E325-11CE-BFC1-08002BE10318}";
inline constexpr const char* kCaptureInterface = "{65e8773d-8f56-11d0-a3b9-00a0c9223196}";
inline constexpr const char* kPackage = "C:\\pkg\\nvpelgar.inf";

// A package like the product's: two models lines for the encoder card, files, driver values, the service and a
// capture interface.
inline const char* packageInf() {
  return "; test package\r\n"
         "[Version]\r\n"
         "Signature=\"$Windows NT$\"\r\n"
         "Class=MEDIA\r\n"
         "ClassGUID={4d36e96c-e325-11ce-bfc1-08002be10318}\r\n"
         "Provider=%Mfg%\r\n"
         "DriverVer=11/20/2006,1.0.0.1\r\n"
         "[Manufacturer]\r\n"
         "%Mfg%=Taviron.Models\r\n"
         "[Taviron.Models]\r\n"
         "%VL540.Desc%=VL540.Install, PCI\\VEN_1C5D&DEV_5401&SUBSYS_54011C5D\r\n"
         "%VL540.Desc%=VL540.Install, PCI\\VEN_1C5D&DEV_5401 ; any board with the encoder\r\n"
         "[DestinationDirs]\r\n"
         "DefaultDestDir=12\r\n"
         "[VL540.Install]\r\n"
         "CopyFiles=VL540.Driver,VL540.Firmware\r\n"
         "AddReg=VL540.AddReg\r\n"
         "[VL540.Driver]\r\n"
         "nvpelgar.sys\r\n"
         "[VL540.Firmware]\r\n"
         "nvpelgar.rom\r\n"
         "[VL540.AddReg]\r\n"
         "HKR,,DevLoader,,*ntkern\r\n"
         "HKR,,NTMPDriver,,nvpelgar.sys\r\n"
         "HKR,\"DriverData\",\"BoardType\",0x00010001,1\r\n"
         "HKR,\"DriverData\",\"BitRate\",0x00010001,6000000\r\n"
         "[VL540.Install.Services]\r\n"
         "AddService=nvpelgar,0x00000002,VL540.Service\r\n"
         "[VL540.Service]\r\n"
         "DisplayName=%VL540.Desc%\r\n"
         "ServiceType=1\r\n"
         "StartType=3\r\n"
         "ErrorControl=1\r\n"
         "ServiceBinary=%12%\\nvpelgar.sys\r\n"
         "[VL540.Install.Interfaces]\r\n"
         "AddInterface={65e8773d-8f56-11d0-a3b9-00a0c9223196},GLOBAL\r\n"
         "[Strings]\r\n"
         "Mfg=\"Taviron\"\r\n"
         "VL540.Desc=\"VL540 MPEG Encoder Card\"\r\n";
}

// Writes the package (INF, driver, firmware) into C:\pkg.
inline void writePackage(sim::Machine& machine) {
  machine.files.writeFile(kPackage, packageInf());
  machine.files.writeFile("C:\\pkg\\nvpelgar.sys", "MZ driver image");
  machine.files.writeFile("C:\\pkg\\nvpelgar.rom", "encoder firmware");
}

// The encoder card in a PCI slot, with the list its bus reports.
inline sim::Device encoderCard(const std::string& slot = "4&2D5A3B1&0&20F0") {
  return sim::Device("PCI\\VEN_1C5D&DEV_5401&SUBSYS_54011C5D&REV_01\\" + slot,
                     {"PCI\\VEN_1C5D&DEV_5401&SUBSYS_54011C5D&REV_01", "PCI\\VEN_1C5D&DEV_5401&SUBSYS_54011C5D",
                      "PCI\\VEN_1C5D&DEV_5401&CC_048000", "PCI\\VEN_1C5D&DEV_5401"});
}

// A card of another vendor whose own numbers are 8086/24C5 but whose subsystem part holds the encoder's.
inline sim::Device unrelatedCard() {
  return sim::Device("PCI\\VEN_8086&DEV_24C5&SUBSYS_54011C5D&REV_01\\3&61AAA01&0&FD",
                     {"PCI\\VEN_8086&DEV_24C5&SUBSYS_54011C5D&REV_01", "PCI\\VEN_8086&DEV_24C5&SUBSYS_54011C5D"});
}

inline tag_HardwareID record(const char* text) {
  tag_HardwareID r{};
  r.nBusType = HWID_TEXT;
  std::snprintf(r.szHardwareID, sizeof r.szHardwareID, "%s", text);
  NormalizeHardwareID(r);
  return r;
}

}  // namespace fixture
