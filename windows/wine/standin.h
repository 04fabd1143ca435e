/*
 * What the stand-in SBP-2 port driver and the test program under Wine share:
 * the control device's name, its requests and the record of what the
 * printer saw on its two units.
 */
#ifndef PRN_WINE_STANDIN_H
#define PRN_WINE_STANDIN_H

/* \\.\Sbp2StandIn for Win32, \Device\Sbp2StandIn in the kernel. */
#define STANDIN_DEVICE_NAME L"\\Device\\Sbp2StandIn"
#define STANDIN_LINK_NAME L"\\DosDevices\\Sbp2StandIn"
#define STANDIN_WIN32_NAME "\\\\.\\Sbp2StandIn"

/* The root-enumerated bus device the stand-in drives, and the names of the
 * printer's units it reports. */
#define STANDIN_HARDWARE_ID "Root\\PrnSbpStandIn"
#define STANDIN_UNIT_HARDWARE_ID "SBP2\\ORVEX&ZR_4410X&CmdSetId104d8"
#define STANDIN_PRINTER_KEY "0030E1F2A3B4C5D6"
#define STANDIN_UNIT_DEVICE_ID(digit) "SBP2\\ORVEX&ZR_4410X&LUN" digit
#define STANDIN_UNIT_INSTANCE(digit)                                                               \
    STANDIN_UNIT_DEVICE_ID(digit) "\\" STANDIN_PRINTER_KEY "&" digit
#define STANDIN_UNIT_HARDWARE_IDS(digit)                                                           \
    STANDIN_UNIT_HARDWARE_ID "|" STANDIN_UNIT_DEVICE_ID(digit) "|"
#define STANDIN_UNIT_NAME(digit) L"\\Device\\Sbp2StandIn&ORVEX&ZR_4410X&" digit L"&0030E1F2A3B4C5D6"
#define STANDIN_DEVICE_ID "MFG:Orvex;MDL:ZR 4410x;CMD:ZRL;CLS:PRINTER;DES:Orvex ZR 4410x;"
#define STANDIN_STATUS_REPLY "STS:IDLE;PRG:00;"

/* METHOD_BUFFERED requests of the control device. */
#define STANDIN_CTL(n) (((0x22) << 16) | ((n) << 2))
#define IOCTL_STANDIN_GET_STATE STANDIN_CTL(0x900)  /* out: STANDIN_STATE */
#define IOCTL_STANDIN_GET_DATA STANDIN_CTL(0x901)   /* out: accepted print data */
#define IOCTL_STANDIN_CLEAR_DATA STANDIN_CTL(0x902) /* print data and data counters */
#define IOCTL_STANDIN_REFUSE STANDIN_CTL(0x903)     /* in: ULONG, non-zero refuses data */
#define IOCTL_STANDIN_UNPLUG STANDIN_CTL(0x904)     /* the printer leaves the bus */
#define IOCTL_STANDIN_ENUM_UNIT0 STANDIN_CTL(0x905) /* bus relations of unit 0 asked again */
#define IOCTL_STANDIN_FAIL_NEXT STANDIN_CTL(0x906)  /* in: ULONG, data SRBs to fail in transport */

/* What one unit saw: how many of each request. */
typedef struct STANDIN_UNIT_STATE {
    unsigned long Present;   /* the unit's PDO exists */
    unsigned long Attached;  /* a function driver sits on the PDO */
    unsigned long Claims;    /* SRB_FUNCTION_CLAIM_DEVICE */
    unsigned long Releases;  /* SRB_FUNCTION_RELEASE_DEVICE */
    unsigned long Creates;   /* IRP_MJ_CREATE */
    unsigned long Closes;    /* IRP_MJ_CLOSE */
    unsigned long Starts;    /* IRP_MN_START_DEVICE */
    unsigned long Surprises; /* IRP_MN_SURPRISE_REMOVAL */
    unsigned long Removes;   /* IRP_MN_REMOVE_DEVICE */
    unsigned long StorageQueries;
    unsigned long LeafRequests; /* device-ID leaf requests */
    unsigned long Srbs;         /* SRB_FUNCTION_EXECUTE_SCSI */
    unsigned long BadSrbs;      /* SRBs without a matching MDL, unknown commands */
} STANDIN_UNIT_STATE;

#define STANDIN_LOG_ENTRIES 24

typedef struct STANDIN_STATE {
    unsigned long Size; /* sizeof(STANDIN_STATE) */
    unsigned long BusStarted;
    unsigned long RelationsQueries; /* bus relations reported */
    unsigned long DataSrbs;         /* accepted data-out SRBs */
    unsigned long RefusedSrbs;
    unsigned long FailedSrbs; /* transport errors given */
    unsigned long StatusReads;
    unsigned long DeviceIdReads;
    unsigned long PrintBytes; /* accepted print data */
    /* The class driver's imports of IoOpenDeviceInterfaceRegistryKey and
     * ObReferenceObjectByPointer were replaced (winegaps.cpp), and the
     * references it took through the latter. */
    unsigned long InterfaceKeyRoutine;
    unsigned long ReferenceRoutine;
    unsigned long ReferencesTaken;
    unsigned long FirstCdb[2]; /* first 8 CDB bytes of the first data SRB */
    STANDIN_UNIT_STATE Unit[2];
    /* The last requests the units answered, for a failing check to show:
     * unit, major and minor function (or control code), lengths, status. */
    unsigned long LogCount;
    unsigned long Log[STANDIN_LOG_ENTRIES][5];
} STANDIN_STATE;

#endif
