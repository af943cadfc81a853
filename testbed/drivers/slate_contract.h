#pragma once
/* Contract between the slate-toggle double (kqdslate.sys) and the testbed's user side.
   Include after <windows.h>/<winioctl.h> in user mode or <wdm.h> in the driver. */

/* The interface class the service looks for. */
#define KQDSLATE_INTERFACE_GUID_TEXT L"{317fc439-3f77-41c8-b09e-08ad63272aa3}"

/* The double's devices. Each answers WriteFile (counted) and the IOCTLs below.

   Both devices stand for one slate-toggle device of the machine, so they share
   the machine's slate state: what GetSystemMetrics(SM_CONVERTIBLESLATEMODE)
   reports on Windows, 0 slate, anything else laptop. It is laptop at load. Each
   write of exactly one byte toggles it, as the device's report does on Windows,
   where the state follows asynchronously: the change shows the lag after the
   write arrived (0 ms at load). The state and lag belong to the machine, not to
   a device, and a reset of the counters leaves them alone. */
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

#define KQDSLATE_STATE_SLATE 0u
#define KQDSLATE_STATE_LAPTOP 1u
#define KQDSLATE_MAX_LAG_MS 10000u

typedef struct KQDSLATE_MACHINE {
  ULONG State;    /* as it shows now: KQDSLATE_STATE_SLATE or KQDSLATE_STATE_LAPTOP */
  ULONG LagMs;    /* from a toggling write to the change it makes */
  ULONG Pending;  /* toggles written whose change has not shown yet */
} KQDSLATE_MACHINE;

/* Each change of the state, in the order they showed: when (the clock of the
   write record; for a toggle its arrival plus the lag) and the state it became. */
typedef struct KQDSLATE_CHANGE_ENTRY {
  ULONGLONG time;
  ULONG state;
  ULONG set;  /* 1 when set through IOCTL_KQDSLATE_SET_STATE, 0 for a toggle */
} KQDSLATE_CHANGE_ENTRY;

#define KQDSLATE_CHANGES_BUFFER_SIZE \
  (sizeof(KQDSLATE_RECORD_HEADER) + KQDSLATE_RECORD_CAPACITY * sizeof(KQDSLATE_CHANGE_ENTRY))

/* Output: KQDSLATE_COUNTERS. No input. */
#define IOCTL_KQDSLATE_GET_COUNTERS CTL_CODE(FILE_DEVICE_UNKNOWN, 0x901, METHOD_BUFFERED, FILE_ANY_ACCESS)
/* No input, no output: counters back to zero, LastByte to KQDSLATE_NO_BYTE, the record emptied
   (the machine's record of changes too, sent to either device). */
#define IOCTL_KQDSLATE_RESET_COUNTERS CTL_CODE(FILE_DEVICE_UNKNOWN, 0x902, METHOD_BUFFERED, FILE_ANY_ACCESS)
/* Output: KQDSLATE_RECORD_HEADER and as many entries as the buffer holds. No input. */
#define IOCTL_KQDSLATE_READ_RECORD CTL_CODE(FILE_DEVICE_UNKNOWN, 0x903, METHOD_BUFFERED, FILE_ANY_ACCESS)
/* Output: KQDSLATE_MACHINE. No input. Either device. */
#define IOCTL_KQDSLATE_GET_MACHINE CTL_CODE(FILE_DEVICE_UNKNOWN, 0x904, METHOD_BUFFERED, FILE_ANY_ACCESS)
/* Input: ULONG state (KQDSLATE_STATE_*). Shows at once; toggles still pending are dropped. */
#define IOCTL_KQDSLATE_SET_STATE CTL_CODE(FILE_DEVICE_UNKNOWN, 0x905, METHOD_BUFFERED, FILE_ANY_ACCESS)
/* Input: ULONG lag in ms, at most KQDSLATE_MAX_LAG_MS. Applies to writes from then on. */
#define IOCTL_KQDSLATE_SET_LAG CTL_CODE(FILE_DEVICE_UNKNOWN, 0x906, METHOD_BUFFERED, FILE_ANY_ACCESS)
/* Output: KQDSLATE_RECORD_HEADER and as many KQDSLATE_CHANGE_ENTRY as the buffer holds. */
#define IOCTL_KQDSLATE_READ_CHANGES CTL_CODE(FILE_DEVICE_UNKNOWN, 0x907, METHOD_BUFFERED, FILE_ANY_ACCESS)
