// The SBP-2 port driver's request block for reading a unit's configuration
// ROM leaves. The platform's public headers do not carry it, so the driver
// defines the part it uses; the port driver below reads the same layout.
// 24 bytes on 32-bit Windows: five ULONGs and a pointer.
#ifndef PRNSBP_SBP2REQ_H
#define PRNSBP_SBP2REQ_H

#include <wdm.h>

#ifndef IOCTL_SBP2_REQUEST
#define IOCTL_SBP2_REQUEST CTL_CODE(FILE_DEVICE_UNKNOWN, 0x200, METHOD_IN_DIRECT, FILE_ANY_ACCESS)
#endif

// request numbers
#define SBP2_REQUEST_RETRIEVE_TEXT_LEAFS 1

// leaf flags and keys of the text leaf that holds the IEEE 1284 device ID
#define SBP2REQ_RETRIEVE_TEXT_LEAF_INDIRECT 2
#define SBP2_DEVICE_ID_LEAF_KEY 0x14

// the port driver's leaf buffer starts with the leaf and descriptor headers
#define SBP2_TEXT_LEAF_HEADER_SIZE 12

typedef struct _SBP2_REQUEST {
    ULONG RequestNumber;
    ULONG Flags;
    ULONG LeafFlags;
    ULONG Key;
    ULONG Length; // out: bytes in Buffer
    PVOID Buffer; // out: pool buffer allocated by the port driver, freed by the caller
} SBP2_REQUEST, *PSBP2_REQUEST;

#endif // PRNSBP_SBP2REQ_H
