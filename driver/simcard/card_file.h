// The description of one simulated card, read from a card file (format: docs/simulated-card.md): where its
// memory window and interrupt line sit, which I2C addresses answer and with what, the board EEPROM's bytes,
// where the encoder firmware puts its mailbox signature, and the error switches that make the card misbehave.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace simcard {

struct I2cDeviceConfig {
  enum class Model { Eeprom, Registers8, Registers16, Plain };
  uint8_t address = 0;  // 8-bit bus address, write form (bit 0 clear)
  Model model = Model::Registers8;
  uint32_t size = 256;                  // bytes of storage (eeprom); register space for the others
  uint32_t page = 0;                    // eeprom write page: sequential writes wrap inside it
  std::map<uint32_t, uint8_t> data;     // initial contents by register or offset
  std::map<uint32_t, uint8_t> answers;  // registers that read back a fixed value whatever was written
  std::vector<uint8_t> readBytes;       // plain devices: the bytes a read returns (the last one repeats)
};

// A REG_DWORD value the card's driver key holds under "DriverData" (or under one of its subkeys).
struct DriverValue {
  std::string subkey;  // path below "DriverData" ("XBarPin0"); empty: "DriverData" itself
  std::string name;
  uint32_t value = 0;
  bool operator==(const DriverValue&) const = default;
};

struct CardDescription {
  std::string name;
  uint64_t memoryAddress = 0;  // physical address of the 64 MiB window
  uint64_t memoryLength = 0;
  uint32_t vector = 0;  // interrupt vector, level and mode as the resource list reports them
  uint8_t irql = 0;
  bool latched = false;
  bool shared = true;
  std::optional<uint32_t> signatureOffset;  // encoder memory offset of the mailbox signature; none: never found
  std::vector<I2cDeviceConfig> devices;
  // Error switches.
  std::set<uint8_t> nakAddresses;      // devices that are fitted but do not acknowledge
  bool interruptStorm = false;         // interrupt sources ignore their acknowledgement
  bool firmwareSilent = false;         // the encoder firmware boots (signature and all) but never takes a command
  uint32_t answerDelay = 100;          // microseconds the firmware takes to answer a command it took
  std::set<uint32_t> droppedCommands;  // the n-th commands the firmware takes (1-based, since power-up): no answer
  std::set<uint32_t> droppedCodes;     // command codes the firmware takes but never answers
  uint64_t i2cFailFirst = 0;  // the first I2C transaction (1-based, since power-up) nobody acknowledges; 0 none
  uint32_t i2cFailCount = 0;  // how many transactions from there on fail
  // The values the card's installation leaves in its "DriverData" key, in file order.
  std::vector<DriverValue> driverData;
};

struct ParseResult {
  bool ok = false;
  int line = 0;  // line of the first error, 1-based
  std::string error;
};

// Reads a card file. On failure the result names the first offending line and what is wrong with it, and
// `card` is left as it was.
ParseResult ParseCardFile(const std::string& text, CardDescription* card);

}  // namespace simcard
