// The stand-in's file access: read-only files in the system's driver folder (\SystemRoot\System32\drivers),
// where the firmware images live, opened, read at explicit offsets and closed as the platform does.
#include <cstring>

#include "driver/kernel/sim/state.h"

namespace ksim {
namespace {

constexpr char kSystemRoot[] = "\\SystemRoot";
constexpr char kDriverFolder[] = "\\system32\\drivers\\";

HandleEntry* OpenFile(HANDLE handle) {
  HandleEntry* entry = FindHandle(handle);
  return entry != nullptr && entry->kind == HandleEntry::Kind::File ? entry : nullptr;
}

}  // namespace
}  // namespace ksim

using namespace ksim;

NTSTATUS ZwCreateFile(PHANDLE FileHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                      PIO_STATUS_BLOCK IoStatusBlock, PLARGE_INTEGER, ULONG, ULONG ShareAccess,
                      ULONG CreateDisposition, ULONG CreateOptions, PVOID, ULONG) {
  RequireIrql(PASSIVE_LEVEL, "ZwCreateFile");
  State& st = S();
  if (ObjectAttributes == nullptr || ObjectAttributes->ObjectName == nullptr) return STATUS_INVALID_PARAMETER;
  std::string path = Narrow(ObjectAttributes->ObjectName);
  // The object manager's names are case-sensitive unless the caller asks otherwise; the file system's are not.
  bool caseless = (ObjectAttributes->Attributes & OBJ_CASE_INSENSITIVE) != 0;
  std::string root = path.substr(0, sizeof kSystemRoot - 1);
  if (caseless ? Lower(root) != Lower(kSystemRoot) : root != kSystemRoot) return STATUS_OBJECT_PATH_NOT_FOUND;
  std::string rest = Lower(path.substr(root.size()));
  if (rest.compare(0, sizeof kDriverFolder - 1, kDriverFolder) != 0) return STATUS_OBJECT_PATH_NOT_FOUND;
  std::string name = rest.substr(sizeof kDriverFolder - 1);
  if (CreateDisposition != FILE_OPEN) return STATUS_ACCESS_DENIED;  // the driver folder is read-only here
  if ((CreateOptions & FILE_DIRECTORY_FILE) != 0) return STATUS_INVALID_PARAMETER;
  if (name.empty() || name.find('\\') != std::string::npos) return STATUS_OBJECT_NAME_INVALID;
  if (!st.driverFiles.count(name)) {
    IoStatusBlock->Status = STATUS_OBJECT_NAME_NOT_FOUND;
    IoStatusBlock->Information = 0;
    return STATUS_OBJECT_NAME_NOT_FOUND;
  }
  (void)ShareAccess;
  HandleEntry entry;
  entry.kind = HandleEntry::Kind::File;
  entry.access = DesiredAccess;
  entry.fileName = name;
  entry.synchronous = (CreateOptions & FILE_SYNCHRONOUS_IO_NONALERT) != 0;
  *FileHandle = NewHandle(entry);
  IoStatusBlock->Status = STATUS_SUCCESS;
  IoStatusBlock->Information = 1;  // FILE_OPENED
  return STATUS_SUCCESS;
}

NTSTATUS ZwReadFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE, PVOID, PIO_STATUS_BLOCK IoStatusBlock,
                    PVOID Buffer, ULONG Length, PLARGE_INTEGER ByteOffset, PULONG) {
  RequireIrql(PASSIVE_LEVEL, "ZwReadFile");
  HandleEntry* file = ksim::OpenFile(FileHandle);
  if (file == nullptr) return STATUS_INVALID_HANDLE;
  if ((file->access & (GENERIC_READ | 0x1 /* FILE_READ_DATA */)) == 0) return STATUS_ACCESS_DENIED;
  if (!file->synchronous && Event == nullptr)
    Fault("ZwReadFile on a handle opened for asynchronous I/O, without an event to wait on");
  const std::vector<uint8_t>& bytes = S().driverFiles.at(file->fileName);
  uint64_t offset = ByteOffset != nullptr ? static_cast<uint64_t>(ByteOffset->QuadPart) : file->position;
  if (offset >= bytes.size()) {
    IoStatusBlock->Status = STATUS_END_OF_FILE;
    IoStatusBlock->Information = 0;
    return STATUS_END_OF_FILE;
  }
  size_t count = std::min<uint64_t>(Length, bytes.size() - offset);
  std::memcpy(Buffer, bytes.data() + offset, count);
  file->position = offset + count;
  IoStatusBlock->Status = STATUS_SUCCESS;
  IoStatusBlock->Information = count;
  return STATUS_SUCCESS;
}

NTSTATUS ZwQueryInformationFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock, PVOID FileInformation,
                                ULONG Length, FILE_INFORMATION_CLASS FileInformationClass) {
  RequireIrql(PASSIVE_LEVEL, "ZwQueryInformationFile");
  HandleEntry* file = ksim::OpenFile(FileHandle);
  if (file == nullptr) return STATUS_INVALID_HANDLE;
  if (FileInformationClass != FileStandardInformation) return STATUS_INVALID_PARAMETER;
  if (Length < sizeof(FILE_STANDARD_INFORMATION)) return STATUS_INFO_LENGTH_MISMATCH;
  FILE_STANDARD_INFORMATION info{};
  auto size = static_cast<LONGLONG>(S().driverFiles.at(file->fileName).size());
  info.EndOfFile.QuadPart = size;
  info.AllocationSize.QuadPart = (size + 4095) / 4096 * 4096;
  info.NumberOfLinks = 1;
  std::memcpy(FileInformation, &info, sizeof info);
  IoStatusBlock->Status = STATUS_SUCCESS;
  IoStatusBlock->Information = sizeof info;
  return STATUS_SUCCESS;
}
