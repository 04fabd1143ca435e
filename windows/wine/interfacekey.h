/*
 * The stand-in's replacement for the one kernel routine the class driver
 * imports that Wine 8 lacks (IoOpenDeviceInterfaceRegistryKey).
 */
#ifndef PRN_WINE_INTERFACEKEY_H
#define PRN_WINE_INTERFACEKEY_H

#include <wdm.h>

/* Points the class driver's import of the routine at the stand-in's own;
 * FALSE when its image or the import is not found. */
BOOLEAN ProvideInterfaceKeyRoutine(PDRIVER_OBJECT ClassDriver);

#endif
