// Printer identification, port publication and the child device: what the
// files of that area share among themselves. What the rest of the driver
// calls is declared in prnsbp.h.
#pragma once

#include <ntddk.h>
#include "prnsbp.h"

// Sizes of the extension's Manufacturer and Model arrays. Every output of
// BuildIdFromDeviceId is bounded: ID_STRING_SIZE (prnsbp.h) for the
// identification string and the IDs built from it, these two for the values.
#define ID_MANUFACTURER_SIZE 64
#define ID_MODEL_SIZE 80
static_assert(sizeof(DEVICE_EXTENSION::Manufacturer) == ID_MANUFACTURER_SIZE, "Manufacturer size");
static_assert(sizeof(DEVICE_EXTENSION::Model) == ID_MODEL_SIZE, "Model size");

// Forms of BuildIdFromDeviceId.
#define ID_FORM_IDENTIFICATION 0
#define ID_FORM_HARDWARE 1
#define ID_FORM_COMPATIBLE 2

// A printer whose device ID names no manufacturer or no model.
#define UNNAMED_PRINTER_ID "1394 Printer"

// Base name of the ports, as the port monitor and the child's instance ID
// show it; a port's name is the base name and three digits.
#define PORT_BASE_NAME_A "QXZR1394_"
#define PORT_BASE_NAME_W L"QXZR1394_"
#define PORT_NAME_CHARS 24

// Bounded text building. Out holds Size bytes (or characters) and is always
// left zero-terminated at *Used; text that does not fit is cut.
VOID IdAppendText(PCHAR Out, ULONG Size, PULONG Used, const CHAR* Text);
VOID IdAppendTextN(PCHAR Out, ULONG Size, PULONG Used, const CHAR* Text, ULONG MaxChars);
VOID IdAppendDecimal(PCHAR Out, ULONG Size, PULONG Used, ULONG Value, ULONG MinDigits);
VOID IdAppendWide(PWCHAR Out, ULONG Size, PULONG Used, const WCHAR* Text);
VOID IdAppendWideDecimal(PWCHAR Out, ULONG Size, PULONG Used, ULONG Value, ULONG MinDigits);
