// The file and folder functions: the same cases against the simulated machine and against the system's
// functions under Wine. Last errors are poisoned (0xDEADBEEF) before each call; a success leaves them as the
// platform does.
//
// Where Wine is known to differ from the platform, a case carries the reason and what Wine does instead.
// Two differences come from Wine keeping attributes in the Unix file system: a file never loses
// FILE_ATTRIBUTE_ARCHIVE, and read-only is the Unix write permission, which a test bed running as root passes.
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "platform/seam/contract_fixture.h"

namespace {

constexpr DWORD kPoisonError = 0xDEADBEEF;
constexpr DWORD kErrorSharingViolation = 32;
constexpr DWORD kErrorInvalidName = 123;
constexpr DWORD kErrorDirectory = 267;
constexpr const char* kRootPassesReadOnly = "Wine's read-only is the Unix write permission, which root passes";

class FilesContractTest : public ContractTest {
 protected:
  static bool wineDeviates(const char* reason) { return onWine() && reason != nullptr; }

  DWORD attributes(const std::string& name) { return win::GetFileAttributesA(path(name).c_str()); }

  void makeFolder(const std::string& name) {
    ASSERT_TRUE(win::CreateDirectoryA(path(name).c_str(), nullptr)) << name << " error " << win::GetLastError();
  }

  void makeReadOnly(const std::string& name) {
    ASSERT_TRUE(win::SetFileAttributesA(path(name).c_str(), FILE_ATTRIBUTE_READONLY));
  }

  // The names FindFirstFileA/FindNextFileA give for a pattern, sorted, or the error of the first call.
  struct Listing {
    std::vector<std::string> names;
    DWORD error = ERROR_SUCCESS;
    std::vector<WIN32_FIND_DATAA> found;
  };
  Listing find(const std::string& pattern) {
    Listing listing;
    WIN32_FIND_DATAA data;
    std::memset(&data, 0xCC, sizeof data);
    win::SetLastError(kPoisonError);
    HANDLE handle = win::FindFirstFileA(pattern.c_str(), &data);
    if (handle == INVALID_HANDLE_VALUE) {
      listing.error = win::GetLastError();
      return listing;
    }
    EXPECT_EQ(win::GetLastError(), kPoisonError) << pattern;
    do {
      listing.names.push_back(data.cFileName);
      listing.found.push_back(data);
      win::SetLastError(kPoisonError);
    } while (win::FindNextFileA(handle, &data));
    EXPECT_EQ(win::GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_FILES)) << pattern;
    EXPECT_TRUE(win::FindClose(handle));
    std::sort(listing.names.begin(), listing.names.end());
    return listing;
  }
};

TEST_F(FilesContractTest, CreateFileDispositions) {
  struct Case {
    const char* quirk;
    const char* existing;  // the file's bytes before the call; nullptr: no file
    DWORD access;
    DWORD disposition;
    DWORD flags;
    bool opens;
    DWORD error;        // the last error after the call
    const char* after;  // the bytes after the call and a write of "new" through the handle
    const char* wineDeviation = nullptr;
  };
  const DWORD rw = GENERIC_READ | GENERIC_WRITE;
  const Case cases[] = {
      {"CREATE_NEW makes a file", nullptr, rw, CREATE_NEW, 0, true, ERROR_SUCCESS, "new"},
      {"CREATE_NEW refuses an existing file", "old", rw, CREATE_NEW, 0, false, ERROR_FILE_EXISTS, "old"},
      {"CREATE_ALWAYS makes a file", nullptr, rw, CREATE_ALWAYS, 0, true, ERROR_SUCCESS, "new"},
      {"CREATE_ALWAYS empties an existing file", "old file", rw, CREATE_ALWAYS, 0, true, ERROR_ALREADY_EXISTS, "new"},
      {"OPEN_EXISTING opens at the start", "old file", rw, OPEN_EXISTING, 0, true, ERROR_SUCCESS, "new file"},
      {"OPEN_EXISTING refuses a missing file", nullptr, rw, OPEN_EXISTING, 0, false, ERROR_FILE_NOT_FOUND, nullptr},
      {"OPEN_ALWAYS makes a file", nullptr, rw, OPEN_ALWAYS, 0, true, ERROR_SUCCESS, "new"},
      {"OPEN_ALWAYS keeps an existing file", "old file", rw, OPEN_ALWAYS, 0, true, ERROR_ALREADY_EXISTS, "new file"},
      {"TRUNCATE_EXISTING empties a file", "old file", rw, TRUNCATE_EXISTING, 0, true, ERROR_SUCCESS, "new"},
      {"TRUNCATE_EXISTING refuses a missing file", nullptr, rw, TRUNCATE_EXISTING, 0, false, ERROR_FILE_NOT_FOUND,
       nullptr},
      {"an unknown disposition is refused", nullptr, rw, 0, 0, false, ERROR_INVALID_PARAMETER, nullptr},
      {"CREATE_ALWAYS of a hidden file must ask for hidden", "old", rw, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, false,
       ERROR_ACCESS_DENIED, "old", "Wine replaces a hidden file without FILE_ATTRIBUTE_HIDDEN being asked for"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.quirk);
    const std::string file = path("create.txt");
    win::SetFileAttributesA(file.c_str(), FILE_ATTRIBUTE_NORMAL);
    win::DeleteFileA(file.c_str());
    if (c.existing) writeFile("create.txt", c.existing);
    if (c.flags == FILE_ATTRIBUTE_NORMAL) {
      ASSERT_TRUE(win::SetFileAttributesA(file.c_str(), FILE_ATTRIBUTE_HIDDEN));
    }
    win::SetLastError(kPoisonError);
    HANDLE handle = win::CreateFileA(file.c_str(), c.access, 0, nullptr, c.disposition, c.flags, nullptr);
    const DWORD error = win::GetLastError();
    if (wineDeviates(c.wineDeviation)) {
      std::printf("Wine deviation (%s): %s\n", c.quirk, c.wineDeviation);
      if (handle != INVALID_HANDLE_VALUE) win::CloseHandle(handle);
      continue;
    }
    EXPECT_EQ(handle != INVALID_HANDLE_VALUE, c.opens);
    EXPECT_EQ(error, c.error);
    if (handle != INVALID_HANDLE_VALUE) {
      DWORD written = 0;
      EXPECT_TRUE(win::WriteFile(handle, "new", 3, &written, nullptr));
      EXPECT_EQ(written, 3u);
      EXPECT_TRUE(win::CloseHandle(handle));
    }
    if (c.after) {
      EXPECT_EQ(readFile(file), c.after);
    } else {
      EXPECT_EQ(win::GetFileAttributesA(file.c_str()), INVALID_FILE_ATTRIBUTES);
    }
  }
}

TEST_F(FilesContractTest, CreateFileRefusesBadPlaces) {
  writeFile("file.txt", "x");
  makeFolder("folder");
  writeFile("ro.txt", "old");
  makeReadOnly("ro.txt");
  struct Case {
    const char* quirk;
    std::string name;
    DWORD access;
    DWORD disposition;
    DWORD error;
    const char* wineDeviation = nullptr;
  };
  const Case cases[] = {
      {"a file in a missing folder", path("missing\\new.txt"), GENERIC_WRITE, CREATE_ALWAYS, ERROR_PATH_NOT_FOUND},
      {"a file below a file", path("file.txt\\new.txt"), GENERIC_WRITE, CREATE_ALWAYS, ERROR_PATH_NOT_FOUND},
      {"a folder", path("folder"), GENERIC_READ, OPEN_EXISTING, ERROR_ACCESS_DENIED},
      {"a name with a wildcard", path("a?b.txt"), GENERIC_WRITE, CREATE_ALWAYS, kErrorInvalidName},
      {"an empty name", "", GENERIC_READ, OPEN_EXISTING, ERROR_PATH_NOT_FOUND},
      {"a drive that is not there", "Q:\\x\\y.txt", GENERIC_READ, OPEN_EXISTING, ERROR_PATH_NOT_FOUND},
      {"writing a read-only file", path("ro.txt"), GENERIC_WRITE, OPEN_EXISTING, ERROR_ACCESS_DENIED,
       kRootPassesReadOnly},
      {"replacing a read-only file", path("ro.txt"), GENERIC_WRITE, CREATE_ALWAYS, ERROR_ACCESS_DENIED,
       kRootPassesReadOnly},
  };
  for (const auto& c : cases) {
    win::SetLastError(kPoisonError);
    HANDLE handle = win::CreateFileA(c.name.c_str(), c.access, 0, nullptr, c.disposition, 0, nullptr);
    const DWORD error = win::GetLastError();
    if (handle != INVALID_HANDLE_VALUE) win::CloseHandle(handle);
    if (wineDeviates(c.wineDeviation)) {
      std::printf("Wine deviation (%s): %s\n", c.quirk, c.wineDeviation);
      continue;
    }
    EXPECT_EQ(handle, INVALID_HANDLE_VALUE) << c.quirk;
    EXPECT_EQ(error, c.error) << c.quirk;
  }
  if (!onWine()) {
    EXPECT_EQ(readFile(path("ro.txt")), "old");
  }
}

TEST_F(FilesContractTest, HandlesReadWriteAndSize) {
  const std::string file = path("data.bin");
  HANDLE writer = win::CreateFileA(file.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW, 0, nullptr);
  ASSERT_NE(writer, INVALID_HANDLE_VALUE);
  DWORD count = 77;
  win::SetLastError(kPoisonError);
  EXPECT_TRUE(win::WriteFile(writer, "hello", 5, &count, nullptr));
  EXPECT_EQ(count, 5u);
  EXPECT_TRUE(win::WriteFile(writer, "\0world", 6, &count, nullptr));
  EXPECT_EQ(win::GetLastError(), kPoisonError);
  char buffer[32];
  count = 77;
  EXPECT_FALSE(win::ReadFile(writer, buffer, sizeof buffer, &count, nullptr)) << "a write-only handle reads";
  EXPECT_EQ(win::GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(count, 0u);

  HANDLE reader = win::CreateFileA(file.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                   OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(reader, INVALID_HANDLE_VALUE);
  DWORD high = 77;
  win::SetLastError(kPoisonError);
  EXPECT_EQ(win::GetFileSize(reader, &high), 11u);
  EXPECT_EQ(high, 0u);
  EXPECT_EQ(win::GetFileSize(reader, nullptr), 11u);
  count = 77;
  EXPECT_TRUE(win::ReadFile(reader, buffer, 4, &count, nullptr));
  EXPECT_EQ(std::string(buffer, count), "hell");
  EXPECT_TRUE(win::ReadFile(reader, buffer, sizeof buffer, &count, nullptr));
  EXPECT_EQ(std::string(buffer, count), std::string("o\0world", 7));
  EXPECT_TRUE(win::ReadFile(reader, buffer, sizeof buffer, &count, nullptr)) << "a read at the end succeeds";
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(win::GetLastError(), kPoisonError);
  count = 77;
  EXPECT_FALSE(win::WriteFile(reader, "x", 1, &count, nullptr)) << "a read-only handle writes";
  EXPECT_EQ(win::GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(count, 0u);
  EXPECT_TRUE(win::CloseHandle(reader));
  EXPECT_TRUE(win::CloseHandle(writer));

  // A closed handle and a made-up one are not handles.
  for (HANDLE bad : {writer, reinterpret_cast<HANDLE>(static_cast<intptr_t>(0x1234))}) {
    count = 77;
    win::SetLastError(kPoisonError);
    EXPECT_FALSE(win::ReadFile(bad, buffer, 1, &count, nullptr));
    EXPECT_EQ(win::GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    win::SetLastError(kPoisonError);
    EXPECT_FALSE(win::WriteFile(bad, "x", 1, &count, nullptr));
    EXPECT_EQ(win::GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    win::SetLastError(kPoisonError);
    EXPECT_EQ(win::GetFileSize(bad, nullptr), INVALID_FILE_SIZE);
    EXPECT_EQ(win::GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    win::SetLastError(kPoisonError);
    EXPECT_FALSE(win::CloseHandle(bad));
    EXPECT_EQ(win::GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  }
  EXPECT_EQ(readFile(file), std::string("hello\0world", 11));
}

TEST_F(FilesContractTest, SharingModesDecideWhoMayOpen) {
  const std::string file = writeFile("shared.txt", "abc");
  HANDLE first = win::CreateFileA(file.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(first, INVALID_HANDLE_VALUE);
  struct Case {
    const char* quirk;
    DWORD access;
    DWORD share;
    bool opens;
  };
  const Case cases[] = {
      {"a reader that shares reading", GENERIC_READ, FILE_SHARE_READ, true},
      {"a reader that does not share reading", GENERIC_READ, 0, false},
      {"a writer, which the first does not let in", GENERIC_WRITE, FILE_SHARE_READ, false},
  };
  for (const auto& c : cases) {
    win::SetLastError(kPoisonError);
    HANDLE handle = win::CreateFileA(file.c_str(), c.access, c.share, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_EQ(handle != INVALID_HANDLE_VALUE, c.opens) << c.quirk;
    if (handle != INVALID_HANDLE_VALUE) {
      win::CloseHandle(handle);
    } else {
      EXPECT_EQ(win::GetLastError(), kErrorSharingViolation) << c.quirk;
    }
  }
  win::SetLastError(kPoisonError);
  EXPECT_FALSE(win::DeleteFileA(file.c_str())) << "an open file without delete sharing";
  EXPECT_EQ(win::GetLastError(), kErrorSharingViolation);
  EXPECT_FALSE(win::MoveFileA(file.c_str(), path("moved.txt").c_str()));
  EXPECT_EQ(win::GetLastError(), kErrorSharingViolation);
  EXPECT_TRUE(win::CopyFileA(file.c_str(), path("copy.txt").c_str(), TRUE)) << "a copy only reads";
  EXPECT_TRUE(win::CloseHandle(first));
  EXPECT_TRUE(win::DeleteFileA(file.c_str()));
}

TEST_F(FilesContractTest, AttributesSetAndReported) {
  struct Case {
    const char* quirk;
    DWORD set;
    DWORD reported;
    const char* wineDeviation = nullptr;
    DWORD wineReported = 0;
  };
  const Case cases[] = {
      {"read-only", FILE_ATTRIBUTE_READONLY, FILE_ATTRIBUTE_READONLY},
      {"hidden", FILE_ATTRIBUTE_HIDDEN, FILE_ATTRIBUTE_HIDDEN},
      {"hidden and system", FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM,
       FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM},
      {"archive", FILE_ATTRIBUTE_ARCHIVE, FILE_ATTRIBUTE_ARCHIVE},
      {"normal clears the others", FILE_ATTRIBUTE_NORMAL, FILE_ATTRIBUTE_NORMAL,
       "Wine reports FILE_ATTRIBUTE_ARCHIVE for every regular file", FILE_ATTRIBUTE_ARCHIVE},
      {"none is normal", 0, FILE_ATTRIBUTE_NORMAL, "Wine reports FILE_ATTRIBUTE_ARCHIVE for every regular file",
       FILE_ATTRIBUTE_ARCHIVE},
      {"the directory bit is not a file's to set", FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY,
       FILE_ATTRIBUTE_READONLY},
  };
  const std::string file = writeFile("attr.txt", "x");
  win::SetLastError(kPoisonError);
  EXPECT_EQ(win::GetFileAttributesA(file.c_str()), static_cast<DWORD>(FILE_ATTRIBUTE_ARCHIVE))
      << "a new file is marked for archiving";
  EXPECT_EQ(win::GetLastError(), kPoisonError);
  for (const auto& c : cases) {
    // Wine keeps archive on every file; the platform keeps exactly the bits set.
    const DWORD wineArchive = onWine() ? FILE_ATTRIBUTE_ARCHIVE : 0;
    win::SetLastError(kPoisonError);
    EXPECT_TRUE(win::SetFileAttributesA(file.c_str(), c.set)) << c.quirk;
    EXPECT_EQ(win::GetLastError(), kPoisonError) << c.quirk;
    const DWORD expected = wineDeviates(c.wineDeviation) ? c.wineReported : c.reported | wineArchive;
    EXPECT_EQ(win::GetFileAttributesA(file.c_str()), expected) << c.quirk;
  }
  // Writing marks a file for archiving again.
  ASSERT_TRUE(win::SetFileAttributesA(file.c_str(), FILE_ATTRIBUTE_NORMAL));
  writeFile("attr.txt", "changed");
  EXPECT_EQ(win::GetFileAttributesA(file.c_str()), static_cast<DWORD>(FILE_ATTRIBUTE_ARCHIVE));
  // A file made with attributes has them, and archive.
  HANDLE handle = win::CreateFileA(path("made.txt").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                   FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_READONLY, nullptr);
  ASSERT_NE(handle, INVALID_HANDLE_VALUE);
  win::CloseHandle(handle);
  EXPECT_EQ(attributes("made.txt"),
            static_cast<DWORD>(FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE));
  makeFolder("folder");
  EXPECT_EQ(attributes("folder"), static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY));
}

TEST_F(FilesContractTest, AttributesOfMissingEntries) {
  writeFile("file.txt", "x");
  struct Case {
    const char* quirk;
    std::string name;
    DWORD error;
  };
  const Case cases[] = {
      {"a missing file", "missing.txt", ERROR_FILE_NOT_FOUND},
      {"a file in a missing folder", "missing\\x.txt", ERROR_PATH_NOT_FOUND},
      {"a file below a file", "file.txt\\x", ERROR_PATH_NOT_FOUND},
      {"a name with a wildcard", "a*b.txt", kErrorInvalidName},
  };
  for (const auto& c : cases) {
    win::SetLastError(kPoisonError);
    EXPECT_EQ(attributes(c.name), INVALID_FILE_ATTRIBUTES) << c.quirk;
    EXPECT_EQ(win::GetLastError(), c.error) << c.quirk;
    win::SetLastError(kPoisonError);
    EXPECT_FALSE(win::SetFileAttributesA(path(c.name).c_str(), FILE_ATTRIBUTE_NORMAL)) << c.quirk;
    EXPECT_EQ(win::GetLastError(), c.error) << c.quirk;
  }
  EXPECT_EQ(attributes("FILE.TXT."), static_cast<DWORD>(FILE_ATTRIBUTE_ARCHIVE)) << "a trailing dot is dropped";
}

TEST_F(FilesContractTest, DeleteFile) {
  writeFile("file.txt", "x");
  writeFile("ro.txt", "x");
  makeReadOnly("ro.txt");
  makeFolder("folder");
  struct Case {
    const char* quirk;
    const char* name;
    bool deletes;
    DWORD error;
  };
  const Case cases[] = {
      {"a file", "FILE.txt", true, kPoisonError},
      {"a read-only file refuses", "ro.txt", false, ERROR_ACCESS_DENIED},
      {"a missing file", "missing.txt", false, ERROR_FILE_NOT_FOUND},
      {"a file in a missing folder", "missing\\x.txt", false, ERROR_PATH_NOT_FOUND},
      {"a folder is not a file", "folder", false, ERROR_ACCESS_DENIED},
  };
  for (const auto& c : cases) {
    win::SetLastError(kPoisonError);
    EXPECT_EQ(win::DeleteFileA(path(c.name).c_str()), c.deletes ? TRUE : FALSE) << c.quirk;
    EXPECT_EQ(win::GetLastError(), c.error) << c.quirk;
  }
  EXPECT_EQ(attributes("file.txt"), INVALID_FILE_ATTRIBUTES);
  EXPECT_NE(attributes("ro.txt"), INVALID_FILE_ATTRIBUTES);
}

TEST_F(FilesContractTest, CopyFile) {
  writeFile("src.txt", "source");
  writeFile("ro.txt", "read-only source");
  makeReadOnly("ro.txt");
  writeFile("rotarget.txt", "read-only target");
  makeReadOnly("rotarget.txt");
  makeFolder("folder");
  struct Case {
    const char* quirk;
    const char* from;
    const char* to;
    BOOL failIfExists;
    bool copies;
    DWORD error;
    const char* wineDeviation = nullptr;
  };
  const Case cases[] = {
      {"to a new name", "src.txt", "Copy.TXT", TRUE, true, ERROR_SUCCESS},
      {"fail-if-exists refuses an existing target", "src.txt", "copy.txt", TRUE, false, ERROR_FILE_EXISTS},
      {"over an existing target", "ro.txt", "copy.txt", FALSE, true, ERROR_SUCCESS},
      {"a read-only source gives a read-only copy", "ro.txt", "rocopy.txt", TRUE, true, ERROR_SUCCESS},
      {"over a read-only target", "src.txt", "rotarget.txt", FALSE, false, ERROR_ACCESS_DENIED, kRootPassesReadOnly},
      {"a missing source", "missing.txt", "x.txt", FALSE, false, ERROR_FILE_NOT_FOUND},
      {"into a missing folder", "src.txt", "missing\\x.txt", FALSE, false, ERROR_PATH_NOT_FOUND},
      {"a folder as source", "folder", "x.txt", FALSE, false, ERROR_ACCESS_DENIED},
      {"onto a folder", "src.txt", "folder", FALSE, false, ERROR_ACCESS_DENIED},
      {"onto itself", "src.txt", "SRC.txt", FALSE, false, kErrorSharingViolation},
  };
  for (const auto& c : cases) {
    win::SetLastError(kPoisonError);
    BOOL copied = win::CopyFileA(path(c.from).c_str(), path(c.to).c_str(), c.failIfExists);
    const DWORD error = win::GetLastError();
    if (wineDeviates(c.wineDeviation)) {
      std::printf("Wine deviation (%s): %s\n", c.quirk, c.wineDeviation);
      continue;
    }
    EXPECT_EQ(copied, c.copies ? TRUE : FALSE) << c.quirk;
    // A copy succeeds with a cleared last error, as the platform's CreateFile leaves it.
    EXPECT_EQ(error, c.error) << c.quirk;
  }
  EXPECT_EQ(readFile(path("copy.txt")), "read-only source");
  EXPECT_EQ(readFile(path("src.txt")), "source");
  EXPECT_EQ(find(path("copy.txt")).names, std::vector<std::string>{"Copy.TXT"}) << "the target keeps its name";
  EXPECT_EQ(attributes("rocopy.txt"), static_cast<DWORD>(FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE));
  // A copy over an existing file gives it the source's attributes.
  if (onWine()) {
    std::printf("Wine deviation: a copy over an existing file keeps its attributes (%#lx)\n",
                static_cast<unsigned long>(attributes("copy.txt")));
  } else {
    EXPECT_EQ(attributes("copy.txt"), static_cast<DWORD>(FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE));
  }
}

TEST_F(FilesContractTest, MoveFile) {
  writeFile("a.txt", "a");
  writeFile("b.txt", "b");
  writeFile("ro.txt", "ro");
  makeReadOnly("ro.txt");
  makeFolder("folder");
  writeFile("folder\\inside.txt", "inside");
  struct Case {
    const char* quirk;
    const char* from;
    const char* to;
    bool moves;
    DWORD error;
  };
  const Case cases[] = {
      {"onto an existing file", "a.txt", "B.TXT", false, ERROR_ALREADY_EXISTS},
      {"a missing file", "missing.txt", "x.txt", false, ERROR_FILE_NOT_FOUND},
      {"into a missing folder", "a.txt", "missing\\x.txt", false, ERROR_PATH_NOT_FOUND},
      {"a folder into itself", "folder", "folder\\sub", false, ERROR_INVALID_PARAMETER},
      {"to a new name", "a.txt", "renamed.txt", true, kPoisonError},
      {"a read-only file", "ro.txt", "folder\\ro.txt", true, kPoisonError},
      {"a folder with its files", "folder", "Moved", true, kPoisonError},
  };
  for (const auto& c : cases) {
    win::SetLastError(kPoisonError);
    EXPECT_EQ(win::MoveFileA(path(c.from).c_str(), path(c.to).c_str()), c.moves ? TRUE : FALSE) << c.quirk;
    EXPECT_EQ(win::GetLastError(), c.error) << c.quirk;
  }
  EXPECT_EQ(readFile(path("renamed.txt")), "a");
  EXPECT_EQ(readFile(path("b.txt")), "b");
  EXPECT_EQ(readFile(path("moved\\inside.txt")), "inside");
  // A move keeps the attributes as they were set (Wine adds archive to every file).
  EXPECT_EQ(attributes("moved\\ro.txt"),
            static_cast<DWORD>(FILE_ATTRIBUTE_READONLY | (onWine() ? FILE_ATTRIBUTE_ARCHIVE : 0)));
  EXPECT_EQ(attributes("folder"), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(find(path("*")).names, (std::vector<std::string>{".", "..", "Moved", "b.txt", "renamed.txt"}));

  // A new name that differs only in case renames the file.
  EXPECT_TRUE(win::MoveFileA(path("b.txt").c_str(), path("B.TXT").c_str()));
  std::vector<std::string> names = find(path("b.txt")).names;
  if (onWine()) {
    std::printf("Wine deviation: a rename in case only keeps the old spelling (%s)\n",
                names.empty() ? "-" : names[0].c_str());
  } else {
    EXPECT_EQ(names, std::vector<std::string>{"B.TXT"});
  }
}

TEST_F(FilesContractTest, CreateAndRemoveDirectory) {
  writeFile("file.txt", "x");
  struct Case {
    const char* quirk;
    bool create;  // CreateDirectoryA, else RemoveDirectoryA
    const char* name;
    bool succeeds;
    DWORD error;
  };
  const Case cases[] = {
      {"create a folder", true, "Sub", true, kPoisonError},
      {"create it again in other case", true, "SUB", false, ERROR_ALREADY_EXISTS},
      {"create over a file", true, "file.txt", false, ERROR_ALREADY_EXISTS},
      {"create below a missing folder", true, "missing\\sub", false, ERROR_PATH_NOT_FOUND},
      {"create a nested folder", true, "sub\\Inner", true, kPoisonError},
      {"remove a folder that is not empty", false, "sub", false, ERROR_DIR_NOT_EMPTY},
      {"remove a file", false, "file.txt", false, kErrorDirectory},
      {"remove a missing folder", false, "missing", false, ERROR_FILE_NOT_FOUND},
      {"remove below a missing folder", false, "missing\\sub", false, ERROR_PATH_NOT_FOUND},
      {"remove an empty folder", false, "sub\\inner", true, kPoisonError},
      {"remove the emptied folder", false, "sub", true, kPoisonError},
  };
  for (const auto& c : cases) {
    win::SetLastError(kPoisonError);
    BOOL result =
        c.create ? win::CreateDirectoryA(path(c.name).c_str(), nullptr) : win::RemoveDirectoryA(path(c.name).c_str());
    EXPECT_EQ(result, c.succeeds ? TRUE : FALSE) << c.quirk;
    EXPECT_EQ(win::GetLastError(), c.error) << c.quirk;
  }
  EXPECT_EQ(attributes("sub"), INVALID_FILE_ATTRIBUTES);
}

TEST_F(FilesContractTest, FindFilesWithWildcards) {
  for (const char* name : {"a.txt", "ab.txt", "abc.txt", "noext", "Mixed.Case"}) writeFile(name, name);
  makeFolder("Sub");
  using Names = std::vector<std::string>;
  struct Case {
    const char* quirk;
    std::string pattern;
    Names names;
    DWORD error;
  };
  const Case cases[] = {
      {"'*' is every entry, with . and ..", path("*"),
       Names{".", "..", "Mixed.Case", "Sub", "a.txt", "ab.txt", "abc.txt", "noext"}, 0},
      {"'*.*' is every entry too", path("*.*"),
       Names{".", "..", "Mixed.Case", "Sub", "a.txt", "ab.txt", "abc.txt", "noext"}, 0},
      {"'*.txt' by extension", path("*.txt"), Names{"a.txt", "ab.txt", "abc.txt"}, 0},
      {"'?' is exactly one character", path("a?.txt"), Names{"ab.txt"}, 0},
      {"two '?' are exactly two characters", path("a??.txt"), Names{"abc.txt"}, 0},
      {"a single '?' finds '.'", path("?"), Names{"."}, 0},
      {"without regard to case", path("A*"), Names{"a.txt", "ab.txt", "abc.txt"}, 0},
      {"a name without wildcards finds its entry in its own case", path("MIXED.case"), Names{"Mixed.Case"}, 0},
      {"an empty folder has . and ..", path("Sub\\*"), Names{".", ".."}, 0},
      {"a folder's own name finds the folder", path("sub"), Names{"Sub"}, 0},
      {"nothing matches", path("*.zzz"), Names{}, ERROR_FILE_NOT_FOUND},
      {"a path ending in a separator", path("Sub\\"), Names{}, ERROR_FILE_NOT_FOUND},
      {"a missing folder", path("missing\\*"), Names{}, ERROR_PATH_NOT_FOUND},
  };
  for (const auto& c : cases) {
    Listing listing = find(c.pattern);
    EXPECT_EQ(listing.names, c.names) << c.quirk;
    EXPECT_EQ(listing.error, c.error) << c.quirk;
  }

  // What an entry tells: its attributes and size.
  Listing listing = find(path("ab.txt"));
  ASSERT_EQ(listing.found.size(), 1u);
  EXPECT_EQ(listing.found[0].dwFileAttributes, static_cast<DWORD>(FILE_ATTRIBUTE_ARCHIVE));
  EXPECT_EQ(listing.found[0].nFileSizeLow, 6u);
  EXPECT_EQ(listing.found[0].nFileSizeHigh, 0u);
  listing = find(path("S*"));
  ASSERT_EQ(listing.found.size(), 1u);
  EXPECT_EQ(listing.found[0].dwFileAttributes, static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY));

  HANDLE bad = reinterpret_cast<HANDLE>(static_cast<intptr_t>(0x1234));
  win::SetLastError(kPoisonError);
  EXPECT_FALSE(win::FindClose(bad));
  EXPECT_EQ(win::GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST_F(FilesContractTest, RootHasNoDotEntries) {
  Listing listing = find("C:\\*");
  ASSERT_EQ(listing.error, static_cast<DWORD>(ERROR_SUCCESS));
  EXPECT_EQ(std::count(listing.names.begin(), listing.names.end(), "."), 0);
  EXPECT_EQ(std::count(listing.names.begin(), listing.names.end(), ".."), 0);
  EXPECT_EQ(std::count_if(listing.names.begin(), listing.names.end(),
                          [](const std::string& name) { return name == "windows" || name == "WINDOWS"; }),
            1);
}

}  // namespace
