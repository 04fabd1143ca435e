// The constant tables of the driver database that live beside the store's
// model tables: value names of list settings, composed sequences and the
// print-mode record.
#ifndef PRNMODEL_DRVTABLES_H
#define PRNMODEL_DRVTABLES_H

#include <windows.h>

// Rows by setting number over one value array and one parallel name-id array.
struct SettingValueTable {
    const WORD* SettingNumbers;
    const WORD* ValueCounts;
    const WORD* FirstValues;
    DWORD RowCount;
    const WORD* Values;
    const LONG* NameIds;
    DWORD ValueCount;
};

// A composed sequence: PartCount consecutive elements of the part list from
// FirstPart on, each the entry-table index of a tree resolved for the pieces.
struct ComposedSequenceRow {
    WORD Id;
    WORD FirstPart;
    WORD PartCount;
};

struct ComposedSequenceTable {
    const ComposedSequenceRow* Rows;
    DWORD RowCount;
    const DWORD* Parts;
    DWORD PartCount;
};

// One print mode: keys compared with settings 4, 9, 5, 8, 6 and 81, and the
// row of each parameter table that goes into the record.
struct PrintModeRow {
    SHORT Keys[6];
    WORD Parameters[4];
};

const DWORD PrintModeParameterTables = 4;
const DWORD PrintModeRecordSize = 192;

struct PrintModeTable {
    const PrintModeRow* Rows;
    DWORD RowCount;
    const void* Parameters[PrintModeParameterTables];
    DWORD ParameterRows[PrintModeParameterTables];
};

// Bytes of one row of each parameter table and where it lands in the record.
const DWORD PrintModeParameterSize[PrintModeParameterTables] = {48, 40, 36, 48};
const DWORD PrintModeParameterOffset[PrintModeParameterTables] = {0, 48, 88, 124};

struct DriverTables {
    const SettingValueTable* SettingValues;
    const ComposedSequenceTable* ComposedSequences;
    const PrintModeTable* PrintModes;
};

// The tables built into the library (modeldb/tables/*.cpp).
extern const SettingValueTable SettingValueTableData;
extern const ComposedSequenceTable ComposedSequenceTableData;
extern const PrintModeTable PrintModeTableData;

// The tables the driver database reads: the built-in ones unless a test
// swapped them.
const DriverTables* CurrentDriverTables();

// Test hook: makes the driver database read `tables` (NULL restores the
// built-in set) and returns the previous set. Not for product code.
const DriverTables* SwapDriverTables(const DriverTables* tables);

#endif // PRNMODEL_DRVTABLES_H
