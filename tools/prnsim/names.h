// Names of the platform's numbers as people read them: NTSTATUS values, SRB
// statuses, PnP and power minor codes, control codes, bus-trace opcodes.
#ifndef PRNSIM_NAMES_H
#define PRNSIM_NAMES_H

#include <wdm.h>

#include <string>

namespace prnsim
{

// "STATUS_DEVICE_OFF_LINE", or "0x80000010" for a value without a name.
std::string StatusName(NTSTATUS status);
// Accepts a name (with or without "STATUS_") or a number.
bool ParseStatus(const std::string& text, NTSTATUS* status);

// "SUCCESS", "ERROR", "SELECTION_TIMEOUT"... (flag bits shown as "+AUTOSENSE").
std::string SrbStatusName(UCHAR srbStatus);
bool ParseSrbStatus(const std::string& text, UCHAR* srbStatus);

// PnP minors by their script names ("start", "query-stop", "surprise-removal"...).
bool ParsePnpMinor(const std::string& text, UCHAR* minor);
std::string PnpMinorName(UCHAR minor);
std::string PowerMinorName(UCHAR minor);
bool ParsePowerMinor(const std::string& text, UCHAR* minor);

// Device-control codes of the port by name ("IOCTL_PRNSBP_READ_STATUS"), or a number.
bool ParseIoctl(const std::string& text, ULONG* code);
std::string IoctlName(ULONG code);
// Every name ParseIoctl takes, comma-separated.
std::string IoctlNames();

// What a CDB does on this printer's command set ("PRINT", "vendor data"...).
std::string CommandName(UCHAR opcode, UCHAR subcode);

} // namespace prnsim

#endif
