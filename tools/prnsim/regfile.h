// The registry file of `prnsim run --registry FILE`, in a text a person can
// read and edit:
//
//   [\Registry\Machine\System\CurrentControlSet\Services\prnsbp\PortNumber]
//   "MaxPortNumber" = dword:1
//   "Guid" = sz:"00A0B8C9D0E1F203"
//   "Base Name" = sz-exact:"QXZR1394_"
//   "Odd" = hex(3):41 00 42
//
// one key per bracketed line, its values under it (@ names the default
// value): a REG_DWORD as its number, a REG_SZ of text and one terminator as
// the text, a REG_SZ of another length as its code units exactly (no
// terminator added; %0000 stands for one), anything else as its type and
// bytes. In key paths, names and
// texts a character outside printable ASCII, and '%' and '"', are written
// %XXXX (its UTF-16 code unit in hex). Files of the earlier hex-encoded form
// still load.
#ifndef PRNSIM_REGFILE_H
#define PRNSIM_REGFILE_H

#include <string>

namespace prnsim
{

bool SaveRegistryFile(const std::string& path);
// Replaces the whole registry; "" or what is wrong with the file.
std::string LoadRegistryFile(const std::string& path);

} // namespace prnsim

#endif
