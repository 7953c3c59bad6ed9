/* kestrune: definitions for applications (user mode, C and C++).
 * Version 1: the device interface class. */
#ifndef KESTRUNE_IOCTL_H
#define KESTRUNE_IOCTL_H

#define KESTRUNE_IOCTL_HEADER_VERSION 1

/* {54654E76-DCF7-4A7F-878A-4E8FCA0ACC9A}: the device interface every kestrune device registers.
 * Include <initguid.h> before this header in exactly one source file to define it. */
#ifdef DEFINE_GUID
DEFINE_GUID(GUID_DEVINTERFACE_KESTRUNE, 0x54654E76, 0xDCF7, 0x4A7F, 0x87, 0x8A, 0x4E, 0x8F, 0xCA,
            0x0A, 0xCC, 0x9A);
#endif

#endif /* KESTRUNE_IOCTL_H */
