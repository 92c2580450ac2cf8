// The simulated registry's own functions and its .reg text: import of both formats, export, round trip and
// the errors of malformed files.
#include "platform/sim/registry.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace {

using Bytes = std::vector<uint8_t>;
using namespace std::string_literals;

const std::string kKey = "HKEY_LOCAL_MACHINE\\Software\\tvTest";

Bytes bytes(const std::string& text) { return Bytes(text.begin(), text.end()); }

// The type and data of a value, or REG_NONE with "<missing>" when there is none.
std::pair<DWORD, Bytes> valueOf(const sim::Registry& registry, const std::string& key, const std::string& name) {
  DWORD type = REG_NONE;
  Bytes data;
  if (!registry.getValue(key, name, type, data)) return {REG_NONE, bytes("<missing>")};
  return {type, data};
}

std::string readFixture(const std::string& name) {
  auto path = std::filesystem::path(__FILE__).parent_path() / "testdata" / "registry" / name;
  std::ifstream file(path, std::ios::binary);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

TEST(Registry, NamesCompareWithoutCaseAndKeepTheirCase) {
  sim::Registry registry;
  registry.createKey(kKey + "\\MixedCase\\Child");
  registry.createKey("hklm\\SOFTWARE\\TVTEST\\mixedcase\\Other");
  EXPECT_TRUE(registry.keyExists("HKEY_LOCAL_MACHINE\\software\\tvtest\\MIXEDCASE\\child"));
  EXPECT_EQ(registry.subkeys(kKey), std::vector<std::string>{"MixedCase"});
  EXPECT_EQ(registry.subkeys(kKey + "\\MixedCase"), (std::vector<std::string>{"Child", "Other"}));
  registry.setString(kKey, "Name", "one");
  registry.setString(kKey, "NAME", "two");
  EXPECT_EQ(registry.valueNames(kKey), std::vector<std::string>{"Name"});
  EXPECT_EQ(registry.getString(kKey, "name"), "two");
  EXPECT_FALSE(registry.keyExists("HKEY_NOWHERE\\Software"));
  EXPECT_THROW(registry.createKey("HKEY_NOWHERE\\Software"), std::invalid_argument);
}

TEST(Registry, ClassesRootIsTheMachineClassesKey) {
  sim::Registry registry;
  registry.setDword("HKEY_CLASSES_ROOT\\tvClass", "Marker", 7);
  EXPECT_EQ(registry.getDword("HKEY_LOCAL_MACHINE\\Software\\Classes\\tvClass", "Marker"), 7u);
  EXPECT_FALSE(registry.deleteTree("HKEY_LOCAL_MACHINE"));
  EXPECT_TRUE(registry.deleteTree("HKCR\\TVCLASS"));
  EXPECT_FALSE(registry.keyExists("HKEY_LOCAL_MACHINE\\Software\\Classes\\tvClass"));
}

TEST(Registry, TypedGettersRefuseOtherTypes) {
  sim::Registry registry;
  registry.setValue(kKey, "Short", REG_DWORD, {1, 2});
  registry.setValue(kKey, "Blob", REG_BINARY, bytes("abc\0"s));
  registry.setValue(kKey, "Expand", REG_EXPAND_SZ, bytes("%X%\0"s));
  EXPECT_EQ(registry.getDword(kKey, "Short"), std::nullopt);
  EXPECT_EQ(registry.getString(kKey, "Blob"), std::nullopt);
  EXPECT_EQ(registry.getString(kKey, "Expand"), "%X%");
  EXPECT_TRUE(registry.deleteValue(kKey, "blob"));
  EXPECT_FALSE(registry.deleteValue(kKey, "blob"));
}

// .reg import ------------------------------------------------------------------------------------------------

TEST(RegistryText, ImportReadsEveryValueForm) {
  const std::string text =
      "REGEDIT4\r\n"
      "\r\n"
      "; a comment line\r\n"
      "[HKEY_LOCAL_MACHINE\\Software\\tvTest]\r\n"
      "@=\"default\"\r\n"
      "\"Path\"=\"C:\\\\Program Files\\\\tv \\\"x\\\"\"\r\n"
      "\"Lines\"=\"one\\ntwo\\r\"\r\n"
      "\"Empty\"=\"\"\r\n"
      "\"Count\"=dword:0000002A\r\n"
      "\"Small\"=dword:7\r\n"
      "\"Blob\"=hex:00,01,ff\r\n"
      "\"NoBytes\"=hex:\r\n"
      "\"Expand\"=hex(2):25,58,25,00\r\n"
      "\"Multi\"=hex(7):61,00,62,63,00,00\r\n"
      "\"None\"=hex(0):01\r\n"
      "\"Quad\"=hex(b):01,02,03,04,05,06,07,08\r\n"
      "\"Long\"=hex:01,02,\\\r\n"
      "  03,04,\\\r\n"
      "  05\r\n"
      "  \"Spaced Name\" = \"kept\"  ; trailing comment\r\n"
      "\"Name \\\"with\\\" quotes\"=\"q\"\r\n"
      "[HKEY_CURRENT_USER\\Software\\tvUser]\n"
      "\"Unix\"=\"line ends\"\n";
  sim::Registry registry;
  std::string error;
  ASSERT_TRUE(registry.importRegText(text, error)) << error;

  struct Case {
    const char* name;
    DWORD type;
    std::string data;
  };
  const Case cases[] = {
      {"", REG_SZ, "default\0"s},
      {"Path", REG_SZ, "C:\\Program Files\\tv \"x\"\0"s},
      {"Lines", REG_SZ, "one\ntwo\r\0"s},
      {"Empty", REG_SZ, "\0"s},
      {"Count", REG_DWORD, "\x2a\0\0\0"s},
      {"Small", REG_DWORD, "\x07\0\0\0"s},
      {"Blob", REG_BINARY, "\x00\x01\xff"s},
      {"NoBytes", REG_BINARY, ""},
      {"Expand", REG_EXPAND_SZ, "%X%\0"s},
      {"Multi", REG_MULTI_SZ, "a\0bc\0\0"s},
      {"None", REG_NONE, "\x01"s},
      {"Quad", REG_QWORD, "\x01\x02\x03\x04\x05\x06\x07\x08"s},
      {"Long", REG_BINARY, "\x01\x02\x03\x04\x05"s},
      {"Spaced Name", REG_SZ, "kept\0"s},
      {"Name \"with\" quotes", REG_SZ, "q\0"s},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(valueOf(registry, kKey, c.name), std::make_pair(c.type, bytes(c.data)));
  }
  EXPECT_EQ(registry.getString("HKEY_CURRENT_USER\\Software\\tvUser", "Unix"), "line ends");
}

// A file written by `wine regedit /e` after `wine reg add`: UTF-16LE with a byte-order mark, version 5 header,
// text data of hex(2) and hex(7) in 16-bit characters.
TEST(RegistryText, ImportReadsWinesUtf16Export) {
  std::string text = readFixture("wine_export.reg");
  ASSERT_GE(text.size(), 2u);
  ASSERT_EQ(text.substr(0, 2), "\xff\xfe"s);
  sim::Registry registry;
  std::string error;
  ASSERT_TRUE(registry.importRegText(text, error)) << error;

  const std::string key = "HKEY_LOCAL_MACHINE\\Software\\tvRegFixture";
  Bytes blob;
  for (int i = 0; i < 40; ++i) blob.push_back(static_cast<uint8_t>(i));
  EXPECT_EQ(valueOf(registry, key, ""), std::make_pair(DWORD{REG_SZ}, bytes("Default text\0"s)));
  EXPECT_EQ(valueOf(registry, key, "Text"),
            std::make_pair(DWORD{REG_SZ}, bytes("C:\\Program Files\\tv \"quoted\"\0"s)));
  EXPECT_EQ(valueOf(registry, key, "Accent"), std::make_pair(DWORD{REG_SZ}, bytes("Caf\xe9\0"s)));  // Windows-1252
  EXPECT_EQ(valueOf(registry, key, "Empty"), std::make_pair(DWORD{REG_SZ}, bytes("\0"s)));
  EXPECT_EQ(valueOf(registry, key, "Count"), std::make_pair(DWORD{REG_DWORD}, bytes("\x2a\0\0\0"s)));
  EXPECT_EQ(valueOf(registry, key, "Blob"), std::make_pair(DWORD{REG_BINARY}, blob));
  EXPECT_EQ(valueOf(registry, key, "Path"), std::make_pair(DWORD{REG_EXPAND_SZ}, bytes("%SystemRoot%\\system32\0"s)));
  EXPECT_EQ(valueOf(registry, key, "List"), std::make_pair(DWORD{REG_MULTI_SZ}, bytes("one\0two\0\0"s)));
  EXPECT_EQ(registry.getDword(key + "\\Child", "Nested"), 1u);
  EXPECT_EQ(registry.valueNames(key).size(), 8u);
}

TEST(RegistryText, DeletionLinesRemoveKeysAndValues) {
  sim::Registry registry;
  registry.setString(kKey + "\\Gone\\Deeper", "x", "1");
  registry.setString(kKey, "Drop", "1");
  registry.setString(kKey, "Keep", "1");
  std::string error;
  ASSERT_TRUE(
      registry.importRegText("REGEDIT4\n\n[-HKEY_LOCAL_MACHINE\\Software\\tvTest\\GONE]\n"
                             "[-HKEY_LOCAL_MACHINE\\Software\\tvTest\\NeverWasThere]\n"
                             "[HKEY_LOCAL_MACHINE\\Software\\tvTest]\n\"drop\"=-\n\"Absent\"=-\n",
                             error))
      << error;
  EXPECT_FALSE(registry.keyExists(kKey + "\\Gone"));
  EXPECT_EQ(registry.valueNames(kKey), std::vector<std::string>{"Keep"});
}

TEST(RegistryText, MalformedLinesAreNamedAndStopTheImport) {
  struct Case {
    const char* quirk;
    std::string text;
    std::string error;
  };
  const std::string head = "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\tvTest]\n\"Before\"=\"1\"\n";
  const Case cases[] = {
      {"no header", "[HKEY_LOCAL_MACHINE\\Software\\tvTest]\n", "line 1: not a registry file"},
      {"wrong header", "REGEDIT5\n", "line 1: not a registry file"},
      {"unknown root", head + "[HKEY_NOWHERE\\X]\n", "line 5: unknown root key"},
      {"unclosed key", head + "[HKEY_LOCAL_MACHINE\\X\n", "line 5: key line without its closing ']'"},
      {"unclosed quote", head + "\"Name=\"x\"\n", "line 5: '=' expected"},
      {"unclosed text", head + "\"Name\"=\"x\n", "line 5: quoted text without its closing quote"},
      {"unknown escape", head + "\"Name\"=\"C:\\Windows\"\n", "line 5: unknown escape \\W"},
      {"text after the quote", head + "\"Name\"=\"x\" y\n", "line 5: text after the closing quote"},
      {"no equals", head + "\"Name\" \"x\"\n", "line 5: '=' expected"},
      {"long dword", head + "\"N\"=dword:123456789\n", "line 5: bad dword"},
      {"empty dword", head + "\"N\"=dword:\n", "line 5: bad dword"},
      {"bad hex byte", head + "\"N\"=hex:01,zz\n", "line 5: bad hex byte \"zz\""},
      {"three-digit byte", head + "\"N\"=hex:100\n", "line 5: bad hex byte \"100\""},
      {"bad type", head + "\"N\"=hex(q):01\n", "line 5: bad value type"},
      {"unknown data", head + "\"N\"=str:abc\n", "line 5: unknown value data"},
      {"stray text", head + "Name=abc\n", "line 5: unexpected text"},
      {"value before any key", "REGEDIT4\n\"N\"=\"x\"\n", "line 2: a value outside of a key"},
      {"value after a deleted key", head + "[-HKEY_LOCAL_MACHINE\\Software\\tvTest\\Y]\n\"N\"=\"x\"\n",
       "line 6: a value outside of a key"},
      {"continuation at the end", head + "\"N\"=hex:01,\\\n", "line 5: a continued value without its next line"},
      {"continuation before an empty line", head + "\"N\"=hex:01,\\\n\n  02\n",
       "line 5: a continued value without its next line"},
      {"bad byte on a continued line", head + "\"N\"=hex:01,\\\n  02,x\n", "line 5: bad hex byte \"x\""},
      {"long key name", head + "[HKEY_LOCAL_MACHINE\\" + std::string(256, 'k') + "]\n",
       "line 5: key name longer than 255 characters"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.quirk);
    sim::Registry registry;
    std::string error;
    EXPECT_FALSE(registry.importRegText(c.text, error));
    EXPECT_EQ(error.substr(0, c.error.size()), c.error) << error;
    // What came before the bad line stays imported.
    if (c.text.rfind(head, 0) == 0) {
      EXPECT_EQ(registry.getString(kKey, "Before"), "1");
    }
  }
}

TEST(RegistryText, Utf16TextDataMustHoldWholeCharacters) {
  std::string text =
      "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\tvTest]\r\n"
      "\"Odd\"=hex(2):41,00,42\r\n";
  sim::Registry registry;
  std::string error;
  EXPECT_FALSE(registry.importRegText(text, error));
  EXPECT_EQ(error, "line 4: odd number of bytes in UTF-16 text data");
}

// .reg export ------------------------------------------------------------------------------------------------

TEST(RegistryText, ExportWritesRegedit4Lines) {
  sim::Registry registry;
  registry.setString(kKey, "", "default");
  registry.setString(kKey, "Path", "C:\\dir \"x\"");
  registry.setDword(kKey, "Count", 42);
  registry.setValue(kKey, "Blob", REG_BINARY, {0x00, 0xab});
  registry.setValue(kKey, "Expand", REG_EXPAND_SZ, bytes("%X%\0"s));
  registry.setValue(kKey, "Unterminated", REG_SZ, bytes("ab"));
  registry.createKey(kKey + "\\Empty");
  std::string text = registry.exportRegText();
  EXPECT_EQ(text.substr(0, 10), "REGEDIT4\r\n");
  const std::string expected =
      "[HKEY_LOCAL_MACHINE\\Software\\tvTest]\r\n"
      "@=\"default\"\r\n"
      "\"Blob\"=hex:00,ab\r\n"
      "\"Count\"=dword:0000002a\r\n"
      "\"Expand\"=hex(2):25,58,25,00\r\n"
      "\"Path\"=\"C:\\\\dir \\\"x\\\"\"\r\n"
      "\"Unterminated\"=hex(1):61,62\r\n"
      "\r\n"
      "[HKEY_LOCAL_MACHINE\\Software\\tvTest\\Empty]\r\n"
      "\r\n";
  EXPECT_NE(text.find(expected), std::string::npos) << text;
}

TEST(RegistryText, ExportWrapsLongDataOnContinuedLines) {
  sim::Registry registry;
  registry.setValue(kKey, "Long", REG_BINARY, Bytes(100, 0x5a));
  std::string text = registry.exportRegText();
  std::istringstream lines(text);
  std::string line;
  int continued = 0;
  while (std::getline(lines, line)) {
    EXPECT_LE(line.size(), 81u) << line;
    if (line.size() >= 2 && line[line.size() - 2] == '\\') ++continued;
  }
  EXPECT_GE(continued, 3);
  sim::Registry back;
  std::string error;
  ASSERT_TRUE(back.importRegText(text, error)) << error;
  EXPECT_EQ(valueOf(back, kKey, "Long"), std::make_pair(DWORD{REG_BINARY}, Bytes(100, 0x5a)));
}

TEST(RegistryText, ExportReadsBackIdentically) {
  sim::Registry registry;
  registry.setString(kKey, "", "default");
  registry.setString(kKey, "Quote\"And\\Slash", "C:\\Program Files\\\"x\"");
  registry.setString(kKey, "Lines", "one\r\ntwo");
  registry.setString(kKey, "Accent", "Caf\xe9");
  registry.setString(kKey, "Empty", "");
  registry.setValue(kKey, "ZeroLength", REG_SZ, {});
  registry.setValue(kKey, "Unterminated", REG_SZ, bytes("abc"));
  registry.setValue(kKey, "InnerZero", REG_SZ, bytes("a\0b\0"s));
  registry.setDword(kKey, "Count", 0xdeadbeef);
  registry.setValue(kKey, "ShortDword", REG_DWORD, {1, 2, 3});
  registry.setValue(kKey, "Quad", REG_QWORD, bytes("12345678"));
  registry.setValue(kKey, "Multi", REG_MULTI_SZ, bytes("a\0bc\0\0"s));
  registry.setValue(kKey, "Expand", REG_EXPAND_SZ, bytes("%SystemRoot%\\x\0"s));
  registry.setValue(kKey, "None", REG_NONE, {});
  Bytes all;
  for (int i = 0; i < 256; ++i) all.push_back(static_cast<uint8_t>(i));
  registry.setValue(kKey, "AllBytes", REG_BINARY, all);
  registry.createKey(kKey + "\\Empty\\Deeper");
  registry.setDword("HKEY_CURRENT_USER\\Software\\tvUser", "u", 1);
  registry.setDword("HKEY_USERS\\.DEFAULT\\Software\\tvUser", "d", 2);

  const std::string text = registry.exportRegText();
  sim::Registry back;
  std::string error;
  ASSERT_TRUE(back.importRegText(text, error)) << error;
  EXPECT_EQ(back.exportRegText(), text);
  for (const auto& name : registry.valueNames(kKey)) {
    SCOPED_TRACE(name);
    EXPECT_EQ(valueOf(back, kKey, name), valueOf(registry, kKey, name));
  }
  EXPECT_TRUE(back.keyExists(kKey + "\\Empty\\Deeper"));
  EXPECT_EQ(back.getDword("HKEY_USERS\\.DEFAULT\\Software\\tvUser", "d"), 2u);
}

}  // namespace
