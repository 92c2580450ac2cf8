#include "platform/seam/contract_fixture.h"

#include <vector>

namespace {

void removeFolder(const std::string& folder) {
  WIN32_FIND_DATAA found;
  HANDLE find = win::FindFirstFileA((folder + "*").c_str(), &found);
  if (find != INVALID_HANDLE_VALUE) {
    do {
      std::string name = found.cFileName;
      if (name == "." || name == "..") continue;
      std::string full = folder + name;
      if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        removeFolder(full + "\\");
      } else {
        win::SetFileAttributesA(full.c_str(), FILE_ATTRIBUTE_NORMAL);
        win::DeleteFileA(full.c_str());
      }
    } while (win::FindNextFileA(find, &found));
    win::FindClose(find);
  }
  win::RemoveDirectoryA(folder.c_str());
}

}  // namespace

bool ContractTest::onWine() {
#ifdef _WIN32
  return true;
#else
  return false;
#endif
}

void ContractTest::SetUp() {
#ifndef _WIN32
  machine_ = std::make_unique<sim::Machine>();
  scope_ = std::make_unique<sim::MachineScope>(*machine_);
#endif
  char temp[MAX_PATH] = {};
  ASSERT_GT(win::GetTempPathA(MAX_PATH, temp), 0u);
  folder_ = std::string(temp) + "tvContractTest\\";
  removeFolder(folder_);
  ASSERT_TRUE(win::CreateDirectoryA(folder_.c_str(), nullptr)) << "error " << win::GetLastError();
  deleteTree(HKEY_LOCAL_MACHINE, keyPath_);
}

void ContractTest::TearDown() {
  removeFolder(folder_);
  deleteTree(HKEY_LOCAL_MACHINE, keyPath_);
#ifndef _WIN32
  scope_.reset();
  machine_.reset();
#endif
}

std::string ContractTest::writeFile(const std::string& name, const std::string& bytes) {
  std::string full = path(name);
  HANDLE file =
      win::CreateFileA(full.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  EXPECT_NE(file, INVALID_HANDLE_VALUE) << full;
  if (file == INVALID_HANDLE_VALUE) return full;
  DWORD written = 0;
  EXPECT_TRUE(win::WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr));
  EXPECT_EQ(written, bytes.size());
  win::CloseHandle(file);
  return full;
}

std::string ContractTest::readFile(const std::string& full) {
  HANDLE file = win::CreateFileA(full.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return {};
  std::string bytes(win::GetFileSize(file, nullptr), '\0');
  DWORD read = 0;
  if (!bytes.empty()) win::ReadFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr);
  bytes.resize(read);
  win::CloseHandle(file);
  return bytes;
}

void ContractTest::deleteTree(HKEY parent, const std::string& subkey) {
  HKEY key;
  if (win::RegOpenKeyExA(parent, subkey.c_str(), 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS) return;
  std::vector<std::string> children;
  char name[256];
  for (DWORD i = 0;; ++i) {
    DWORD size = sizeof name;
    if (win::RegEnumKeyExA(key, i, name, &size, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    children.push_back(name);
  }
  for (const auto& child : children) deleteTree(key, child);
  win::RegCloseKey(key);
  win::RegDeleteKeyA(parent, subkey.c_str());
}
