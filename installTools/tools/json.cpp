#include "installTools/tools/json.h"

#include <cstdio>

std::string JsonWriter::quote(const std::string& text) {
  std::string out(1, '"');
  for (unsigned char c : text) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20 || c > 0x7E) {
          char escape[8];
          std::snprintf(escape, sizeof escape, "\\u%04x", c);
          out += escape;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  out.push_back('"');
  return out;
}

void JsonWriter::newline() {
  out_.push_back('\n');
  out_.append(2 * first_.size(), ' ');
}

void JsonWriter::member(const char* name) {
  if (!first_.empty()) {
    if (!first_.back()) out_ += ",";
    first_.back() = false;
    newline();
  }
  if (name) {
    out_ += quote(name);
    out_ += ": ";
  }
}

JsonWriter& JsonWriter::beginObject(const char* name) {
  member(name);
  out_ += "{";
  first_.push_back(true);
  return *this;
}

JsonWriter& JsonWriter::endObject() {
  bool empty = first_.back();
  first_.pop_back();
  if (!empty) newline();
  out_ += "}";
  return *this;
}

JsonWriter& JsonWriter::beginArray(const char* name) {
  member(name);
  out_ += "[";
  first_.push_back(true);
  return *this;
}

JsonWriter& JsonWriter::endArray() {
  bool empty = first_.back();
  first_.pop_back();
  if (!empty) newline();
  out_ += "]";
  return *this;
}

JsonWriter& JsonWriter::value(const char* name, const std::string& text) {
  member(name);
  out_ += quote(text);
  return *this;
}

JsonWriter& JsonWriter::value(const char* name, int64_t number) {
  member(name);
  out_ += std::to_string(number);
  return *this;
}

JsonWriter& JsonWriter::value(const char* name, bool flag) {
  member(name);
  out_ += flag ? "true" : "false";
  return *this;
}
