/*
 * The stand-in's replacements for the kernel routines the class driver
 * imports that Wine 8 lacks or stubs (winegaps.cpp says which and why).
 */
#ifndef PRN_WINE_WINEGAPS_H
#define PRN_WINE_WINEGAPS_H

#include <wdm.h>

/* Each points the class driver's import of one routine at the stand-in's
 * own; FALSE when its image or the import is not found. */
/* IoOpenDeviceInterfaceRegistryKey */
BOOLEAN ProvideInterfaceKeyRoutine(PDRIVER_OBJECT ClassDriver);
/* ObReferenceObjectByPointer */
BOOLEAN ProvideReferenceRoutine(PDRIVER_OBJECT ClassDriver);

/* Keeps the data export KeTickCount moving (Wine moves it only when its
 * KeQueryTickCount routine is called); FALSE when that cannot be had. */
BOOLEAN KeepTickCountMoving(void);

/* References the class driver took through the replacement. */
extern LONG ReferencesGiven;

#endif
