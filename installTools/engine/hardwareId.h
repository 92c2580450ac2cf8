// Hardware-ID records: how the installer and the install engine name a device, and the routines that parse
// and compare hardware-ID texts. Pure functions on strings and records, without system calls.
#pragma once

#include <cstddef>
#include <cstdint>

// Bus kinds of a hardware-ID record.
constexpr int32_t HWID_PCI = 0;     // PCI\VEN_vvvv&DEV_dddd[&SUBSYS_ssssssss][&REV_rr]
constexpr int32_t HWID_USB = 1;     // USB\VID_vvvv&PID_pppp[&MI_ii]
constexpr int32_t HWID_TEXT = 2;    // only the text is set; NormalizeHardwareID fills in the rest
constexpr int32_t HWID_STREAM = 3;  // STREAM\...: a software device named by its text alone

// The record the installer and the engine exchange, singly or as contiguous tables, across the engine
// library's boundary. Both sides are 32-bit images built by different compilers over time, so the layout is
// fixed: fields packed one after another, 148 bytes in all. Records are zero-filled before use.
#pragma pack(push, 1)
struct tag_HardwareID {
  int32_t nBusType;        // HWID_PCI, HWID_USB, HWID_TEXT or HWID_STREAM
  char szHardwareID[128];  // hardware-ID text, NUL-terminated, at most 127 characters
  uint32_t nVendorID;      // PCI vendor id (after "VEN_") or USB vendor id (after "VID_"); a 16-bit value
  uint32_t nDeviceID;      // PCI device id (after "DEV_") or USB product id (after "PID_"); a 16-bit value
  uint32_t nSubSysID;      // PCI subsystem value (after "SUBSYS_"); 0 means any
  uint16_t nInterface;     // USB interface: 0x1000 | interface number (after "MI_"), 0 for the whole device
  uint16_t nReserved;      // zero
};
#pragma pack(pop)

static_assert(sizeof(tag_HardwareID) == 148, "tag_HardwareID crosses the engine's boundary at 148 bytes");
static_assert(offsetof(tag_HardwareID, nBusType) == 0);
static_assert(offsetof(tag_HardwareID, szHardwareID) == 4);
static_assert(offsetof(tag_HardwareID, nVendorID) == 132);
static_assert(offsetof(tag_HardwareID, nDeviceID) == 136);
static_assert(offsetof(tag_HardwareID, nSubSysID) == 140);
static_assert(offsetof(tag_HardwareID, nInterface) == 144);
static_assert(offsetof(tag_HardwareID, nReserved) == 146);

// The longest hardware-ID text a record holds.
constexpr size_t kHardwareIdTextMax = sizeof(tag_HardwareID::szHardwareID) - 1;

// Turns a HWID_TEXT record into a PCI, USB or STREAM record in place, by the bus prefix its text begins with
// (ignoring case), and fills the numbers from the text's tags ("VEN_", "DEV_", "SUBSYS_"; "VID_", "PID_",
// "MI_"); a missing tag gives 0. Any other bus type is left as it is (true). False, with the record
// unchanged, when the text begins with no known bus prefix.
bool NormalizeHardwareID(tag_HardwareID& record);

// Whether two records name the same device. HWID_TEXT records are compared as normalised copies (the
// callers' records are not changed). PCI: vendor and device equal, and each non-zero one of the wanted
// subsystem value's two low-order bytes equal. USB: vendor, device and interface equal. STREAM: the
// candidate's text begins with the wanted text (ignoring case). A PCI or USB record with vendor or device 0,
// and a STREAM record with an empty text, name no device: they match nothing.
bool HardwareIDsEqual(const tag_HardwareID& wanted, const tag_HardwareID& candidate);

// Whether one string of a present device's hardware-ID list matches a record. The text must hold the
// record's bus prefix; PCI and USB: the hex numbers after the text's own vendor and device tags (after the
// prefix) equal the record's numbers; STREAM: the record's text occurs in the upper-cased text. A PCI or USB
// record with vendor or device 0, and a STREAM record with an empty text, match nothing.
bool MatchHardwareIDText(const char* text, const tag_HardwareID& record);

// Fills a record from a line that holds a hardware ID (an upper-cased INF models line, or a device's
// hardware ID). The search is case-sensitive. A comment (from a ";" outside double quotes) is dropped first;
// the first of "USB\", "PCI\", "STREAM\" found then fixes the bus type; the vendor and device numbers are the
// four hex digits after the vendor and device tags that follow the prefix (0 when a tag is missing or not
// followed by four hex digits); the text runs from the prefix to the end, trimmed of blanks. False, with the
// record unchanged, when no bus prefix is found or the text is longer than a record holds. nSubSysID and
// nInterface are not set.
bool ParseHardwareIDText(const char* text, tag_HardwareID& record);

// Compares the first n characters of two NUL-terminated strings, ignoring the case of ASCII letters.
// Negative, 0 or positive, as strncmp.
int CompareTextNoCase(const char* a, const char* b, size_t n);

// The position of the first occurrence of part in text, ignoring the case of ASCII letters; -1 when absent.
// An empty part occurs at position 0.
int FindTextNoCase(const char* text, const char* part);

// The OS version code that names the running Windows version: 95, 98, 982 (98 SE), 982000 (Me), 351 (NT 4
// and older), 2000, 20005 (XP), 1000 (anything else, or when the version cannot be read).
// GetOsVersionCode computes it once per process and then returns the cached value; ComputeOsVersionCode asks
// the system each time.
int32_t GetOsVersionCode();
int32_t ComputeOsVersionCode();
