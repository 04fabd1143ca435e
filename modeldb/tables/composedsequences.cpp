// The composed command sequences of the driver database: each row is a run
// of the part list, every part a tree resolved for the piece key.
#include "drvtables.h"

namespace
{

const ComposedSequenceRow kRows[] = {
    {4121, 0, 7},  // job setup: ESC ( b on, print mode, page format, paper size, ESC ( l
    {4120, 7, 6},  // job open: clock, silent mode, media detection, ESC [ K, ESC ( $, ESC ( M
    {4122, 13, 1}, // ESC ( q
    {4123, 14, 1}, // ESC @
    {4124, 15, 1}, // ESC ( b off
    {4125, 16, 1}, // ESC ( e and form feed
};

} // namespace

// Entry-table indices of the parts, from the model source (drvcomposed.model).
extern const DWORD ComposedSequenceParts[];

// The part list has 17 elements; its generated count is checked by the tests
// (a count read from another unit would need initialisation at load time).
const DWORD kPartCount = 17;

const ComposedSequenceTable ComposedSequenceTableData = {
    kRows,
    sizeof(kRows) / sizeof(kRows[0]),
    ComposedSequenceParts,
    kPartCount,
};
