/* Host stand-in for the Windows kernel's ntddk.h: everything of wdm.h. */
#ifndef PRN_KM_NTDDK_H
#define PRN_KM_NTDDK_H
#include <wdm.h>
#endif
