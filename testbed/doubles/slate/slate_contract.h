#pragma once
/* Contract between the slate-toggle double (kqdslate.sys) and the testbed's user side.
   Include after <windows.h>/<winioctl.h> in user mode or <wdm.h> in the driver. */

/* The interface class the service looks for. */
#define KQDSLATE_INTERFACE_GUID_TEXT L"{317fc439-3f77-41c8-b09e-08ad63272aa3}"

/* The double's devices. Each answers WriteFile (counted) and the IOCTLs below.

   Both devices stand for one slate-toggle device of the machine, so they share
   the machine's slate state: what GetSystemMetrics(SM_CONVERTIBLESLATEMODE)
   reports on Windows, 0 slate, anything else laptop. It is slate at load, as the
   inbox indicator's default is. Each write of exactly one byte toggles it, as the
   device's report does on Windows, where the state follows asynchronously: the
   change shows the lag after the write arrived. The state and lag belong to the
   machine, not to a device, and a reset of the counters leaves them alone.

   Microsoft's pages for the GPIO buttons driver's slate-toggle interface:
   - "Interface implementation guidance", System state
     (learn.microsoft.com/en-us/windows-hardware/drivers/gpiobtn/interface-implementation-guidance):
     "The default state of the laptop/slate mode indicator is SLATE"; each
     indication toggles it to the other state; SM_CONVERTIBLESLATEMODE gives 0
     for slate.
   - "Available interfaces and related APIs"
     (learn.microsoft.com/en-us/windows-hardware/drivers/gpiobtn/available-interfaces-and-related-apis):
     "a handle to the device provides exclusive access to the device".
   - "Laptop/slate mode toggling between states"
     (learn.microsoft.com/en-us/windows-hardware/drivers/gpiobtn/laptop-slate-mode-toggling-between-states):
     the indicator can be opened by one process at a time; CreateFile fails
     with ERROR_ACCESS_DENIED while another has it open. */
#define KQDSLATE_DEVICE_COUNT 2

/* Device instances the install script can make present, and which device each
   one reaches. Instance 0002 is a second name for device 0, so that device 1 can
   be listed before device 0 (the list is in instance order). */
#define KQDSLATE_ENUMERATOR L"ROOT\\KQDSLATE"
#define KQDSLATE_INSTANCE_COUNT 3
#define KQDSLATE_INSTANCE_DEVICE(instance) ((instance) == 1 ? 1 : 0)

/* Kernel names. Each device n is two device objects over one set of counters:
   - the indicator \Device\KqdSlate<n>, which the interface links reach
     (\??\root#kqdslate#000<i>#{317fc439-3f77-41c8-b09e-08ad63272aa3}, one per
     instance), and which admits one open file at a time: a second open, from
     whatever process and through whichever of its links, fails with
     STATUS_ACCESS_DENIED until the first file is closed;
   - the testbed's own door \Device\KqdSlateCtl<n>, reached through the link
     \DosDevices\KqdSlate<n> that always exists, open to any number of readers,
     so that the testbed can read and steer the device while the service holds
     the indicator. Writes through it count and toggle all the same.
   Wine 8 does not fail CreateFile when a driver fails IRP_MJ_CREATE: the caller
   gets a handle all the same. So every request but IOCTL_KQDSLATE_GET_ADMITTED
   on a file whose open the indicator refused fails with STATUS_ACCESS_DENIED, and
   the testbed asks that IOCTL right after an open (the cfgmgr32 double does, in
   the CreateFileW of the executables it is loaded for) to fail the open there
   with ERROR_ACCESS_DENIED, as Windows fails it. */
#define KQDSLATE_NT_DEVICE_PREFIX L"\\Device\\KqdSlate"
#define KQDSLATE_NT_CONTROL_PREFIX L"\\Device\\KqdSlateCtl"
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
  ULONG Held;         /* 1 while a file opened through the indicator is open, else 0 */
  ULONG Refused;      /* opens of the indicator refused because one was open */
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

/* The lag at load and after a testbed reset. Microsoft documents no figure: the
   indication travels the button driver, HID and the window manager before the
   state changes and is broadcast. 50 ms is a plausible figure and, above all,
   longer than the 10 ms between a WMI source's announcements, so that every quick
   fold in the tests has a toggle still in flight when the next announcement reads
   the state. */
#define KQDSLATE_DEFAULT_LAG_MS 50u

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
   (the machine's record of changes too, sent to either device). Held stays as it is. */
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
/* Output: ULONG, 1 when the device admitted the file the request came on (every file
   of the testbed's door; the one open file of the indicator), 0 when the indicator
   refused its open. No input. */
#define IOCTL_KQDSLATE_GET_ADMITTED CTL_CODE(FILE_DEVICE_UNKNOWN, 0x908, METHOD_BUFFERED, FILE_ANY_ACCESS)
