#include "platform/sim/files.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/seam/winapi.h"
#include "platform/sim/machine.h"

namespace {

namespace fs = std::filesystem;

// A host folder of its own for each test, removed afterwards.
class HostFolder {
 public:
  HostFolder() {
    path_ = fs::temp_directory_path() / ("sim_files_test_" + std::to_string(::getpid()) + "_" +
                                         ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(path_);
    fs::create_directories(path_);
  }
  ~HostFolder() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  const fs::path& path() const { return path_; }

  void write(const std::string& relative, const std::string& bytes) const {
    fs::create_directories((path_ / relative).parent_path());
    std::ofstream(path_ / relative, std::ios::binary) << bytes;
  }
  std::string read(const std::string& relative) const {
    std::ifstream in(path_ / relative, std::ios::binary);
    std::stringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
  }

 private:
  fs::path path_;
};

TEST(FileSystem, NamesCompareWithoutCaseAndKeepTheirCase) {
  sim::FileSystem files;
  files.writeFile("C:\\Windows\\INF\\MyDriver.Inf", "x");
  EXPECT_TRUE(files.exists("c:/windows/inf/mydriver.inf"));
  EXPECT_EQ(files.readFile("C:\\WINDOWS\\Inf\\MYDRIVER.INF"), "x");
  EXPECT_EQ(files.list("C:\\windows"), std::vector<std::string>{"INF"});
  EXPECT_EQ(files.list("C:\\windows\\inf"), std::vector<std::string>{"MyDriver.Inf"});
  // Writing through another spelling replaces the bytes and keeps the first spelling.
  files.writeFile("C:\\windows\\inf\\mydriver.inf", "y");
  EXPECT_EQ(files.list("C:\\windows\\inf"), std::vector<std::string>{"MyDriver.Inf"});
  EXPECT_EQ(files.readFile("C:\\Windows\\INF\\MyDriver.Inf"), "y");
}

TEST(FileSystem, ListsInNameOrderWithoutRegardToCase) {
  sim::FileSystem files;
  for (const char* name : {"b.txt", "A.txt", "c", "B_sub"}) files.writeFile(std::string("C:\\d\\") + name, "");
  EXPECT_EQ(files.list("C:\\d"), (std::vector<std::string>{"A.txt", "b.txt", "B_sub", "c"}));
  EXPECT_TRUE(files.list("C:\\missing").empty());
}

TEST(FileSystem, FullPathResolvesAsThePlatformDoes) {
  struct Case {
    const char* path;
    const char* current;
    const char* full;
  } cases[] = {
      {"C:\\a\\b.txt", "C:\\x", "C:\\a\\b.txt"},
      {"c:/a//b.txt", "C:\\x", "C:\\a\\b.txt"},
      {"C:\\a\\.\\c\\..\\b.txt", "C:\\x", "C:\\a\\b.txt"},
      {"C:\\..\\..\\b.txt", "C:\\x", "C:\\b.txt"},
      {"b.txt", "C:\\x\\y", "C:\\x\\y\\b.txt"},
      {"..\\b.txt", "C:\\x\\y", "C:\\x\\b.txt"},
      {"\\b.txt", "C:\\x\\y", "C:\\b.txt"},
      {"C:b.txt", "C:\\x", "C:\\x\\b.txt"},
      {"C:\\a\\b.txt. .", "C:\\x", "C:\\a\\b.txt"},
      {"C:\\", "C:\\x", "C:\\"},
      {"\\\\?\\C:\\a", "C:\\x", "C:\\a"},
      {"D:\\a", "C:\\x", ""},
      {"\\\\server\\share\\a", "C:\\x", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(sim::FileSystem::fullPath(c.path, c.current), c.full) << c.path;
}

TEST(FileSystem, StoreAndLoadReportThePlatformsErrors) {
  sim::FileSystem files;
  files.createDirectories("C:\\d");
  std::string bytes = "untouched";
  EXPECT_EQ(files.load("C:\\d\\none.ini", bytes), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(files.load("C:\\none\\x.ini", bytes), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
  EXPECT_EQ(files.load("C:\\d", bytes), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(bytes, "untouched");
  EXPECT_EQ(files.store("C:\\none\\x.ini", "a"), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
  EXPECT_EQ(files.store("C:\\d\\x.ini", "a"), static_cast<DWORD>(ERROR_SUCCESS));
  EXPECT_EQ(files.attributes("C:\\d\\x.ini"), static_cast<DWORD>(FILE_ATTRIBUTE_ARCHIVE));
  EXPECT_EQ(files.load("C:\\D\\X.INI", bytes), static_cast<DWORD>(ERROR_SUCCESS));
  EXPECT_EQ(bytes, "a");

  sim::Machine machine;
  sim::MachineScope scope(machine);
  machine.files.writeFile("C:\\d\\ro.ini", "old");
  ASSERT_TRUE(win::SetFileAttributesA("C:\\d\\ro.ini", FILE_ATTRIBUTE_READONLY));
  EXPECT_EQ(machine.files.store("C:\\d\\ro.ini", "new"), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(machine.files.readFile("C:\\d\\ro.ini"), "old");
}

TEST(FileSystem, HostTreeRoundTripKeepsNamesBytesAndReadOnly) {
  HostFolder in;
  in.write("Windows/System32/Drivers/nvpelgar.SYS", std::string("\0\x01\xff\r\n", 5));
  in.write("Program Files/tvSetup/drvInstall.ini", "[A]\r\nk=v\r\n");
  in.write("ReadOnly.txt", "keep");
  fs::create_directories(in.path() / "Empty Folder");
  fs::permissions(in.path() / "ReadOnly.txt",
                  fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                  fs::perm_options::remove);

  sim::FileSystem files;
  files.createDirectories("C:\\windows\\system32");  // the machine's own folder, spelled in lower case
  std::string error;
  ASSERT_TRUE(files.importHostTree("C:\\", in.path().string(), error)) << error;
  EXPECT_EQ(files.readFile("C:\\windows\\system32\\drivers\\NVPELGAR.sys"), std::string("\0\x01\xff\r\n", 5));
  EXPECT_EQ(files.list("C:\\windows\\system32"), std::vector<std::string>{"Drivers"});
  EXPECT_EQ(files.list("C:\\"),
            (std::vector<std::string>{"Empty Folder", "Program Files", "ReadOnly.txt", "windows"}));
  EXPECT_EQ(files.attributes("C:\\ReadOnly.txt"),
            static_cast<DWORD>(FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE));
  EXPECT_EQ(files.attributes("C:\\Program Files\\tvSetup\\drvInstall.ini"),
            static_cast<DWORD>(FILE_ATTRIBUTE_ARCHIVE));
  EXPECT_TRUE(files.isDirectory("C:\\Empty Folder"));

  HostFolder out;
  ASSERT_TRUE(files.exportHostTree("C:\\", (out.path() / "drive_c").string(), error)) << error;
  EXPECT_EQ(out.read("drive_c/windows/system32/Drivers/nvpelgar.SYS"), std::string("\0\x01\xff\r\n", 5));
  EXPECT_EQ(out.read("drive_c/Program Files/tvSetup/drvInstall.ini"), "[A]\r\nk=v\r\n");
  EXPECT_TRUE(fs::is_directory(out.path() / "drive_c/Empty Folder"));
  auto perms = fs::status(out.path() / "drive_c/ReadOnly.txt").permissions();
  EXPECT_EQ(perms & fs::perms::owner_write, fs::perms::none);

  // A second export over the first replaces its read-only file.
  files.writeFile("C:\\ReadOnly.txt", "changed");
  ASSERT_TRUE(files.exportHostTree("C:\\", (out.path() / "drive_c").string(), error)) << error;
  EXPECT_EQ(out.read("drive_c/ReadOnly.txt"), "changed");

  sim::FileSystem again;
  ASSERT_TRUE(again.importHostTree("C:\\", (out.path() / "drive_c").string(), error)) << error;
  EXPECT_EQ(again.attributes("C:\\READONLY.TXT"),
            static_cast<DWORD>(FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE));
  EXPECT_EQ(again.list("C:\\"), files.list("C:\\"));
}

TEST(FileSystem, ImportRefusesHostNamesThatDifferOnlyInCase) {
  HostFolder in;
  in.write("dir/Setup.ini", "1");
  in.write("dir/SETUP.INI", "2");
  sim::FileSystem files;
  std::string error;
  EXPECT_FALSE(files.importHostTree("C:\\", in.path().string(), error));
  EXPECT_NE(error.find("case"), std::string::npos) << error;
}

TEST(FileSystem, ImportAndExportRefuseMissingFolders) {
  sim::FileSystem files;
  std::string error;
  EXPECT_FALSE(files.importHostTree("C:\\", "/nonexistent/sim_files_test", error));
  EXPECT_FALSE(error.empty());
  error.clear();
  HostFolder out;
  EXPECT_FALSE(files.exportHostTree("C:\\missing", out.path().string(), error));
  EXPECT_FALSE(error.empty());
  files.writeFile("C:\\file", "x");
  EXPECT_FALSE(files.importHostTree("C:\\file", out.path().string(), error));
}

TEST(FileSystem, MachineSaveAndLoadCarryDriveC) {
  HostFolder dir;
  std::string error;
  {
    sim::Machine machine;
    machine.files.writeFile("C:\\windows\\inf\\OEM3.INF", "[Version]\r\n");
    ASSERT_TRUE(machine.save(dir.path().string(), error)) << error;
  }
  EXPECT_EQ(dir.read("drive_c/windows/inf/OEM3.INF"), "[Version]\r\n");
  EXPECT_TRUE(fs::is_directory(dir.path() / "drive_c/windows/system32/drivers"));
  sim::Machine loaded;
  ASSERT_TRUE(sim::Machine::load(dir.path().string(), loaded, error)) << error;
  EXPECT_EQ(loaded.files.readFile("C:\\Windows\\Inf\\oem3.inf"), "[Version]\r\n");
  EXPECT_EQ(loaded.files.list("C:\\windows\\inf"), std::vector<std::string>{"OEM3.INF"});
}

// What the win:: functions do that the platform leaves to its file system and that Wine cannot show:
// a file deleted while open stays until its last handle closes.
TEST(FileSystem, DeleteWhileOpenWaitsForTheLastHandle) {
  sim::Machine machine;
  sim::MachineScope scope(machine);
  machine.files.writeFile("C:\\d\\open.txt", "abc");
  HANDLE a = win::CreateFileA("C:\\d\\open.txt", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(a, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(win::DeleteFileA("C:\\d\\open.txt"));
  EXPECT_TRUE(machine.files.exists("C:\\d\\open.txt"));
  win::SetLastError(0xDEADBEEF);
  EXPECT_EQ(win::CreateFileA("C:\\d\\open.txt", GENERIC_READ, 7, nullptr, OPEN_EXISTING, 0, nullptr),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(win::GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  char bytes[4] = {};
  DWORD read = 0;
  EXPECT_TRUE(win::ReadFile(a, bytes, 3, &read, nullptr));
  EXPECT_EQ(std::string(bytes, read), "abc");
  EXPECT_TRUE(win::CloseHandle(a));
  EXPECT_FALSE(machine.files.exists("C:\\d\\open.txt"));
}

}  // namespace

namespace {

TEST(FileSystem, ReadAndWriteRefuseAMissingBuffer) {
  sim::Machine machine;
  sim::MachineScope scope(machine);
  machine.files.writeFile("C:\\d\\f.txt", "abc");
  HANDLE file = win::CreateFileA("C:\\d\\f.txt", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  DWORD count = 77;
  win::SetLastError(0xDEADBEEF);
  EXPECT_FALSE(win::ReadFile(file, nullptr, 2, &count, nullptr));
  EXPECT_EQ(win::GetLastError(), 998u);
  EXPECT_EQ(count, 0u);
  win::SetLastError(0xDEADBEEF);
  EXPECT_FALSE(win::WriteFile(file, nullptr, 2, &count, nullptr));
  EXPECT_EQ(win::GetLastError(), 998u);
  EXPECT_TRUE(win::CloseHandle(file));
  EXPECT_EQ(machine.files.readFile("C:\\d\\f.txt"), "abc");
}

}  // namespace
