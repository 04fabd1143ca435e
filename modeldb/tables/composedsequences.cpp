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

// The part list comes from the model source once its pieces are written;
// until then no composed sequence answers.
const ComposedSequenceTable ComposedSequenceTableData = {
    kRows,
    sizeof(kRows) / sizeof(kRows[0]),
    NULL,
    0,
};
