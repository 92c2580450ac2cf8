// The host's profile-string (INI file) functions over the simulated machine's files.
//
// An INI file is read line by line (a line ends in CR LF, LF or a lone CR; a UTF-8 byte-order mark at the
// start is skipped and kept); blanks and tabs around every line, name and value do not count:
//   [Section]        a section header; the name is what lies between '[' and the last ']' on the line;
//                    a line that starts with '[' but has no ']' belongs to nothing and is skipped
//   name=value       a key; a value in matching double or single quotes is handed out without them
//   name             a key without a value: it reads as missing and is not listed
//   ;text            a key like any other, found by its name, but left out of key lists
// Lines before the first header form a section with the empty name. When a section name appears twice,
// only its first section is read and written; when a key appears twice in it, its first line counts.
// Writing edits the file in place: the other lines keep their text and order, and the file is written back
// with CR LF line ends.
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "platform/seam/winapi.h"
#include "platform/sim/machine.h"
#include "platform/sim/text.h"

namespace {

std::string trimBlanks(const std::string& text) {
  auto first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return {};
  return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

std::string trimLeft(const std::string& text) {
  auto first = text.find_first_not_of(" \t");
  return first == std::string::npos ? std::string() : text.substr(first);
}

constexpr const char* kUtf8Mark = "\xEF\xBB\xBF";

// One line of an INI file, with what it means.
struct Line {
  enum Kind { kBlank, kSection, kKey, kIgnored };
  std::string text;  // as it stands in the file, without its line end
  Kind kind = kBlank;
  std::string name;   // the section's or key's name
  std::string value;  // the key's value
  bool hasValue = false;
};

Line parseLine(const std::string& text) {
  Line line;
  line.text = text;
  std::string t = trimBlanks(text);
  if (t.empty()) return line;
  if (t[0] == '[') {
    auto close = t.rfind(']');
    if (close == 0 || close == std::string::npos) {
      line.kind = Line::kIgnored;
      return line;
    }
    line.kind = Line::kSection;
    line.name = trimBlanks(t.substr(1, close - 1));
    return line;
  }
  line.kind = Line::kKey;
  auto eq = t.find('=');
  if (eq == std::string::npos) {
    line.name = t;
    return line;
  }
  line.name = trimBlanks(t.substr(0, eq));
  line.value = trimBlanks(t.substr(eq + 1));
  line.hasValue = true;
  return line;
}

// The lines of a file and the sections they form.
struct Profile {
  std::vector<Line> lines;

  std::string mark;  // a UTF-8 byte-order mark the file starts with, kept when it is written back

  // Lines end in CR LF, LF or a lone CR; the text ends at its first NUL.
  explicit Profile(const std::string& file) {
    std::string bytes = file.substr(0, file.find('\0'));
    size_t start = 0;
    if (bytes.rfind(kUtf8Mark, 0) == 0) {
      mark = kUtf8Mark;
      start = mark.size();
    }
    while (start < bytes.size()) {
      auto end = bytes.find_first_of("\r\n", start);
      lines.push_back(parseLine(bytes.substr(start, end == std::string::npos ? std::string::npos : end - start)));
      if (end == std::string::npos) break;
      start = end + (bytes.compare(end, 2, "\r\n") == 0 ? 2 : 1);
    }
  }

  std::string text() const {
    std::string out = mark;
    for (const auto& line : lines) out += line.text + "\r\n";
    return out;
  }

  // A section as a range of lines: its header (npos for the unnamed leading section) and its body.
  struct Section {
    size_t header = std::string::npos;
    size_t begin = 0;
    size_t end = 0;
  };

  // The first section of that name, compared without regard to case.
  std::optional<Section> find(const std::string& name) const {
    Section section;
    bool current = name.empty();  // the lines before the first header form the unnamed section
    for (size_t i = 0; i <= lines.size(); ++i) {
      if (i == lines.size() || lines[i].kind == Line::kSection) {
        if (current) {
          section.end = i;
          return section;
        }
        if (i == lines.size()) break;
        current = sim::iequals(lines[i].name, name);
        section.header = i;
        section.begin = i + 1;
      }
    }
    return std::nullopt;
  }

  // The first key line of that name in the section.
  std::optional<size_t> key(const Section& section, const std::string& name) const {
    for (size_t i = section.begin; i < section.end; ++i) {
      if (lines[i].kind == Line::kKey && sim::iequals(lines[i].name, name)) return i;
    }
    return std::nullopt;
  }

  std::vector<std::string> sectionNames() const {
    std::vector<std::string> names;
    for (const auto& line : lines) {
      if (line.kind == Line::kSection && !line.name.empty()) names.push_back(line.name);
    }
    return names;
  }

  std::vector<std::string> keyNames(const Section& section) const {
    std::vector<std::string> names;
    for (size_t i = section.begin; i < section.end; ++i) {
      const Line& line = lines[i];
      if (line.kind == Line::kKey && line.hasValue && line.name.rfind(';', 0) != 0) names.push_back(line.name);
    }
    return names;
  }
};

std::string unquoted(const std::string& value) {
  if (value.size() >= 2 && (value[0] == '"' || value[0] == '\'') && value.back() == value[0]) {
    return value.substr(1, value.size() - 2);
  }
  return value;
}

// A profile name without a folder lies in the Windows folder; any other is taken from the current folder.
std::string profilePath(const sim::Machine& m, const char* fileName) {
  std::string name = fileName;
  if (name.find_first_of("\\/") == std::string::npos) return m.windowsFolder + "\\" + name;
  auto slash = m.modulePath.find_last_of("\\/");
  std::string current = slash == std::string::npos ? std::string("C:\\") : m.modulePath.substr(0, slash);
  return sim::FileSystem::fullPath(name, current);
}

// A single string into the caller's buffer, cut to fit: the characters copied.
DWORD copyString(const std::string& text, LPSTR buffer, DWORD size) {
  return static_cast<DWORD>(sim::copyCut(text, buffer, size));
}

// A list of strings, each ended by a NUL and the list by one more. A list cut to the buffer ends in its
// cut last string and two NULs, and the result is size - 2.
DWORD copyList(const std::vector<std::string>& names, LPSTR buffer, DWORD size) {
  if (size == 0) return 0;
  if (size == 1) {
    buffer[0] = '\0';
    return 0;
  }
  size_t at = 0;
  for (const auto& name : names) {
    if (at + name.size() + 1 > size - 1) {
      size_t room = at < size - 2 ? size - 2 - at : 0;
      std::memcpy(buffer + at, name.data(), room);
      buffer[size - 2] = '\0';
      buffer[size - 1] = '\0';
      return size - 2;
    }
    std::memcpy(buffer + at, name.c_str(), name.size() + 1);
    at += name.size() + 1;
  }
  buffer[at] = '\0';
  return static_cast<DWORD>(at);
}

// The leading number of a profile value, as the platform reads it: an optional sign, an optional base prefix
// "0x", "0o" or "0b" (lower case only), then digits of that base up to the first other character, all
// taken modulo 2^32. No digits read as 0.
UINT parseProfileInt(const std::string& text) {
  size_t i = 0;
  while (i < text.size() && static_cast<unsigned char>(text[i]) <= ' ') ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
  unsigned base = 10;
  if (i + 1 < text.size() && text[i] == '0') {
    if (text[i + 1] == 'x') base = 16;
    if (text[i + 1] == 'o') base = 8;
    if (text[i + 1] == 'b') base = 2;
    if (base != 10) i += 2;
  }
  uint32_t value = 0;
  for (; i < text.size(); ++i) {
    char c = text[i];
    unsigned digit;
    if (c >= '0' && c <= '9')
      digit = static_cast<unsigned>(c - '0');
    else if (c >= 'a' && c <= 'z')
      digit = static_cast<unsigned>(c - 'a' + 10);
    else if (c >= 'A' && c <= 'Z')
      digit = static_cast<unsigned>(c - 'A' + 10);
    else
      break;
    if (digit >= base) break;
    value = value * base + digit;
  }
  return negative ? 0u - value : value;
}

// The file's text, or the platform's error for a file that cannot be read.
DWORD loadProfile(sim::Machine& m, const char* fileName, std::string& bytes) {
  if (!fileName) return ERROR_FILE_NOT_FOUND;
  return m.files.load(profilePath(m, fileName), bytes);
}

}  // namespace

namespace win {

DWORD GetPrivateProfileStringA(LPCSTR section, LPCSTR key, LPCSTR defaultValue, LPSTR buffer, DWORD size,
                               LPCSTR fileName) {
  sim::Machine& m = sim::current();
  std::lock_guard guard(m.lock());
  if (!buffer || size == 0) return 0;
  // The default loses its trailing spaces (not tabs).
  std::string fallback = defaultValue ? defaultValue : "";
  fallback.erase(fallback.find_last_not_of(' ') + 1);
  std::string bytes;
  DWORD error = loadProfile(m, fileName, bytes);
  SetLastError(error);
  if (error != ERROR_SUCCESS) {
    if (!section) return copyList({}, buffer, size);
    return copyString(fallback, buffer, size);
  }
  Profile profile(bytes);
  if (!section) return copyList(profile.sectionNames(), buffer, size);
  auto found = profile.find(section);
  if (!key) {
    // The keys of a missing or empty section read as the default, as a single string.
    auto names = found ? profile.keyNames(*found) : std::vector<std::string>();
    return names.empty() ? copyString(fallback, buffer, size) : copyList(names, buffer, size);
  }
  auto line = found ? profile.key(*found, key) : std::nullopt;
  if (!line || !profile.lines[*line].hasValue) return copyString(fallback, buffer, size);
  return copyString(unquoted(profile.lines[*line].value), buffer, size);
}

UINT GetPrivateProfileIntA(LPCSTR section, LPCSTR key, INT defaultValue, LPCSTR fileName) {
  sim::Machine& m = sim::current();
  std::lock_guard guard(m.lock());
  std::string bytes;
  DWORD error = loadProfile(m, fileName, bytes);
  SetLastError(error);
  if (error != ERROR_SUCCESS || !section || !key) return static_cast<UINT>(defaultValue);
  Profile profile(bytes);
  auto found = profile.find(section);
  auto line = found ? profile.key(*found, key) : std::nullopt;
  if (!line || !profile.lines[*line].hasValue) return static_cast<UINT>(defaultValue);
  std::string value = unquoted(profile.lines[*line].value);
  if (value.empty()) return static_cast<UINT>(defaultValue);
  return parseProfileInt(value);
}

DWORD GetPrivateProfileSectionNamesA(LPSTR buffer, DWORD size, LPCSTR fileName) {
  sim::Machine& m = sim::current();
  std::lock_guard guard(m.lock());
  if (!buffer || size == 0) return 0;
  std::string bytes;
  DWORD error = loadProfile(m, fileName, bytes);
  SetLastError(error);
  if (error != ERROR_SUCCESS) return copyList({}, buffer, size);
  return copyList(Profile(bytes).sectionNames(), buffer, size);
}

BOOL WritePrivateProfileStringA(LPCSTR section, LPCSTR key, LPCSTR value, LPCSTR fileName) {
  sim::Machine& m = sim::current();
  std::lock_guard guard(m.lock());
  if (!section) {
    // With nothing to write this only flushes the profile cache, which the machine does not have.
    if (!key && !value) return TRUE;
    SetLastError(ERROR_FILE_NOT_FOUND);
    return FALSE;
  }
  if (!fileName) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const std::string path = profilePath(m, fileName);
  std::string bytes;
  DWORD error = m.files.load(path, bytes);
  const bool deleting = !key || !value;
  if (error == ERROR_FILE_NOT_FOUND) {
    // Deleting from a file that is not there changes nothing and makes no file.
    if (deleting) {
      SetLastError(error);
      return TRUE;
    }
    bytes.clear();
  } else if (error != ERROR_SUCCESS) {
    SetLastError(error);
    return FALSE;
  }
  Profile profile(bytes);
  auto found = profile.find(section);
  auto& lines = profile.lines;
  if (!key) {
    if (!found) return TRUE;
    // The unnamed leading section has no header; deleting it removes its lines.
    size_t first = found->header == std::string::npos ? found->begin : found->header;
    lines.erase(lines.begin() + static_cast<std::ptrdiff_t>(first),
                lines.begin() + static_cast<std::ptrdiff_t>(found->end));
  } else if (!value) {
    auto line = found ? profile.key(*found, key) : std::nullopt;
    if (!line) return TRUE;
    lines.erase(lines.begin() + static_cast<std::ptrdiff_t>(*line));
  } else if (!found) {
    lines.push_back(parseLine(std::string("[") + section + "]"));
    lines.push_back(parseLine(trimLeft(key) + "=" + trimLeft(value)));
  } else if (auto line = profile.key(*found, key)) {
    lines[*line] = parseLine(lines[*line].name + "=" + trimLeft(value));
  } else {
    // A new key goes after the section's last line that is not blank.
    size_t at = found->end;
    while (at > found->begin && lines[at - 1].kind == Line::kBlank) --at;
    lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(at), parseLine(trimLeft(key) + "=" + trimLeft(value)));
  }
  error = m.files.store(path, profile.text());
  if (error != ERROR_SUCCESS) {
    SetLastError(error);
    return FALSE;
  }
  return TRUE;
}

}  // namespace win
