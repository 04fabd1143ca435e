// The records prnmodel shares with its callers have a fixed 32-bit layout.
#include "prnmodel.h"

#include <stddef.h>

static_assert(sizeof(DataBaseRequest) == 28, "DataBaseRequest is seven 32-bit fields");
static_assert(offsetof(DataBaseRequest, Settings) == 20, "Settings is the sixth field");
static_assert(offsetof(DataBaseRequest, PrinterName) == 24, "PrinterName is the last field");
static_assert(sizeof(ListItem) == 20, "a list item is five 32-bit fields");
static_assert(sizeof(MediaInfo) == 28, "MediaInfo is seven 32-bit fields");
