// Settings kept in the registry under HKEY_LOCAL_MACHINE: one open key (HKLM_RegDataRW) and the integer and text
// settings read and written through it (IntRegData, StringRegData). A setting has a default and a marker: a stored
// marker (1234567 for integers, "__tavi" for texts) means "use the default".
#pragma once

#include <cstdint>
#include <string>

#include "platform/seam/winapi.h"

class I_HKLM_RegDataRW {
 public:
  virtual bool readInteger(const char* name, int32_t& out) = 0;
  virtual bool writeInteger(const char* name, int32_t value) = 0;
  virtual bool readString(const char* name, char* buffer, uint32_t size) = 0;
  virtual bool writeString(const char* name, const char* text) = 0;
  virtual bool readData(const char* name, void* buffer, uint32_t size) = 0;
  virtual bool writeData(const char* name, const void* buffer, uint32_t size) = 0;
  virtual bool isOpen() = 0;
  virtual bool deleteValue(const char* name) = 0;
  virtual ~I_HKLM_RegDataRW() = default;
};

// One key under HKEY_LOCAL_MACHINE, open for the object's lifetime.
class HKLM_RegDataRW : public I_HKLM_RegDataRW {
 public:
  static constexpr int kReadOnly = 1;  // any other mode opens for writing and creates the key when missing

  // With no path nothing is opened. isOpen() tells whether opening succeeded.
  explicit HKLM_RegDataRW(const char* keyPath = nullptr, int mode = 0);
  ~HKLM_RegDataRW() override;
  HKLM_RegDataRW(const HKLM_RegDataRW&) = delete;
  HKLM_RegDataRW& operator=(const HKLM_RegDataRW&) = delete;

  // False for a missing name or a missing value (or one of another type); otherwise the value is read.
  bool readInteger(const char* name, int32_t& out) override;
  // False for a missing name or value. Otherwise the whole buffer is cleared and the text is copied with its
  // terminator, cut to fit.
  bool readString(const char* name, char* buffer, uint32_t size) override;
  // These four are false when the name is missing or the key is not open.
  bool writeInteger(const char* name, int32_t value) override;                   // REG_DWORD
  bool writeString(const char* name, const char* text) override;                 // REG_SZ
  bool readData(const char* name, void* buffer, uint32_t size) override;         // true when any bytes were read
  bool writeData(const char* name, const void* buffer, uint32_t size) override;  // REG_BINARY
  bool isOpen() override { return open_; }
  bool deleteValue(const char* name) override;

 private:
  HKEY key_ = nullptr;
  bool open_ = false;
};

class ISetting {
 public:
  virtual int32_t value() = 0;
  virtual void setValue(int32_t v) = 0;
  virtual int32_t defaultValue() = 0;
  virtual void revert() = 0;
  virtual void commit() = 0;
  virtual const char* valueName() = 0;
  virtual int32_t previousValue() = 0;
  virtual void setDefaultValue(int32_t v) = 0;
  virtual int32_t marker() = 0;
  virtual ~ISetting() = default;
};

// An integer setting stored as REG_DWORD.
class IntRegData : public ISetting {
 public:
  IntRegData(const char* valueName, int32_t initial, int32_t marker);

  int32_t value() override { return value_; }
  void setValue(int32_t v) override;  // remembers the current value as the previous one when v differs
  int32_t defaultValue() override { return default_; }
  void revert() override { setValue(previous_); }
  void commit() override { previous_ = value_; }
  const char* valueName() override { return name_.c_str(); }
  int32_t previousValue() override { return previous_; }
  void setDefaultValue(int32_t v) override { default_ = v; }
  int32_t marker() override { return marker_; }

  // Reads the value: a stored marker loads the default, and the loaded value becomes the previous one too.
  // A missing value leaves the setting as it was and answers false.
  bool load(I_HKLM_RegDataRW& key);
  bool save(I_HKLM_RegDataRW& key) { return key.writeInteger(name_.c_str(), value_); }

 private:
  std::string name_;
  int32_t value_;
  int32_t default_;
  int32_t previous_;
  int32_t marker_;
};

class IStringSetting {
 public:
  virtual std::string value() = 0;
  virtual void setValue(const std::string& text) = 0;
  virtual std::string defaultValue() = 0;
  virtual const char* valueName() = 0;
  virtual std::string marker() = 0;
  virtual ~IStringSetting() = default;
};

// A text setting stored as REG_SZ (at most 1023 characters are read back).
class StringRegData : public IStringSetting {
 public:
  StringRegData(const char* valueName, const std::string& defaultText, const std::string& marker);

  std::string value() override { return value_; }
  void setValue(const std::string& text) override { value_ = text; }
  std::string defaultValue() override { return default_; }
  const char* valueName() override { return name_.c_str(); }
  std::string marker() override { return marker_; }

  // Reads the text: a stored marker loads the default. A missing value leaves the setting as it was.
  bool load(I_HKLM_RegDataRW& key);
  bool save(I_HKLM_RegDataRW& key) { return key.writeString(name_.c_str(), value_.c_str()); }

 private:
  std::string name_;
  std::string value_;
  std::string default_;
  std::string marker_;
};

// The markers of the installer's own settings.
constexpr int32_t kIntMarker = 1234567;
inline constexpr const char* kStringMarker = "__tavi";
