/* kestrune: definitions applications share with the driver (user mode, C and C++).
 *
 * Version 2: the device interface class and the 18 control codes.
 *
 * Every code is METHOD_BUFFERED with FILE_ANY_ACCESS on device type FILE_DEVICE_UNKNOWN, and may be
 * sent on any handle of a device, the device itself or one of its pipes. Numbers travel as 32-bit
 * little-endian words at the start of the buffer. Strings come back as 8-bit text ending in a NUL
 * (the low byte of each UTF-16 unit of the device's string). A buffer that is too small fails
 * with STATUS_BUFFER_TOO_SMALL (ERROR_INSUFFICIENT_BUFFER) and nothing is written or stored. */
#ifndef KESTRUNE_IOCTL_H
#define KESTRUNE_IOCTL_H

#define KESTRUNE_IOCTL_HEADER_VERSION 2

/* {54654E76-DCF7-4A7F-878A-4E8FCA0ACC9A}: the device interface every kestrune device registers.
 * Include <initguid.h> before this header in exactly one source file to define it. */
#ifdef DEFINE_GUID
/* NOLINTNEXTLINE(misc-definitions-in-headers): a definition only where <initguid.h> came first */
DEFINE_GUID(GUID_DEVINTERFACE_KESTRUNE, 0x54654E76, 0xDCF7, 0x4A7F, 0x87, 0x8A, 0x4E, 0x8F, 0xCA,
            0x0A, 0xCC, 0x9A);
#endif

/* CTL_CODE(0x22, function, METHOD_BUFFERED, FILE_ANY_ACCESS) for functions 0x111 to 0x122. */
#define IOCTL_KESTRUNE_GET_CONFIG_DESCRIPTOR   0x220444 /* out: the whole configuration descriptor */
#define IOCTL_KESTRUNE_RESET_PORT              0x220448 /* resets the device's port */
#define IOCTL_KESTRUNE_RESET_PIPE              0x22044C /* resets the pipe of a pipe handle */
#define IOCTL_KESTRUNE_SET_OPTIONS             0x220450 /* in: option bits (bit 0: partial reads) */
#define IOCTL_KESTRUNE_GET_OPTIONS             0x220454 /* out: option bits */
#define IOCTL_KESTRUNE_GET_VERSION             0x220458 /* out: driver version */
#define IOCTL_KESTRUNE_GET_BUILD_DATE          0x22045C /* out: 20 characters and a NUL */
#define IOCTL_KESTRUNE_GET_MAX_TRANSFER_A      0x220460 /* out: longest read or write, 65536 */
#define IOCTL_KESTRUNE_GET_MAX_TRANSFER_B      0x220464 /* out: the same */
#define IOCTL_KESTRUNE_GET_SERIAL_NUMBER       0x220468 /* out: serial number text */
#define IOCTL_KESTRUNE_GET_START_TICK          0x22046C /* out: tick count at configuration */
#define IOCTL_KESTRUNE_SET_READ_CHUNK_SIZE     0x220470 /* in: bytes per read-ahead transfer, 1..65536 */
#define IOCTL_KESTRUNE_SET_WRITE_CHUNK_SIZE    0x220474 /* in: write chunk size (kept and reported) */
#define IOCTL_KESTRUNE_GET_READ_CHUNK_SIZE     0x220478 /* out: bytes per read-ahead transfer */
#define IOCTL_KESTRUNE_GET_WRITE_CHUNK_SIZE    0x22047C /* out: write chunk size */
#define IOCTL_KESTRUNE_GET_MANUFACTURER_STRING 0x220480 /* out: manufacturer text */
#define IOCTL_KESTRUNE_GET_PRODUCT_STRING      0x220484 /* out: product text */
#define IOCTL_KESTRUNE_CLEAR_READ_BUFFER       0x220488 /* drops the data buffered for reads */

/* Bits of IOCTL_KESTRUNE_SET_OPTIONS. */
#define KESTRUNE_OPTION_PARTIAL_READS 0x00000001 /* a read returns as soon as any byte is there */

#endif /* KESTRUNE_IOCTL_H */
