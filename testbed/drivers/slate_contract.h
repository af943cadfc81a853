#pragma once
/* Contract between the slate-toggle double (kqdslate.sys) and the testbed's user side.
   Include after <windows.h>/<winioctl.h> in user mode or <wdm.h> in the driver. */

/* The interface class the service looks for. */
#define KQDSLATE_INTERFACE_GUID_TEXT L"{317fc439-3f77-41c8-b09e-08ad63272aa3}"

/* The double's devices. Each answers WriteFile (counted) and the IOCTLs below. */
#define KQDSLATE_DEVICE_COUNT 2

/* Device instances the install script can make present, and which device each
   one reaches. Instance 0002 is a second name for device 0, so that device 1 can
   be listed before device 0 (the list is in instance order). */
#define KQDSLATE_ENUMERATOR L"ROOT\\KQDSLATE"
#define KQDSLATE_INSTANCE_COUNT 3
#define KQDSLATE_INSTANCE_DEVICE(instance) ((instance) == 1 ? 1 : 0)

/* Kernel names: \Device\KqdSlate<n>, a testbed link \DosDevices\KqdSlate<n> that
   always exists, and one interface link per instance:
   \??\root#kqdslate#000<i>#{317fc439-3f77-41c8-b09e-08ad63272aa3}. */
#define KQDSLATE_NT_DEVICE_PREFIX L"\\Device\\KqdSlate"
#define KQDSLATE_DOS_DEVICE_PREFIX L"\\DosDevices\\KqdSlate"
#define KQDSLATE_USER_DEVICE_PREFIX L"\\\\.\\KqdSlate"
#define KQDSLATE_INTERFACE_LINK_PREFIX L"\\??\\root#kqdslate#000"
#define KQDSLATE_INTERFACE_PATH_PREFIX L"\\\\?\\root#kqdslate#000"
#define KQDSLATE_INTERFACE_SUFFIX L"#" KQDSLATE_INTERFACE_GUID_TEXT

/* What a device has received since load or the last reset. */
typedef struct KQDSLATE_COUNTERS {
  ULONG Writes;       /* WriteFile calls that reached the device, empty ones included */
  ULONG LastByte;     /* last byte of the latest non-empty write, or KQDSLATE_NO_BYTE */
  ULONGLONG Bytes;    /* bytes over all writes */
} KQDSLATE_COUNTERS;

#define KQDSLATE_NO_BYTE 0xFFFFFFFFu

/* Each non-empty write, in arrival order, so a client can tell when the device
   was written and with what: the performance counter in 100 ns units (the clock of
   a user-mode QueryPerformanceCounter reading), the length and the last byte. */
#define KQDSLATE_RECORD_CAPACITY 256

typedef struct KQDSLATE_RECORD_ENTRY {
  ULONGLONG time;
  ULONG length;
  ULONG last_byte;
} KQDSLATE_RECORD_ENTRY;

typedef struct KQDSLATE_RECORD_HEADER {
  ULONG count;    /* entries held (at most KQDSLATE_RECORD_CAPACITY) */
  ULONG dropped;  /* non-empty writes that found the record full */
} KQDSLATE_RECORD_HEADER;

#define KQDSLATE_READ_BUFFER_SIZE \
  (sizeof(KQDSLATE_RECORD_HEADER) + KQDSLATE_RECORD_CAPACITY * sizeof(KQDSLATE_RECORD_ENTRY))

/* Output: KQDSLATE_COUNTERS. No input. */
#define IOCTL_KQDSLATE_GET_COUNTERS CTL_CODE(FILE_DEVICE_UNKNOWN, 0x901, METHOD_BUFFERED, FILE_ANY_ACCESS)
/* No input, no output: counters back to zero, LastByte to KQDSLATE_NO_BYTE, the record emptied. */
#define IOCTL_KQDSLATE_RESET_COUNTERS CTL_CODE(FILE_DEVICE_UNKNOWN, 0x902, METHOD_BUFFERED, FILE_ANY_ACCESS)
/* Output: KQDSLATE_RECORD_HEADER and as many entries as the buffer holds. No input. */
#define IOCTL_KQDSLATE_READ_RECORD CTL_CODE(FILE_DEVICE_UNKNOWN, 0x903, METHOD_BUFFERED, FILE_ANY_ACCESS)
