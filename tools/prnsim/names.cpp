#include "names.h"

#include "text.h"

#include <srb.h>
#include <ntddscsi.h>
#include <ntddser.h>
#include <ntddpar.h>
#include <ntddstor.h>

#include "prnsbp.h"

#include <cctype>

namespace prnsim
{

namespace
{

struct NamedValue {
    const char* name;
    uint32_t value;
};

const NamedValue kStatuses[] = {
    {"STATUS_SUCCESS", 0x00000000},
    {"STATUS_TIMEOUT", 0x00000102},
    {"STATUS_PENDING", 0x00000103},
    {"STATUS_BUFFER_OVERFLOW", 0x80000005},
    {"STATUS_DEVICE_OFF_LINE", 0x80000010},
    {"STATUS_DEVICE_BUSY", 0x80000011},
    {"STATUS_NO_MORE_ENTRIES", 0x8000001A},
    {"STATUS_UNSUCCESSFUL", 0xC0000001},
    {"STATUS_NOT_IMPLEMENTED", 0xC0000002},
    {"STATUS_ACCESS_VIOLATION", 0xC0000005},
    {"STATUS_INVALID_HANDLE", 0xC0000008},
    {"STATUS_INVALID_PARAMETER", 0xC000000D},
    {"STATUS_NO_SUCH_DEVICE", 0xC000000E},
    {"STATUS_INVALID_DEVICE_REQUEST", 0xC0000010},
    {"STATUS_MORE_PROCESSING_REQUIRED", 0xC0000016},
    {"STATUS_BUFFER_TOO_SMALL", 0xC0000023},
    {"STATUS_OBJECT_NAME_INVALID", 0xC0000033},
    {"STATUS_OBJECT_NAME_NOT_FOUND", 0xC0000034},
    {"STATUS_OBJECT_NAME_COLLISION", 0xC0000035},
    {"STATUS_OBJECT_PATH_NOT_FOUND", 0xC000003A},
    {"STATUS_DELETE_PENDING", 0xC0000056},
    {"STATUS_INSUFFICIENT_RESOURCES", 0xC000009A},
    {"STATUS_DEVICE_POWER_FAILURE", 0xC000009E},
    {"STATUS_DEVICE_NOT_READY", 0xC00000A3},
    {"STATUS_IO_TIMEOUT", 0xC00000B5},
    {"STATUS_IO_DEVICE_ERROR", 0xC0000185},
    {"STATUS_NOT_SUPPORTED", 0xC00000BB},
    {"STATUS_DEVICE_DOES_NOT_EXIST", 0xC00000C0},
    {"STATUS_CANCELLED", 0xC0000120},
    {"STATUS_INVALID_DEVICE_STATE", 0xC0000184},
    {"STATUS_NOT_FOUND", 0xC0000225},
};

const NamedValue kSrbStatuses[] = {
    {"PENDING", 0x00},
    {"SUCCESS", 0x01},
    {"ABORTED", 0x02},
    {"ABORT_FAILED", 0x03},
    {"ERROR", 0x04},
    {"BUSY", 0x05},
    {"INVALID_REQUEST", 0x06},
    {"INVALID_PATH_ID", 0x07},
    {"NO_DEVICE", 0x08},
    {"TIMEOUT", 0x09},
    {"SELECTION_TIMEOUT", 0x0A},
    {"COMMAND_TIMEOUT", 0x0B},
    {"MESSAGE_REJECTED", 0x0D},
    {"BUS_RESET", 0x0E},
    {"PARITY_ERROR", 0x0F},
    {"REQUEST_SENSE_FAILED", 0x10},
    {"NO_HBA", 0x11},
    {"DATA_OVERRUN", 0x12},
    {"UNEXPECTED_BUS_FREE", 0x13},
    {"PHASE_SEQUENCE_FAILURE", 0x14},
    {"BAD_SRB_BLOCK_LENGTH", 0x15},
    {"REQUEST_FLUSHED", 0x16},
    {"INVALID_LUN", 0x20},
    {"INVALID_TARGET_ID", 0x21},
    {"BAD_FUNCTION", 0x22},
    {"ERROR_RECOVERY", 0x23},
};

const NamedValue kPnpMinors[] = {
    {"start", IRP_MN_START_DEVICE},
    {"query-remove", IRP_MN_QUERY_REMOVE_DEVICE},
    {"remove", IRP_MN_REMOVE_DEVICE},
    {"cancel-remove", IRP_MN_CANCEL_REMOVE_DEVICE},
    {"stop", IRP_MN_STOP_DEVICE},
    {"query-stop", IRP_MN_QUERY_STOP_DEVICE},
    {"cancel-stop", IRP_MN_CANCEL_STOP_DEVICE},
    {"query-relations", IRP_MN_QUERY_DEVICE_RELATIONS},
    {"query-capabilities", IRP_MN_QUERY_CAPABILITIES},
    {"query-text", IRP_MN_QUERY_DEVICE_TEXT},
    {"query-id", IRP_MN_QUERY_ID},
    {"query-state", IRP_MN_QUERY_PNP_DEVICE_STATE},
    {"usage", IRP_MN_DEVICE_USAGE_NOTIFICATION},
    {"surprise-removal", IRP_MN_SURPRISE_REMOVAL},
};

const NamedValue kPowerMinors[] = {
    {"wait-wake", IRP_MN_WAIT_WAKE},
    {"power-sequence", IRP_MN_POWER_SEQUENCE},
    {"set-power", IRP_MN_SET_POWER},
    {"query-power", IRP_MN_QUERY_POWER},
};

const NamedValue kIoctls[] = {
    {"IOCTL_PRNSBP_LEGACY_CLEAR", IOCTL_PRNSBP_LEGACY_CLEAR},
    {"IOCTL_PRNSBP_WRITE", IOCTL_PRNSBP_WRITE},
    {"IOCTL_PRNSBP_WRITE_VENDOR", IOCTL_PRNSBP_WRITE_VENDOR},
    {"IOCTL_PRNSBP_DATA_CLEAR", IOCTL_PRNSBP_DATA_CLEAR},
    {"IOCTL_PRNSBP_READ_STATUS", IOCTL_PRNSBP_READ_STATUS},
    {"IOCTL_PRNSBP_STATUS_CLEAR", IOCTL_PRNSBP_STATUS_CLEAR},
    {"IOCTL_PRNSBP_GET_DEVICE_ID", IOCTL_PRNSBP_GET_DEVICE_ID},
    {"IOCTL_PRNSBP_UNIT0_INFO_A", IOCTL_PRNSBP_UNIT0_INFO_A},
    {"IOCTL_PRNSBP_UNIT1_INFO_A", IOCTL_PRNSBP_UNIT1_INFO_A},
    {"IOCTL_PRNSBP_UNIT0_INFO_B", IOCTL_PRNSBP_UNIT0_INFO_B},
    {"IOCTL_PRNSBP_UNIT1_INFO_B", IOCTL_PRNSBP_UNIT1_INFO_B},
    {"IOCTL_PRNSBP_CLEAR", IOCTL_PRNSBP_CLEAR},
    {"IOCTL_PRNSBP_FLUSH", IOCTL_PRNSBP_FLUSH},
    {"IOCTL_PRNSBP_DISCARD", IOCTL_PRNSBP_DISCARD},
    {"IOCTL_SCSI_PASS_THROUGH", 0x0004D004},
    {"IOCTL_SCSI_PASS_THROUGH_DIRECT", 0x0004D014},
    {"IOCTL_PAR_QUERY_DEVICE_ID", 0x0016000C},
    {"IOCTL_SERIAL_SET_TIMEOUTS", 0x001B001C},
    {"IOCTL_SERIAL_GET_TIMEOUTS", 0x001B0020},
};

template <size_t N> const NamedValue* ByName(const NamedValue (&table)[N], const std::string& name)
{
    for (const NamedValue& v : table) {
        std::string a = v.name, b = name;
        if (a.size() != b.size())
            continue;
        bool same = true;
        for (size_t i = 0; i < a.size() && same; i++)
            same = toupper((unsigned char)a[i]) == toupper((unsigned char)b[i]);
        if (same)
            return &v;
    }
    return nullptr;
}

template <size_t N> const NamedValue* ByValue(const NamedValue (&table)[N], uint32_t value)
{
    for (const NamedValue& v : table)
        if (v.value == value)
            return &v;
    return nullptr;
}

template <size_t N>
bool ParseNamed(const NamedValue (&table)[N], const std::string& text, uint64_t max,
                uint32_t* value)
{
    if (const NamedValue* v = ByName(table, text)) {
        *value = v->value;
        return true;
    }
    uint64_t n;
    if (!ParseNumber(text, max, &n))
        return false;
    *value = (uint32_t)n;
    return true;
}

} // namespace

std::string StatusName(NTSTATUS status)
{
    const NamedValue* v = ByValue(kStatuses, (uint32_t)status);
    return v ? v->name : Hex32((uint32_t)status);
}

bool ParseStatus(const std::string& text, NTSTATUS* status)
{
    uint32_t value;
    std::string name = text;
    if (ByName(kStatuses, name) == nullptr && ByName(kStatuses, "STATUS_" + name) != nullptr)
        name = "STATUS_" + name;
    if (!ParseNamed(kStatuses, name, 0xFFFFFFFFu, &value))
        return false;
    *status = (NTSTATUS)value;
    return true;
}

std::string SrbStatusName(UCHAR srbStatus)
{
    const NamedValue* v = ByValue(kSrbStatuses, SRB_STATUS(srbStatus));
    std::string name = v ? v->name : Hex32(SRB_STATUS(srbStatus)).substr(8);
    if (srbStatus & SRB_STATUS_AUTOSENSE_VALID)
        name += "+AUTOSENSE";
    if (srbStatus & SRB_STATUS_QUEUE_FROZEN)
        name += "+FROZEN";
    return name;
}

bool ParseSrbStatus(const std::string& text, UCHAR* srbStatus)
{
    std::string name = text;
    if (name.compare(0, 11, "SRB_STATUS_") == 0)
        name = name.substr(11);
    uint32_t value;
    if (!ParseNamed(kSrbStatuses, name, 0xFF, &value))
        return false;
    *srbStatus = (UCHAR)value;
    return true;
}

bool ParsePnpMinor(const std::string& text, UCHAR* minor)
{
    uint32_t value;
    if (!ParseNamed(kPnpMinors, text, 0xFF, &value))
        return false;
    *minor = (UCHAR)value;
    return true;
}

std::string PnpMinorName(UCHAR minor)
{
    const NamedValue* v = ByValue(kPnpMinors, minor);
    return v ? v->name : Hex32(minor);
}

bool ParsePowerMinor(const std::string& text, UCHAR* minor)
{
    uint32_t value;
    if (!ParseNamed(kPowerMinors, text, 0xFF, &value))
        return false;
    *minor = (UCHAR)value;
    return true;
}

std::string PowerMinorName(UCHAR minor)
{
    const NamedValue* v = ByValue(kPowerMinors, minor);
    return v ? v->name : Hex32(minor);
}

bool ParseIoctl(const std::string& text, ULONG* code)
{
    uint32_t value;
    if (!ParseNamed(kIoctls, text, 0xFFFFFFFFu, &value))
        return false;
    *code = value;
    return true;
}

std::string IoctlNames()
{
    std::string names;
    for (const NamedValue& v : kIoctls)
        names += (names.empty() ? "" : ", ") + std::string(v.name);
    return names;
}

std::string IoctlName(ULONG code)
{
    const NamedValue* v = ByValue(kIoctls, code);
    return v ? v->name : Hex32(code);
}

std::string CommandName(UCHAR opcode, UCHAR subcode)
{
    switch (opcode << 8 | subcode) {
    case 0xC000:
        return "vendor data";
    case 0xC001:
        return "data clear";
    case 0xC200:
        return "unit 0 info A";
    case 0xC220:
        return "unit 1 info A";
    case 0xC300:
        return "unit 0 info B";
    case 0xC320:
        return "unit 1 info B";
    case 0xC120:
        return "status read";
    case 0xC121:
        return "status clear";
    case 0xC122:
        return "device ID";
    }
    if (opcode == 0x0A)
        return "PRINT";
    return "unknown";
}

} // namespace prnsim
