// Values of the SCSI request engine that open and close share with it.
#pragma once

#include "prnsbp.h"

// The CDB states a transfer length in 24 bits.
#define ENGINE_MAX_TRANSFER 0xFFFFFF
// The INFO replies are always 8 bytes.
#define ENGINE_INFO_REPLY 8
// A printer that refuses data is reported off line after this long.
#define ENGINE_REFUSAL_WINDOW_MS 60000
