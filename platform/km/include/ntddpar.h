/* Host stand-in for the platform's ntddpar.h: the parallel device-ID query. */
#ifndef PRN_KM_NTDDPAR_H
#define PRN_KM_NTDDPAR_H

#include <wdm.h>

#define IOCTL_PAR_BASE FILE_DEVICE_PARALLEL_PORT
#define IOCTL_PAR_QUERY_DEVICE_ID CTL_CODE(IOCTL_PAR_BASE, 3, METHOD_BUFFERED, FILE_ANY_ACCESS)

#endif /* PRN_KM_NTDDPAR_H */
