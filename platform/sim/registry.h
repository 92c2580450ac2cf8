// The registry of the simulated machine, and the state behind the host's win::Reg* functions.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/seam/wintypes.h"
#include "platform/sim/security.h"

namespace sim {

// Keys form a tree under the root keys HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER and HKEY_USERS;
// HKEY_CLASSES_ROOT is HKEY_LOCAL_MACHINE\Software\Classes, as on the platform. Key and value names compare
// case-insensitively and keep the case they were created with. Subkeys and values enumerate in the order of
// their lower-cased names ('_' before the letters), as Wine's registry lists them: the documented contract
// promises no order, and this one is the same on every run.
// Paths in this class's own functions are full key paths: "HKEY_LOCAL_MACHINE\Software\Taviron" (the short
// root names HKLM, HKCU, HKCR and HKU are taken too). A path with an unknown root throws std::invalid_argument
// from the building functions and is simply missing for the checking ones.
// Texts (names, REG_SZ data) are 8-bit, in the machine's code page Windows-1252.
class Registry {
 public:
  Registry();
  ~Registry();
  Registry(const Registry&) = delete;
  Registry& operator=(const Registry&) = delete;

  // Building and checking a machine from code. The setters create a missing key with its parents; setString
  // stores the text with its terminator, as RegSetValueExA does for a counted string.
  void createKey(const std::string& keyPath);
  bool keyExists(const std::string& keyPath) const;
  bool deleteTree(const std::string& keyPath);
  void setValue(const std::string& keyPath, const std::string& name, DWORD type, const std::vector<uint8_t>& data);
  void setString(const std::string& keyPath, const std::string& name, const std::string& text);
  void setDword(const std::string& keyPath, const std::string& name, DWORD value);
  bool deleteValue(const std::string& keyPath, const std::string& name);
  bool getValue(const std::string& keyPath, const std::string& name, DWORD& type, std::vector<uint8_t>& data) const;
  std::optional<std::string> getString(const std::string& keyPath, const std::string& name) const;
  std::optional<DWORD> getDword(const std::string& keyPath, const std::string& name) const;
  std::vector<std::string> subkeys(const std::string& keyPath) const;
  std::vector<std::string> valueNames(const std::string& keyPath) const;

  // A key's security descriptor: the machine's default for keys until a program or test sets one;
  // nullopt for a missing key. setKeySecurity is false for a missing key.
  std::optional<SecurityDescriptor> keySecurity(const std::string& keyPath) const;
  bool setKeySecurity(const std::string& keyPath, const SecurityDescriptor& sd);
  // Every key that has its own descriptor (not the default), with its full path, in tree order.
  std::vector<std::pair<std::string, SecurityDescriptor>> explicitKeySecurity() const;
  // The full path of the key behind an open handle or a predefined root; "" for a handle that is not open.
  std::string pathOfHandle(HKEY key) const;

  // The text of a .reg file: REGEDIT4 (8-bit) or "Windows Registry Editor Version 5.00" (UTF-16LE with a
  // byte-order mark, as `regedit /e` writes it). Keys and values are merged into the registry;
  // "[-KEY]" deletes a tree and "NAME"=- a value. False with the line's number and reason on a malformed file,
  // leaving what was imported before the bad line.
  bool importRegText(const std::string& bytes, std::string& error);
  // The whole registry as REGEDIT4 text, keys in tree order.
  std::string exportRegText() const;

  struct Impl;
  Impl& impl() { return *impl_; }

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace sim
