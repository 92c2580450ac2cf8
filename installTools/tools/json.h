// A small writer of JSON text for the console tools: objects and arrays with members in the order written.
// Texts are the system's 8-bit texts: bytes above 0x7F are written as \u00XX escapes, so the output is plain ASCII.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

class JsonWriter {
 public:
  JsonWriter& beginObject(const char* name = nullptr);
  JsonWriter& endObject();
  JsonWriter& beginArray(const char* name = nullptr);
  JsonWriter& endArray();
  JsonWriter& value(const char* name, const std::string& text);
  JsonWriter& value(const char* name, const char* text) { return value(name, std::string(text)); }
  JsonWriter& value(const char* name, int64_t number);
  JsonWriter& value(const char* name, int32_t number) { return value(name, static_cast<int64_t>(number)); }
  JsonWriter& value(const char* name, bool flag);
  // The finished text, indented by two blanks a level, with a final newline.
  std::string text() const { return out_ + "\n"; }

  static std::string quote(const std::string& text);

 private:
  void member(const char* name);
  void newline();
  std::string out_;
  std::vector<bool> first_;  // per open level: no member written yet
};
