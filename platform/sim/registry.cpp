// The simulated machine's registry: the key tree, .reg text, and the host's win::Reg* functions over it.
#include "platform/sim/registry.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <map>
#include <stdexcept>

#include "platform/seam/winapi.h"
#include "platform/sim/machine.h"
#include "platform/sim/text.h"

#ifndef ERROR_BAD_PATHNAME
#define ERROR_BAD_PATHNAME 161L
#endif
#ifndef ERROR_NOACCESS
#define ERROR_NOACCESS 998L
#endif

namespace sim {
namespace regtree {

// The platform's limits on names: a key name has at most 255 characters, a value name at most 16383.
constexpr size_t kMaxKeyName = 255;
constexpr size_t kMaxValueName = 16383;

struct Value {
  std::string name;
  std::string foldedName;
  DWORD type = REG_NONE;
  std::vector<uint8_t> data;
};

// Who may open, change and delete a key: its owner and discretionary access list. A key without its own
// descriptor has the machine's default one (SecurityDescriptor::defaultForKey). Opening a key grants every
// right asked for (grantedAccess() below); the security functions read and change the descriptor.
using KeySecurity = std::optional<SecurityDescriptor>;

struct Key {
  std::string name;
  std::string foldedName;
  std::string className;                      // the class given when the key was created (RegCreateKeyExA's lpClass)
  Key* parent = nullptr;                      // null for a root and for a key that was deleted
  std::vector<std::shared_ptr<Key>> subkeys;  // ordered by folded name
  std::vector<Value> values;                  // likewise
  FILETIME lastWrite{};
  bool root = false;
  // A deleted key lives on while handles refer to it; every use of such a handle fails with ERROR_KEY_DELETED.
  bool deleted = false;
  KeySecurity security;
};

FILETIME now() {
  // 100 ns units since 1601-01-01.
  auto since1970 =
      std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now().time_since_epoch())
          .count();
  uint64_t ticks = static_cast<uint64_t>(since1970 / 100) + 116444736000000000ull;
  return FILETIME{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
}

// Names compare and sort by their lower-cased form, as Wine's registry orders them (so '_' comes before letters).
std::string fold(const std::string& name) {
  std::string folded = name;
  std::transform(folded.begin(), folded.end(), folded.begin(),
                 [](char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); });
  return folded;
}

bool isStringType(DWORD type) { return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ; }

template <typename T>
auto lowerBound(std::vector<T>& items, const std::string& foldedName) {
  return std::lower_bound(items.begin(), items.end(), foldedName, [](const T& item, const std::string& name) {
    if constexpr (std::is_same_v<T, Value>) {
      return item.foldedName < name;
    } else {
      return item->foldedName < name;
    }
  });
}

Key* findSubkey(Key& key, const std::string& name) {
  std::string up = fold(name);
  auto at = lowerBound(key.subkeys, up);
  return at != key.subkeys.end() && (*at)->foldedName == up ? at->get() : nullptr;
}

Key* addSubkey(Key& key, const std::string& name, const std::string& className) {
  auto child = std::make_shared<Key>();
  child->name = name;
  child->foldedName = fold(name);
  child->className = className;
  child->parent = &key;
  child->lastWrite = now();
  auto at = lowerBound(key.subkeys, child->foldedName);
  Key* raw = child.get();
  key.subkeys.insert(at, std::move(child));
  key.lastWrite = raw->lastWrite;
  return raw;
}

Value* findValue(Key& key, const std::string& name) {
  std::string up = fold(name);
  auto at = lowerBound(key.values, up);
  return at != key.values.end() && at->foldedName == up ? &*at : nullptr;
}

void putValue(Key& key, const std::string& name, DWORD type, std::vector<uint8_t> data) {
  std::string up = fold(name);
  auto at = lowerBound(key.values, up);
  if (at == key.values.end() || at->foldedName != up) at = key.values.insert(at, Value{name, up, REG_NONE, {}});
  at->type = type;
  at->data = std::move(data);
  key.lastWrite = now();
}

bool removeValue(Key& key, const std::string& name) {
  std::string up = fold(name);
  auto at = lowerBound(key.values, up);
  if (at == key.values.end() || at->foldedName != up) return false;
  key.values.erase(at);
  key.lastWrite = now();
  return true;
}

void markDeleted(Key& key) {
  key.deleted = true;
  for (auto& child : key.subkeys) markDeleted(*child);
}

// Takes a key and its subtree out of the tree. Handles that still refer to them keep them alive, marked deleted.
void removeKey(Key& key) {
  Key* parent = key.parent;
  markDeleted(key);
  key.parent = nullptr;
  if (!parent) return;
  auto at = std::find_if(parent->subkeys.begin(), parent->subkeys.end(),
                         [&](const std::shared_ptr<Key>& k) { return k.get() == &key; });
  if (at != parent->subkeys.end()) parent->subkeys.erase(at);
  parent->lastWrite = now();
}

}  // namespace regtree

using regtree::Key;
using regtree::Value;

struct Registry::Impl {
  std::shared_ptr<Key> localMachine = makeRoot("HKEY_LOCAL_MACHINE");
  std::shared_ptr<Key> currentUser = makeRoot("HKEY_CURRENT_USER");
  std::shared_ptr<Key> users = makeRoot("HKEY_USERS");

  // Open handles of the seam's functions: the key and the rights the handle was granted.
  struct Handle {
    std::shared_ptr<Key> key;
    REGSAM access;
  };
  std::map<uintptr_t, Handle> handles;
  uintptr_t nextHandle = 0x1000;  // never reused, so that a closed handle stays invalid

  static std::shared_ptr<Key> makeRoot(const std::string& name) {
    auto key = std::make_shared<Key>();
    key->name = name;
    key->foldedName = regtree::fold(name);
    key->root = true;
    key->lastWrite = regtree::now();
    return key;
  }

  Key& classesRoot() {
    Key* software = regtree::findSubkey(*localMachine, "Software");
    if (!software) software = regtree::addSubkey(*localMachine, "Software", "");
    Key* classes = regtree::findSubkey(*software, "Classes");
    return classes ? *classes : *regtree::addSubkey(*software, "Classes", "");
  }

  // The root of a full path's first component, or null for an unknown root name.
  Key* rootNamed(const std::string& name) {
    std::string up = upper(name);
    if (up == "HKEY_LOCAL_MACHINE" || up == "HKLM") return localMachine.get();
    if (up == "HKEY_CURRENT_USER" || up == "HKCU") return currentUser.get();
    if (up == "HKEY_USERS" || up == "HKU") return users.get();
    if (up == "HKEY_CLASSES_ROOT" || up == "HKCR") return &classesRoot();
    return nullptr;
  }

  // Resolves a full path; creates missing keys when `create` is set. Null when the root is unknown, a name is
  // too long, or (without `create`) a key is missing.
  Key* resolve(const std::string& path, bool create) {
    auto parts = split(path, '\\');
    if (parts.empty()) return nullptr;
    Key* key = rootNamed(parts[0]);
    for (size_t i = 1; key && i < parts.size(); ++i) {
      if (parts[i].empty()) continue;
      if (parts[i].size() > regtree::kMaxKeyName) return nullptr;
      Key* next = regtree::findSubkey(*key, parts[i]);
      if (!next && create) next = regtree::addSubkey(*key, parts[i], "");
      key = next;
    }
    return key;
  }

  Key& resolveOrThrow(const std::string& path) {
    Key* key = resolve(path, true);
    if (!key) throw std::invalid_argument("not a registry key path: " + path);
    return *key;
  }

  // The path of a key as the registry's own functions and .reg text name it.
  static std::string pathOf(const Key& key) {
    std::string path = key.name;
    for (const Key* k = key.parent; k; k = k->parent) path = k->name + "\\" + path;
    return path;
  }

  // .reg text
  bool importText(const std::string& bytes, std::string& error);
  std::string exportText() const;
};

Registry::Registry() : impl_(std::make_unique<Impl>()) { impl_->classesRoot(); }
Registry::~Registry() = default;

void Registry::createKey(const std::string& keyPath) { impl_->resolveOrThrow(keyPath); }

bool Registry::keyExists(const std::string& keyPath) const { return impl_->resolve(keyPath, false) != nullptr; }

bool Registry::deleteTree(const std::string& keyPath) {
  Key* key = impl_->resolve(keyPath, false);
  if (!key || key->root) return false;
  regtree::removeKey(*key);
  return true;
}

void Registry::setValue(const std::string& keyPath, const std::string& name, DWORD type,
                        const std::vector<uint8_t>& data) {
  regtree::putValue(impl_->resolveOrThrow(keyPath), name, type, data);
}

void Registry::setString(const std::string& keyPath, const std::string& name, const std::string& text) {
  std::vector<uint8_t> data(text.begin(), text.end());
  data.push_back(0);
  setValue(keyPath, name, REG_SZ, data);
}

void Registry::setDword(const std::string& keyPath, const std::string& name, DWORD value) {
  setValue(keyPath, name, REG_DWORD,
           {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value >> 16),
            static_cast<uint8_t>(value >> 24)});
}

bool Registry::deleteValue(const std::string& keyPath, const std::string& name) {
  Key* key = impl_->resolve(keyPath, false);
  return key && regtree::removeValue(*key, name);
}

bool Registry::getValue(const std::string& keyPath, const std::string& name, DWORD& type,
                        std::vector<uint8_t>& data) const {
  Key* key = impl_->resolve(keyPath, false);
  const Value* value = key ? regtree::findValue(*key, name) : nullptr;
  if (!value) return false;
  type = value->type;
  data = value->data;
  return true;
}

std::optional<std::string> Registry::getString(const std::string& keyPath, const std::string& name) const {
  DWORD type;
  std::vector<uint8_t> data;
  if (!getValue(keyPath, name, type, data) || (type != REG_SZ && type != REG_EXPAND_SZ)) return std::nullopt;
  std::string text(data.begin(), data.end());
  return text.substr(0, text.find('\0'));
}

std::optional<DWORD> Registry::getDword(const std::string& keyPath, const std::string& name) const {
  DWORD type;
  std::vector<uint8_t> data;
  if (!getValue(keyPath, name, type, data) || type != REG_DWORD || data.size() != 4) return std::nullopt;
  return static_cast<DWORD>(data[0] | data[1] << 8 | data[2] << 16 | static_cast<DWORD>(data[3]) << 24);
}

std::vector<std::string> Registry::subkeys(const std::string& keyPath) const {
  std::vector<std::string> names;
  if (Key* key = impl_->resolve(keyPath, false))
    for (const auto& child : key->subkeys) names.push_back(child->name);
  return names;
}

std::vector<std::string> Registry::valueNames(const std::string& keyPath) const {
  std::vector<std::string> names;
  if (Key* key = impl_->resolve(keyPath, false))
    for (const auto& value : key->values) names.push_back(value.name);
  return names;
}

bool Registry::importRegText(const std::string& bytes, std::string& error) { return impl_->importText(bytes, error); }

std::string Registry::exportRegText() const { return impl_->exportText(); }

// .reg text ---------------------------------------------------------------------------------------------------

namespace {

// Windows-1252's characters 0x80-0x9F; the five it leaves undefined map to the same code points, as the
// platform's conversion does.
constexpr char16_t kCp1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

char toCp1252(char32_t c) {
  if (c < 0x80 || (c >= 0xA0 && c <= 0xFF)) return static_cast<char>(c);
  for (int i = 0; i < 32; ++i)
    if (kCp1252High[i] == c) return static_cast<char>(0x80 + i);
  return '?';  // the platform's default character for what the code page cannot show
}

// UTF-16LE bytes (no byte-order mark) to 8-bit text.
std::string fromUtf16(const uint8_t* bytes, size_t size) {
  std::string text;
  for (size_t i = 0; i + 1 < size; i += 2) {
    char32_t unit = static_cast<char32_t>(bytes[i] | bytes[i + 1] << 8);
    if (unit >= 0xD800 && unit <= 0xDBFF && i + 3 < size) {
      char32_t next = static_cast<char32_t>(bytes[i + 2] | bytes[i + 3] << 8);
      if (next >= 0xDC00 && next <= 0xDFFF) i += 2;  // a character beyond the 16-bit plane: one '?'
      unit = 0x10000;
    }
    text.push_back(toCp1252(unit));
  }
  return text;
}

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  c = upperChar(c);
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Reads a quoted text starting at text[at] == '"'; on success `at` is just past the closing quote.
bool readQuoted(const std::string& text, size_t& at, std::string& out, std::string& why) {
  out.clear();
  for (size_t i = at + 1; i < text.size(); ++i) {
    char c = text[i];
    if (c == '"') {
      at = i + 1;
      return true;
    }
    if (c != '\\') {
      out.push_back(c);
      continue;
    }
    if (++i == text.size()) break;
    switch (text[i]) {
      case '\\': out.push_back('\\'); break;
      case '"': out.push_back('"'); break;
      case 'n': out.push_back('\n'); break;
      case 'r': out.push_back('\r'); break;
      default: why = std::string("unknown escape \\") + text[i] + " in a quoted text"; return false;
    }
  }
  why = "quoted text without its closing quote";
  return false;
}

bool onlyBlanksOrComment(const std::string& text, size_t at) {
  std::string rest = trim(text.substr(std::min(at, text.size())));
  return rest.empty() || rest[0] == ';';
}

bool readHexBytes(const std::string& text, std::vector<uint8_t>& out, std::string& why) {
  out.clear();
  std::string body = trim(text);
  if (!body.empty() && body.back() == ',') body.pop_back();
  if (trim(body).empty()) return true;
  for (const auto& part : split(body, ',')) {
    std::string item = trim(part);
    if (item.empty() || item.size() > 2 || hexDigit(item[0]) < 0 || (item.size() == 2 && hexDigit(item[1]) < 0)) {
      why = "bad hex byte \"" + item + "\"";
      return false;
    }
    out.push_back(
        static_cast<uint8_t>(item.size() == 2 ? hexDigit(item[0]) * 16 + hexDigit(item[1]) : hexDigit(item[0])));
  }
  return true;
}

// The data after "=" of a value line: a quoted text, dword:, hex: or hex(N):. `unicodeStrings` says that the
// string types given in hex are UTF-16LE bytes, as in the version 5 format.
bool readData(const std::string& text, bool unicodeStrings, DWORD& type, std::vector<uint8_t>& data,
              std::string& why) {
  if (!text.empty() && text[0] == '"') {
    size_t at = 0;
    std::string value;
    if (!readQuoted(text, at, value, why)) return false;
    if (!onlyBlanksOrComment(text, at)) {
      why = "text after the closing quote";
      return false;
    }
    type = REG_SZ;
    data.assign(value.begin(), value.end());
    data.push_back(0);
    return true;
  }
  std::string lower = text;
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](char c) { return static_cast<char>(std::tolower(c)); });
  if (lower.rfind("dword:", 0) == 0) {
    std::string digits = trim(text.substr(6));
    auto semicolon = digits.find(';');
    if (semicolon != std::string::npos) digits = trim(digits.substr(0, semicolon));
    if (digits.empty() || digits.size() > 8 ||
        !std::all_of(digits.begin(), digits.end(), [](char c) { return hexDigit(c) >= 0; })) {
      why = "bad dword \"" + digits + "\": 1 to 8 hex digits expected";
      return false;
    }
    DWORD value = static_cast<DWORD>(std::stoul(digits, nullptr, 16));
    type = REG_DWORD;
    data = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value >> 16),
            static_cast<uint8_t>(value >> 24)};
    return true;
  }
  size_t bytesAt;
  if (lower.rfind("hex:", 0) == 0) {
    type = REG_BINARY;
    bytesAt = 4;
  } else if (lower.rfind("hex(", 0) == 0) {
    auto close = lower.find("):", 4);
    std::string number = close == std::string::npos ? "" : lower.substr(4, close - 4);
    if (number.empty() || number.size() > 8 ||
        !std::all_of(number.begin(), number.end(), [](char c) { return hexDigit(c) >= 0; })) {
      why = "bad value type in \"" + text.substr(0, std::min<size_t>(text.size(), 16)) + "\"";
      return false;
    }
    type = static_cast<DWORD>(std::stoul(number, nullptr, 16));
    bytesAt = close + 2;
  } else {
    why = "unknown value data \"" + text.substr(0, std::min<size_t>(text.size(), 24)) + "\"";
    return false;
  }
  if (!readHexBytes(text.substr(bytesAt), data, why)) return false;
  if (unicodeStrings && regtree::isStringType(type)) {
    if (data.size() % 2) {
      why = "odd number of bytes in UTF-16 text data";
      return false;
    }
    std::string narrow = fromUtf16(data.data(), data.size());
    data.assign(narrow.begin(), narrow.end());
  }
  return true;
}

}  // namespace

bool Registry::Impl::importText(const std::string& bytes, std::string& error) {
  std::string text;
  if (bytes.size() >= 2 && static_cast<uint8_t>(bytes[0]) == 0xFF && static_cast<uint8_t>(bytes[1]) == 0xFE) {
    text = fromUtf16(reinterpret_cast<const uint8_t*>(bytes.data()) + 2, bytes.size() - 2);
  } else {
    text = bytes;
  }
  std::vector<std::string> lines = split(text, '\n');
  auto fail = [&](size_t index, const std::string& why) {
    error = "line " + std::to_string(index + 1) + ": " + why;
    return false;
  };

  size_t i = 0;
  while (i < lines.size() && trim(lines[i]).empty()) ++i;
  std::string header = i < lines.size() ? trim(lines[i]) : "";
  bool unicodeStrings;
  if (header == "REGEDIT4") {
    unicodeStrings = false;
  } else if (header == "Windows Registry Editor Version 5.00") {
    unicodeStrings = true;
  } else {
    return fail(i < lines.size() ? i : 0,
                "not a registry file: \"REGEDIT4\" or \"Windows Registry Editor Version 5.00\" expected");
  }

  Key* current = nullptr;
  for (++i; i < lines.size(); ++i) {
    std::string line = trim(lines[i]);
    if (line.empty() || line[0] == ';' || line[0] == '#') continue;
    const size_t lineIndex = i;

    if (line[0] == '[') {
      auto close = line.rfind(']');
      if (close == std::string::npos || !onlyBlanksOrComment(line, close + 1))
        return fail(lineIndex, "key line without its closing ']'");
      std::string path = trim(line.substr(1, close - 1));
      bool remove = !path.empty() && path[0] == '-';
      if (remove) path = trim(path.substr(1));
      auto parts = split(path, '\\');
      if (parts.empty() || !rootNamed(parts[0])) return fail(lineIndex, "unknown root key in \"" + path + "\"");
      for (size_t p = 1; p < parts.size(); ++p)
        if (parts[p].size() > regtree::kMaxKeyName)
          return fail(lineIndex, "key name longer than 255 characters in \"" + path + "\"");
      if (remove) {
        if (Key* key = resolve(path, false); key && !key->root) regtree::removeKey(*key);
        current = nullptr;
      } else {
        current = resolve(path, true);
      }
      continue;
    }

    if (line[0] != '@' && line[0] != '"') return fail(lineIndex, "unexpected text \"" + line + "\"");
    std::string name;
    size_t at = 1;
    std::string why;
    if (line[0] == '"' && (at = 0, !readQuoted(line, at, name, why))) return fail(lineIndex, why);
    while (at < line.size() && (line[at] == ' ' || line[at] == '\t')) ++at;
    if (at >= line.size() || line[at] != '=') return fail(lineIndex, "'=' expected after the value name");
    if (name.size() > regtree::kMaxValueName) return fail(lineIndex, "value name longer than 16383 characters");
    std::string data = trim(line.substr(at + 1));
    // Hex data goes on over the next lines while a line ends with a backslash.
    if (data.rfind("hex", 0) == 0 || data.rfind("HEX", 0) == 0) {
      while (!data.empty() && data.back() == '\\') {
        data.pop_back();
        if (++i == lines.size() || trim(lines[i]).empty())
          return fail(lineIndex, "a continued value without its next line");
        data += trim(lines[i]);
      }
    }
    if (!current) return fail(lineIndex, "a value outside of a key");
    if (data == "-") {
      regtree::removeValue(*current, name);
      continue;
    }
    DWORD type;
    std::vector<uint8_t> bytes;
    if (!readData(data, unicodeStrings, type, bytes, why)) return fail(lineIndex, why);
    regtree::putValue(*current, name, type, std::move(bytes));
  }
  return true;
}

namespace {

std::string escapeQuoted(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    switch (c) {
      case '\\': out += "\\\\"; break;
      case '"': out += "\\\""; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      default: out.push_back(c);
    }
  }
  return out + "\"";
}

// A REG_SZ value is written as a quoted text when that reads back identically: one terminator at its end and no
// other zero byte.
bool quotable(const Value& value) {
  if (value.type != REG_SZ || value.data.empty() || value.data.back() != 0) return false;
  return std::find(value.data.begin(), value.data.end() - 1, 0) == value.data.end() - 1;
}

void writeValue(std::string& out, const Value& value) {
  std::string line = value.name.empty() ? "@=" : escapeQuoted(value.name) + "=";
  if (quotable(value)) {
    out += line + escapeQuoted(std::string(value.data.begin(), value.data.end() - 1)) + "\r\n";
    return;
  }
  char buffer[32];
  if (value.type == REG_DWORD && value.data.size() == 4) {
    DWORD v = static_cast<DWORD>(value.data[0] | value.data[1] << 8 | value.data[2] << 16 |
                                 static_cast<DWORD>(value.data[3]) << 24);
    std::snprintf(buffer, sizeof buffer, "dword:%08x", v);
    out += line + buffer + "\r\n";
    return;
  }
  if (value.type == REG_BINARY) {
    line += "hex:";
  } else {
    std::snprintf(buffer, sizeof buffer, "hex(%x):", value.type);
    line += buffer;
  }
  // Long data wraps after 76 columns, each further line indented by two blanks, as the platform's editor does.
  for (size_t i = 0; i < value.data.size(); ++i) {
    std::snprintf(buffer, sizeof buffer, "%02x", value.data[i]);
    line += buffer;
    if (i + 1 == value.data.size()) break;
    line += ",";
    if (line.size() - line.rfind('\n') - 1 >= 76) line += "\\\r\n  ";
  }
  out += line + "\r\n";
}

void writeKey(std::string& out, const Key& key) {
  if (!key.root || !key.values.empty()) {
    out += "[" + Registry::Impl::pathOf(key) + "]\r\n";
    for (const auto& value : key.values) writeValue(out, value);
    out += "\r\n";
  }
  for (const auto& child : key.subkeys) writeKey(out, *child);
}

}  // namespace

std::string Registry::Impl::exportText() const {
  std::string out = "REGEDIT4\r\n\r\n";
  writeKey(out, *localMachine);
  writeKey(out, *currentUser);
  writeKey(out, *users);
  return out;
}

}  // namespace sim

// The win::Reg* functions ------------------------------------------------------------------------------------

namespace {

using sim::regtree::Key;
using sim::regtree::Value;
using Impl = sim::Registry::Impl;

constexpr REGSAM kGenericRead = 0x80000000u;
constexpr REGSAM kGenericWrite = 0x40000000u;
constexpr REGSAM kGenericExecute = 0x20000000u;
constexpr REGSAM kGenericAll = 0x10000000u;
constexpr REGSAM kMaximumAllowed = 0x02000000u;

// The rights a new handle to `key` gets for the rights asked for. Generic rights map to the key rights, as
// the platform maps them; this is where the key's security would be checked once keys carry it.
REGSAM grantedAccess(const Key& /*key*/, REGSAM desired) {
  REGSAM granted = desired & (KEY_ALL_ACCESS | WRITE_DAC | WRITE_OWNER | DELETE);
  if (desired & (kGenericRead | kGenericExecute)) granted |= KEY_READ;
  if (desired & kGenericWrite) granted |= KEY_WRITE;
  if (desired & (kGenericAll | kMaximumAllowed)) granted |= KEY_ALL_ACCESS;
  return granted;
}

bool isPredefined(HKEY key) {
  // The predefined handles are the sign-extended values 0x80000000 and up.
  auto value = reinterpret_cast<uintptr_t>(key);
  auto first = reinterpret_cast<uintptr_t>(HKEY_CLASSES_ROOT);
  return value >= first && value <= first + 0xF;
}

// The root behind a predefined handle, or null for one this machine does not have.
Key* predefinedRoot(Impl& impl, HKEY key) {
  if (key == HKEY_LOCAL_MACHINE) return impl.localMachine.get();
  if (key == HKEY_CURRENT_USER) return impl.currentUser.get();
  if (key == HKEY_USERS) return impl.users.get();
  if (key == HKEY_CLASSES_ROOT) return &impl.classesRoot();
  return nullptr;
}

// The key behind a handle for an operation that needs `needed` rights on it.
LONG useHandle(Impl& impl, HKEY handle, REGSAM needed, std::shared_ptr<Key>& key) {
  if (isPredefined(handle)) {
    Key* root = predefinedRoot(impl, handle);
    if (!root) return ERROR_INVALID_HANDLE;
    // Roots (and the classes key) are owned by the tree; an aliasing pointer keeps the interface uniform.
    key = std::shared_ptr<Key>(std::shared_ptr<Key>{}, root);
    return ERROR_SUCCESS;
  }
  auto found = impl.handles.find(reinterpret_cast<uintptr_t>(handle));
  if (found == impl.handles.end()) return ERROR_INVALID_HANDLE;
  if (found->second.key->deleted) return ERROR_KEY_DELETED;
  if ((found->second.access & needed) != needed) return ERROR_ACCESS_DENIED;
  key = found->second.key;
  return ERROR_SUCCESS;
}

// Strong reference to a key in the tree (the parent's entry owns it).
std::shared_ptr<Key> strongRef(Key* key) {
  if (!key->parent) return std::shared_ptr<Key>(std::shared_ptr<Key>{}, key);  // a root
  for (auto& child : key->parent->subkeys)
    if (child.get() == key) return child;
  return std::shared_ptr<Key>(std::shared_ptr<Key>{}, key);
}

HKEY newHandle(Impl& impl, Key* key, REGSAM desired) {
  uintptr_t value = impl.nextHandle;
  impl.nextHandle += 4;
  impl.handles[value] = {strongRef(key), grantedAccess(*key, desired)};
  return reinterpret_cast<HKEY>(value);
}

// Follows a relative path of key names from `start`. A path may not begin with a backslash; repeated and
// trailing backslashes separate nothing. With `create`, missing keys are made (the last one with `className`)
// and `created` says whether the last one was new.
LONG walk(Key* start, const char* subKey, bool create, const char* className, Key*& out, bool* created) {
  std::string path = subKey ? subKey : "";
  if (!path.empty() && path[0] == '\\') return ERROR_BAD_PATHNAME;
  Key* key = start;
  bool made = false;
  for (const auto& name : sim::split(path, '\\')) {
    if (name.empty()) continue;
    if (name.size() > sim::regtree::kMaxKeyName) return ERROR_INVALID_PARAMETER;
    Key* next = sim::regtree::findSubkey(*key, name);
    made = false;
    if (!next) {
      if (!create) return ERROR_FILE_NOT_FOUND;
      next = sim::regtree::addSubkey(*key, name, "");
      made = true;
    }
    key = next;
  }
  if (made && className) key->className = className;
  if (created) *created = made;
  out = key;
  return ERROR_SUCCESS;
}

std::string valueName(LPCSTR name) { return name ? name : ""; }

DWORD stringSize(const std::string& text) { return static_cast<DWORD>(text.size()); }

}  // namespace

namespace win {

LONG RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD, REGSAM samDesired, PHKEY phkResult) {
  sim::Machine& m = sim::current();
  std::lock_guard guard(m.lock());
  Impl& impl = m.registry.impl();
  // A predefined key with no path opens as itself.
  if (phkResult && (!lpSubKey || !*lpSubKey) && isPredefined(hKey)) {
    *phkResult = hKey;
    return ERROR_SUCCESS;
  }
  if (!phkResult) return ERROR_INVALID_PARAMETER;
  std::shared_ptr<Key> parent;
  if (LONG result = useHandle(impl, hKey, 0, parent)) return result;
  Key* key;
  if (LONG result = walk(parent.get(), lpSubKey, false, nullptr, key, nullptr)) return result;
  *phkResult = newHandle(impl, key, samDesired);
  return ERROR_SUCCESS;
}

LONG RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD, LPSTR lpClass, DWORD, REGSAM samDesired,
                     LPSECURITY_ATTRIBUTES, PHKEY phkResult, LPDWORD lpdwDisposition) {
  sim::Machine& m = sim::current();
  std::lock_guard guard(m.lock());
  Impl& impl = m.registry.impl();
  if (!phkResult) return ERROR_INVALID_PARAMETER;
  std::shared_ptr<Key> parent;
  if (LONG result = useHandle(impl, hKey, 0, parent)) return result;
  Key* key;
  bool created = false;
  if (LONG result = walk(parent.get(), lpSubKey, true, lpClass, key, &created)) return result;
  *phkResult = newHandle(impl, key, samDesired);
  if (lpdwDisposition) *lpdwDisposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
  return ERROR_SUCCESS;
}

LONG RegCloseKey(HKEY hKey) {
  sim::Machine& m = sim::current();
  std::lock_guard guard(m.lock());
  if (isPredefined(hKey)) return ERROR_SUCCESS;
  return m.registry.impl().handles.erase(reinterpret_cast<uintptr_t>(hKey)) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

LONG RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData,
                      LPDWORD lpcbData) {
  sim::Machine& m = sim::current();
  std::lock_guard guard(m.lock());
  if ((lpData && !lpcbData) || lpReserved) return ERROR_INVALID_PARAMETER;
  if (isPredefined(hKey) && !predefinedRoot(m.registry.impl(), hKey)) return ERROR_INVALID_HANDLE;
  const DWORD room = lpcbData ? *lpcbData : 0;
  // Size and type read as nothing until the value is found.
  if (!lpData && lpcbData) *lpcbData = 0;
  if (lpType) *lpType = REG_NONE;
  std::shared_ptr<Key> key;
  if (LONG result = useHandle(m.registry.impl(), hKey, KEY_QUERY_VALUE, key)) return result;
  const Value* value = sim::regtree::findValue(*key, valueName(lpValueName));
  if (!value) return ERROR_FILE_NOT_FOUND;

  LONG result = ERROR_SUCCESS;
  const DWORD size = static_cast<DWORD>(value->data.size());
  if (lpData && size) {
    if (size > room) {
      result = ERROR_MORE_DATA;  // the buffer is left as it was
    } else {
      std::memcpy(lpData, value->data.data(), size);
      // A text stored without its terminator gets one when the buffer has room for it; the size stays.
      if (sim::regtree::isStringType(value->type) && size < room && lpData[size - 1]) lpData[size] = 0;
    }
  }
  if (lpType) *lpType = value->type;
  if (lpcbData) *lpcbData = size;
  return result;
}

LONG RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD, DWORD dwType, const BYTE* lpData, DWORD cbData) {
  sim::Machine& m = sim::current();
  std::lock_guard guard(m.lock());
  // A text counted without its terminator is stored with it when the byte after the count is the terminator.
  // This reads one byte past the count, as the platform does.
  if (lpData && cbData && sim::regtree::isStringType(dwType) && lpData[cbData - 1] && !lpData[cbData]) ++cbData;
  std::shared_ptr<Key> key;
  if (LONG result = useHandle(m.registry.impl(), hKey, KEY_SET_VALUE, key)) return result;
  if (!lpData && cbData) return ERROR_NOACCESS;
  std::string name = valueName(lpValueName);
  if (name.size() > sim::regtree::kMaxValueName) return ERROR_INVALID_PARAMETER;
  sim::regtree::putValue(*key, name, dwType, std::vector<uint8_t>(lpData, lpData + cbData));
  return ERROR_SUCCESS;
}

LONG RegDeleteValueA(HKEY hKey, LPCSTR lpValueName) {
  sim::Machine& m = sim::current();
  std::lock_guard guard(m.lock());
  std::shared_ptr<Key> key;
  if (LONG result = useHandle(m.registry.impl(), hKey, KEY_SET_VALUE, key)) return result;
  return sim::regtree::removeValue(*key, valueName(lpValueName)) ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
}

LONG RegDeleteKeyA(HKEY hKey, LPCSTR lpSubKey) {
  sim::Machine& m = sim::current();
  std::lock_guard guard(m.lock());
  if (!lpSubKey) return ERROR_INVALID_PARAMETER;
  std::shared_ptr<Key> parent;
  if (LONG result = useHandle(m.registry.impl(), hKey, 0, parent)) return result;
  Key* key;
  if (LONG result = walk(parent.get(), lpSubKey, false, nullptr, key, nullptr)) return result;
  // The NT family deletes only a key without subkeys, and never a root.
  if (key->root || key == &m.registry.impl().classesRoot() || !key->subkeys.empty()) return ERROR_ACCESS_DENIED;
  sim::regtree::removeKey(*key);
  return ERROR_SUCCESS;
}

LONG RegEnumKeyExA(HKEY hKey, DWORD dwIndex, LPSTR lpName, LPDWORD lpcchName, LPDWORD lpReserved, LPSTR lpClass,
                   LPDWORD lpcchClass, PFILETIME lpftLastWriteTime) {
  sim::Machine& m = sim::current();
  std::lock_guard guard(m.lock());
  if (lpReserved) return ERROR_INVALID_PARAMETER;
  if (isPredefined(hKey) && !predefinedRoot(m.registry.impl(), hKey)) return ERROR_INVALID_HANDLE;
  if (!lpName || !lpcchName) return ERROR_INVALID_PARAMETER;
  std::shared_ptr<Key> key;
  if (LONG result = useHandle(m.registry.impl(), hKey, KEY_ENUMERATE_SUB_KEYS, key)) return result;
  if (dwIndex >= key->subkeys.size()) return ERROR_NO_MORE_ITEMS;
  const Key& child = *key->subkeys[dwIndex];
  if (lpftLastWriteTime) *lpftLastWriteTime = child.lastWrite;
  // Name and class must fit with their terminators; otherwise nothing of them is written.
  if (stringSize(child.name) >= *lpcchName || (lpClass && lpcchClass && stringSize(child.className) >= *lpcchClass))
    return ERROR_MORE_DATA;
  *lpcchName = static_cast<DWORD>(sim::copyCut(child.name, lpName, child.name.size() + 1));
  if (lpcchClass) {
    *lpcchClass = stringSize(child.className);
    if (lpClass) sim::copyCut(child.className, lpClass, child.className.size() + 1);
  }
  return ERROR_SUCCESS;
}

LONG RegEnumValueA(HKEY hKey, DWORD dwIndex, LPSTR lpValueName, LPDWORD lpcchValueName, LPDWORD lpReserved,
                   LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
  sim::Machine& m = sim::current();
  std::lock_guard guard(m.lock());
  if ((lpData && !lpcbData) || lpReserved || !lpValueName || !lpcchValueName) return ERROR_INVALID_PARAMETER;
  if (isPredefined(hKey) && !predefinedRoot(m.registry.impl(), hKey)) return ERROR_INVALID_HANDLE;
  std::shared_ptr<Key> key;
  if (LONG result = useHandle(m.registry.impl(), hKey, KEY_QUERY_VALUE, key)) return result;
  if (dwIndex >= key->values.size()) return ERROR_NO_MORE_ITEMS;
  const Value& value = key->values[dwIndex];

  LONG result = ERROR_SUCCESS;
  const DWORD size = static_cast<DWORD>(value.data.size());
  if (lpData && size) {
    if (size > *lpcbData) {
      result = ERROR_MORE_DATA;
    } else {
      std::memcpy(lpData, value.data.data(), size);
      if (sim::regtree::isStringType(value.type) && size < *lpcbData && lpData[size - 1]) lpData[size] = 0;
    }
  }
  // Data that did not fit leaves the name and its size alone; a name that does not fit is cut to the buffer
  // and its size stays the buffer's.
  if (result == ERROR_SUCCESS) {
    if (stringSize(value.name) >= *lpcchValueName) {
      result = ERROR_MORE_DATA;
      sim::copyCut(value.name, lpValueName, *lpcchValueName);
    } else {
      *lpcchValueName = static_cast<DWORD>(sim::copyCut(value.name, lpValueName, value.name.size() + 1));
    }
  }
  if (lpType) *lpType = value.type;
  if (lpcbData) *lpcbData = size;
  return result;
}

LONG RegQueryInfoKeyA(HKEY hKey, LPSTR lpClass, LPDWORD lpcchClass, LPDWORD lpReserved, LPDWORD lpcSubKeys,
                      LPDWORD lpcbMaxSubKeyLen, LPDWORD lpcbMaxClassLen, LPDWORD lpcValues,
                      LPDWORD lpcbMaxValueNameLen, LPDWORD lpcbMaxValueLen, LPDWORD lpcbSecurityDescriptor,
                      PFILETIME lpftLastWriteTime) {
  sim::Machine& m = sim::current();
  std::lock_guard guard(m.lock());
  if ((lpClass && !lpcchClass) || lpReserved) return ERROR_INVALID_PARAMETER;
  std::shared_ptr<Key> key;
  if (LONG result = useHandle(m.registry.impl(), hKey, KEY_QUERY_VALUE, key)) return result;

  LONG result = ERROR_SUCCESS;
  if (lpcchClass) {
    if (lpClass && key->className.size() + 1 > *lpcchClass) result = ERROR_MORE_DATA;
    *lpcchClass = stringSize(key->className);
  }
  if (lpClass && result == ERROR_SUCCESS) sim::copyCut(key->className, lpClass, key->className.size() + 1);

  // Lengths count characters without terminators. The largest data counts texts in the registry's own
  // 16-bit characters, so for a text it is twice what RegQueryValueExA returns: enough for any buffer.
  DWORD maxSubkey = 0, maxClass = 0, maxName = 0, maxData = 0;
  for (const auto& child : key->subkeys) {
    maxSubkey = std::max(maxSubkey, stringSize(child->name));
    maxClass = std::max(maxClass, stringSize(child->className));
  }
  for (const auto& value : key->values) {
    maxName = std::max(maxName, stringSize(value.name));
    DWORD size = static_cast<DWORD>(value.data.size());
    maxData = std::max(maxData, sim::regtree::isStringType(value.type) ? 2 * size : size);
  }
  if (lpcSubKeys) *lpcSubKeys = static_cast<DWORD>(key->subkeys.size());
  if (lpcbMaxSubKeyLen) *lpcbMaxSubKeyLen = maxSubkey;
  if (lpcbMaxClassLen) *lpcbMaxClassLen = maxClass;
  if (lpcValues) *lpcValues = static_cast<DWORD>(key->values.size());
  if (lpcbMaxValueNameLen) *lpcbMaxValueNameLen = maxName;
  if (lpcbMaxValueLen) *lpcbMaxValueLen = maxData;
  if (lpcbSecurityDescriptor) *lpcbSecurityDescriptor = 0;  // keys carry no security descriptor yet
  if (lpftLastWriteTime) *lpftLastWriteTime = key->lastWrite;
  return result;
}

}  // namespace win

// Key security ------------------------------------------------------------------------------------------------

namespace sim {

std::optional<SecurityDescriptor> Registry::keySecurity(const std::string& keyPath) const {
  Key* key = impl_->resolve(keyPath, false);
  if (!key) return std::nullopt;
  return key->security ? *key->security : SecurityDescriptor::defaultForKey();
}

bool Registry::setKeySecurity(const std::string& keyPath, const SecurityDescriptor& sd) {
  Key* key = impl_->resolve(keyPath, false);
  if (!key) return false;
  key->security = sd;
  return true;
}

namespace {

void collectSecurity(const Key& key, std::vector<std::pair<std::string, SecurityDescriptor>>& out) {
  if (key.security) out.push_back({Registry::Impl::pathOf(key), *key.security});
  for (const auto& child : key.subkeys) collectSecurity(*child, out);
}

}  // namespace

std::vector<std::pair<std::string, SecurityDescriptor>> Registry::explicitKeySecurity() const {
  std::vector<std::pair<std::string, SecurityDescriptor>> out;
  collectSecurity(*impl_->localMachine, out);
  collectSecurity(*impl_->currentUser, out);
  collectSecurity(*impl_->users, out);
  return out;
}

std::string Registry::pathOfHandle(HKEY handle) const {
  std::shared_ptr<Key> key;
  if (useHandle(*impl_, handle, 0, key) != ERROR_SUCCESS) return {};
  return Impl::pathOf(*key);
}

}  // namespace sim
