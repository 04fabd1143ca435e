// Structures exchanged with the SBP-2 port driver have the platform's layout.
#include <ntddk.h>
#include <srb.h>

static_assert(sizeof(SCSI_REQUEST_BLOCK) == 64, "SCSI_REQUEST_BLOCK is 64 bytes on x86");

#include "sbp2req.h"

static_assert(sizeof(SBP2_REQUEST) == 24, "the SBP-2 request block is 24 bytes on x86");
