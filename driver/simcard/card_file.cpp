#include "driver/simcard/card_file.h"

#include <algorithm>
#include <cctype>
#include <sstream>

namespace simcard {
namespace {

constexpr uint64_t kWindowLength = 0x4000000;

class LineError {
 public:
  explicit LineError(std::string text) : text(std::move(text)) {}
  std::string text;
};

std::optional<uint64_t> Number(const std::string& token) {
  if (token.empty()) return std::nullopt;
  int base = 10;
  size_t start = 0;
  if (token.size() > 2 && token[0] == '0' && (token[1] == 'x' || token[1] == 'X')) base = 16, start = 2;
  uint64_t value = 0;
  for (size_t i = start; i < token.size(); ++i) {
    int digit;
    char c = static_cast<char>(std::tolower(static_cast<unsigned char>(token[i])));
    if (c >= '0' && c <= '9')
      digit = c - '0';
    else if (base == 16 && c >= 'a' && c <= 'f')
      digit = c - 'a' + 10;
    else
      return std::nullopt;
    if (value > (UINT64_MAX - static_cast<uint64_t>(digit)) / static_cast<uint64_t>(base)) return std::nullopt;
    value = value * static_cast<uint64_t>(base) + static_cast<uint64_t>(digit);
  }
  return value;
}

uint64_t Need(const std::vector<std::string>& words, size_t index, const char* what, uint64_t highest) {
  if (index >= words.size()) throw LineError(std::string("missing ") + what);
  auto value = Number(words[index]);
  if (!value) throw LineError(std::string("bad ") + what + " '" + words[index] + "'");
  if (*value > highest) throw LineError(std::string(what) + " " + words[index] + " is out of range");
  return *value;
}

void NoMore(const std::vector<std::string>& words, size_t count) {
  if (words.size() > count) throw LineError("unexpected '" + words[count] + "'");
}

uint8_t Address(const std::vector<std::string>& words, size_t index) {
  auto address = static_cast<uint8_t>(Need(words, index, "I2C address", 0xFF));
  if (address & 1) throw LineError("I2C address " + words[index] + " has bit 0 set; give the write form");
  return address;
}

I2cDeviceConfig& Device(CardDescription& card, uint8_t address, const std::string& token) {
  for (I2cDeviceConfig& d : card.devices)
    if (d.address == address) return d;
  throw LineError("no i2c device declared at " + token);
}

void ParseDevice(CardDescription& card, const std::vector<std::string>& words) {
  I2cDeviceConfig d;
  d.address = Address(words, 1);
  for (const I2cDeviceConfig& other : card.devices)
    if (other.address == d.address) throw LineError("i2c device " + words[1] + " declared twice");
  if (words.size() < 3) throw LineError("missing device model");
  const std::string& model = words[2];
  if (model == "eeprom")
    d.model = I2cDeviceConfig::Model::Eeprom, d.page = 8;
  else if (model == "registers8")
    d.model = I2cDeviceConfig::Model::Registers8;
  else if (model == "registers16")
    d.model = I2cDeviceConfig::Model::Registers16, d.size = 0x10000;
  else if (model == "plain")
    d.model = I2cDeviceConfig::Model::Plain, d.size = 0;
  else
    throw LineError("unknown device model '" + model + "'");
  for (size_t i = 3; i < words.size(); ++i) {
    auto eq = words[i].find('=');
    std::string key = words[i].substr(0, eq);
    std::string value = eq == std::string::npos ? "" : words[i].substr(eq + 1);
    std::vector<std::string> one{value};
    if (key == "size" && d.model == I2cDeviceConfig::Model::Eeprom) {
      d.size = static_cast<uint32_t>(Need(one, 0, "size", 0x10000));
      if (d.size == 0 || d.size > 256) throw LineError("an eeprom with one address byte holds 1 to 256 bytes");
    } else if (key == "page" && d.model == I2cDeviceConfig::Model::Eeprom) {
      d.page = static_cast<uint32_t>(Need(one, 0, "page", 256));
      if (d.page == 0 || (d.page & (d.page - 1)) != 0) throw LineError("page must be a power of two");
    } else if (key == "read" && d.model == I2cDeviceConfig::Model::Plain) {
      std::stringstream bytes(value);
      std::string b;
      while (std::getline(bytes, b, ',')) d.readBytes.push_back(static_cast<uint8_t>(Need({b}, 0, "byte", 0xFF)));
    } else {
      throw LineError("option '" + words[i] + "' does not apply to a " + model + " device");
    }
  }
  card.devices.push_back(d);
}

void ParseLine(CardDescription& card, const std::vector<std::string>& words, const std::string& rest) {
  const std::string& what = words[0];
  if (what == "name") {
    if (rest.empty()) throw LineError("missing name");
    card.name = rest;
  } else if (what == "memory") {
    card.memoryAddress = Need(words, 1, "memory address", 0xFFFFFFFF);
    card.memoryLength = Need(words, 2, "memory length", 0xFFFFFFFF);
    NoMore(words, 3);
    if (card.memoryLength != kWindowLength) throw LineError("the card's window is 0x4000000 bytes");
    if (card.memoryAddress % card.memoryLength != 0) throw LineError("a PCI memory window is aligned to its length");
  } else if (what == "interrupt") {
    card.vector = static_cast<uint32_t>(Need(words, 1, "vector", 0xFF));
    card.irql = static_cast<uint8_t>(Need(words, 2, "level", 26));
    if (card.irql < 3) throw LineError("device interrupt levels are 3 to 26");
    if (words.size() < 5) throw LineError("missing mode or sharing");
    if (words[3] != "level" && words[3] != "latched") throw LineError("mode is 'level' or 'latched'");
    if (words[4] != "shared" && words[4] != "exclusive") throw LineError("sharing is 'shared' or 'exclusive'");
    card.latched = words[3] == "latched";
    card.shared = words[4] == "shared";
    NoMore(words, 5);
  } else if (what == "firmware-signature") {
    if (words.size() > 1 && words[1] == "none")
      card.signatureOffset.reset();
    else
      card.signatureOffset = static_cast<uint32_t>(Need(words, 1, "signature offset", 0x2000000 - 16));
    NoMore(words, 2);
  } else if (what == "i2c") {
    ParseDevice(card, words);
  } else if (what == "data") {
    I2cDeviceConfig& d = Device(card, Address(words, 1), words[1]);
    if (d.model == I2cDeviceConfig::Model::Plain) throw LineError("a plain device has no storage");
    uint64_t offset = Need(words, 2, "offset", d.size - 1);
    if (words.size() < 4) throw LineError("missing data bytes");
    if (offset + (words.size() - 3) > d.size) throw LineError("data runs past the end of the device");
    for (size_t i = 3; i < words.size(); ++i)
      d.data[static_cast<uint32_t>(offset + i - 3)] = static_cast<uint8_t>(Need(words, i, "byte", 0xFF));
  } else if (what == "answer") {
    I2cDeviceConfig& d = Device(card, Address(words, 1), words[1]);
    if (d.model == I2cDeviceConfig::Model::Plain) throw LineError("a plain device has no registers");
    auto reg = static_cast<uint32_t>(Need(words, 2, "register", d.size - 1));
    d.answers[reg] = static_cast<uint8_t>(Need(words, 3, "byte", 0xFF));
    NoMore(words, 4);
  } else if (what == "driverdata") {
    if (words.size() < 2) throw LineError("missing value name");
    DriverValue v;
    const std::string& path = words[1];
    auto slash = path.rfind('\\');
    v.subkey = slash == std::string::npos ? "" : path.substr(0, slash);
    v.name = slash == std::string::npos ? path : path.substr(slash + 1);
    if (v.name.empty() || (slash != std::string::npos && v.subkey.empty()))
      throw LineError("bad value name '" + path + "'");
    v.value = static_cast<uint32_t>(Need(words, 2, "value", 0xFFFFFFFF));
    NoMore(words, 3);
    auto lower = [](std::string t) {
      for (char& c : t) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      return t;
    };
    for (const DriverValue& other : card.driverData)
      if (lower(other.subkey) == lower(v.subkey) && lower(other.name) == lower(v.name))
        throw LineError("value '" + path + "' given twice");
    card.driverData.push_back(v);
  } else if (what == "switch") {
    if (words.size() < 2) throw LineError("missing switch name");
    if (words[1] == "nak") {
      card.nakAddresses.insert(Address(words, 2));
      NoMore(words, 3);
    } else if (words[1] == "interrupt-storm") {
      card.interruptStorm = true;
      NoMore(words, 2);
    } else if (words[1] == "firmware-silent") {
      card.firmwareSilent = true;
      NoMore(words, 2);
    } else if (words[1] == "answer-delay") {
      card.answerDelay = static_cast<uint32_t>(Need(words, 2, "answer delay", 10000000));
      NoMore(words, 3);
    } else if (words[1] == "drop-command") {
      auto n = static_cast<uint32_t>(Need(words, 2, "command number", 0xFFFFFFFF));
      if (n == 0) throw LineError("commands are counted from 1");
      card.droppedCommands.insert(n);
      NoMore(words, 3);
    } else if (words[1] == "i2c-fail") {
      card.i2cFailFirst = Need(words, 2, "transaction number", UINT64_MAX);
      if (card.i2cFailFirst == 0) throw LineError("transactions are counted from 1");
      card.i2cFailCount =
          words.size() > 3 ? static_cast<uint32_t>(Need(words, 3, "transaction count", 0xFFFFFFFF)) : 1;
      if (card.i2cFailCount == 0) throw LineError("at least one transaction fails");
      NoMore(words, 4);
    } else if (words[1] == "drop-code") {
      card.droppedCodes.insert(static_cast<uint32_t>(Need(words, 2, "command code", 0xFFFFFFFF)));
      NoMore(words, 3);
    } else {
      throw LineError("unknown switch '" + words[1] + "'");
    }
  } else {
    throw LineError("unknown directive '" + what + "'");
  }
}

}  // namespace

ParseResult ParseCardFile(const std::string& text, CardDescription* card) {
  CardDescription parsed;
  parsed.signatureOffset = 0x200;
  std::istringstream in(text);
  std::string line;
  int number = 0;
  bool memory = false, interrupt = false;
  try {
    while (std::getline(in, line)) {
      ++number;
      auto hash = line.find('#');
      if (hash != std::string::npos) line.erase(hash);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      std::istringstream words(line);
      std::vector<std::string> tokens;
      for (std::string w; words >> w;) tokens.push_back(w);
      if (tokens.empty()) continue;
      std::string rest = line.substr(line.find(tokens[0]) + tokens[0].size());
      rest.erase(0, rest.find_first_not_of(" \t"));
      rest.erase(rest.find_last_not_of(" \t") + 1);
      ParseLine(parsed, tokens, rest);
      memory |= tokens[0] == "memory";
      interrupt |= tokens[0] == "interrupt";
    }
  } catch (const LineError& e) {
    return ParseResult{false, number, e.text};
  }
  if (!memory) return ParseResult{false, number, "the card has no 'memory' line"};
  if (!interrupt) return ParseResult{false, number, "the card has no 'interrupt' line"};
  for (uint8_t a : parsed.nakAddresses) {
    bool fitted = std::any_of(parsed.devices.begin(), parsed.devices.end(),
                              [&](const I2cDeviceConfig& d) { return d.address == a; });
    if (!fitted) return ParseResult{false, number, "switch nak names an address with no device"};
  }
  *card = std::move(parsed);
  return ParseResult{true, 0, ""};
}

}  // namespace simcard
