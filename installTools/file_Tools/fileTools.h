// The install engine's work on driver files: finding the INF files the system has stored for a device,
// commenting out their file-copy directives, deleting them with their precompiled companions, and installing an
// INF file by hand on the Windows 98/Me path. On the NT5 path every file it changes or deletes is first opened
// to the current user (SecurityTools). INF files are 8-bit text.
#pragma once

#include <string>
#include <vector>

#include "installTools/engine/hardwareId.h"
#include "platform/seam/winapi.h"

class SecurityTools;

// The trim set of file and section names.
inline constexpr const char* kNameTrimSet = ";, \t";

class FileTools {
 public:
  FileTools(SecurityTools* security, bool nt5) : m_pSecurity(security), m_bNT5(nt5) {}

  // Whether the INF's models section (named by the first non-empty value of its "Manufacturer" section) holds a
  // hardware ID with the bus type, vendor and device of one of the records. A PCI or USB record with vendor
  // or device 0 matches nothing.
  bool InfMatchesHardware(const tag_HardwareID* table, int count, const char* infPath);
  // Whether some line of the INF contains the text, ignoring case.
  bool InfContainsText(const char* text, const char* infPath);
  // The lines of a section (upper-cased and trimmed, comments and empty lines left out). The first line that
  // holds "[", "]" and the name starts the section; the next line with both brackets ends it.
  void ReadModelsSection(const char* infPath, const char* section, std::vector<std::string>& lines);
  // Comments out (";" in front) every line whose trimmed, upper-cased copy has "COPYFILES" at one of its first
  // four characters. Always true.
  bool CommentOutCopyFiles(const char* infPath);
  // Deletes a file, read-only or not; true also when it is not there.
  bool DeleteProtectedFile(const char* path);
  // The hand install: copies the INF into the Windows INF folder, takes the CopyFiles directive of the install
  // section of the model that matches `wanted` out of the copy, and copies that directive's files into the
  // system's driver folder. False when no model matches, the directive is missing, or a copy failed.
  bool InstallInfFiles(const tag_HardwareID& wanted, const char* infPath);
  // Copies the files a copy-files section of the INF names, from the INF's folder into the driver folder.
  bool CopyFilesSection(const char* section, const char* infPath);
  // Copies one file into the system's driver folder, replacing what is there.
  bool CopyToDrivers(const char* filePath);
  // NT5 path: rewrites the file's access list so that the current user has full access; failures are skipped.
  void OpenToCurrentUser(const char* path);

  // The text upper-cased by the system's code page.
  static std::string Upper(std::string text);
  // The file's lines (CR LF, LF or a lone CR end a line); false when it cannot be read.
  static bool LoadLines(const char* path, std::vector<std::string>& lines);
  // Writes lines back, each ended by CR LF; false when the file cannot be written.
  static bool SaveLines(const char* path, const std::vector<std::string>& lines);
  // The lines of an INF section as the file holds them (trimmed of blanks), however long the section.
  static std::vector<std::string> SectionLines(const char* path, const char* section);

 private:
  std::string FullPath(const char* path);
  bool ReplaceFile(const std::string& source, const std::string& destination);

  SecurityTools* m_pSecurity;
  bool m_bNT5;
};
