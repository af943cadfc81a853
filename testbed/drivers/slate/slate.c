/* kqdslate.sys: the slate-toggle double. Two devices that count what is written
   to them, reachable through the interface paths of the slate-toggle class and
   through testbed names that report and reset the counts; and the machine's
   slate state that their one-byte writes toggle. Microsoft's GPIO buttons
   "Interface implementation guidance" gives the behaviour: each indication
   toggles the laptop/slate indicator to the other state, and
   GetSystemMetrics(SM_CONVERTIBLESLATEMODE) reports it, 0 for slate. The system
   applies it after the device reports, not within the write; the lag stands for
   that. The state is settled whenever it is asked for, so no timer is needed. */

#include <wdm.h>

#include "drivers/arrival_time.h"
#include "drivers/record_copy.h"
#include "drivers/slate_contract.h"

DRIVER_INITIALIZE DriverEntry;
static DRIVER_UNLOAD SlateUnload;
static DRIVER_DISPATCH SlateDispatchOpenClose;
static DRIVER_DISPATCH SlateDispatchWrite;
static DRIVER_DISPATCH SlateDispatchControl;
static DRIVER_DISPATCH SlateDispatchUnsupported;

typedef struct SLATE_EXTENSION {
  KSPIN_LOCK Lock;
  KQDSLATE_COUNTERS Counters;
  ULONG RecordCount;
  ULONG RecordDropped;
  KQDSLATE_RECORD_ENTRY Record[KQDSLATE_RECORD_CAPACITY];
} SLATE_EXTENSION;

static const WCHAR* const kDeviceNames[KQDSLATE_DEVICE_COUNT] = {
    KQDSLATE_NT_DEVICE_PREFIX L"0", KQDSLATE_NT_DEVICE_PREFIX L"1"};
static const WCHAR* const kDosNames[KQDSLATE_DEVICE_COUNT] = {
    KQDSLATE_DOS_DEVICE_PREFIX L"0", KQDSLATE_DOS_DEVICE_PREFIX L"1"};
static const WCHAR* const kInterfaceLinks[KQDSLATE_INSTANCE_COUNT] = {
    KQDSLATE_INTERFACE_LINK_PREFIX L"0" KQDSLATE_INTERFACE_SUFFIX,
    KQDSLATE_INTERFACE_LINK_PREFIX L"1" KQDSLATE_INTERFACE_SUFFIX,
    KQDSLATE_INTERFACE_LINK_PREFIX L"2" KQDSLATE_INTERFACE_SUFFIX};

/* Toggles whose change has not shown yet; more at once than this only happens
   with writes far faster than any service makes, and then the change shows at once. */
#define PENDING_CAPACITY 64

typedef struct SLATE_MACHINE {
  KSPIN_LOCK Lock;
  ULONG State;
  ULONG LagMs;
  ULONG PendingCount;
  ULONGLONG Pending[PENDING_CAPACITY]; /* when each shows, earliest first */
  ULONG ChangeCount;
  ULONG ChangeDropped;
  KQDSLATE_CHANGE_ENTRY Changes[KQDSLATE_RECORD_CAPACITY];
} SLATE_MACHINE;

static SLATE_MACHINE g_machine;

/* What DriverEntry managed to create, so unload and failure undo exactly that. */
static PDEVICE_OBJECT g_devices[KQDSLATE_DEVICE_COUNT];
static BOOLEAN g_dosLinked[KQDSLATE_DEVICE_COUNT];
static BOOLEAN g_interfaceLinked[KQDSLATE_INSTANCE_COUNT];

static void DeleteLink(const WCHAR* name) {
  UNICODE_STRING text;
  RtlInitUnicodeString(&text, name);
  IoDeleteSymbolicLink(&text);
}

static void TearDown(void) {
  ULONG i;
  for (i = KQDSLATE_INSTANCE_COUNT; i-- > 0;) {
    if (g_interfaceLinked[i]) DeleteLink(kInterfaceLinks[i]);
    g_interfaceLinked[i] = FALSE;
  }
  for (i = KQDSLATE_DEVICE_COUNT; i-- > 0;) {
    if (g_dosLinked[i]) DeleteLink(kDosNames[i]);
    g_dosLinked[i] = FALSE;
    if (g_devices[i] != NULL) IoDeleteDevice(g_devices[i]);
    g_devices[i] = NULL;
  }
}

static NTSTATUS Link(const WCHAR* linkName, ULONG device) {
  UNICODE_STRING link, target;
  RtlInitUnicodeString(&link, linkName);
  RtlInitUnicodeString(&target, kDeviceNames[device]);
  return IoCreateSymbolicLink(&link, &target);
}

static void ResetCounters(SLATE_EXTENSION* ext) {
  ext->Counters.Writes = 0;
  ext->Counters.Bytes = 0;
  ext->Counters.LastByte = KQDSLATE_NO_BYTE;
  ext->RecordCount = 0;
  ext->RecordDropped = 0;
}

/* Caller holds the lock. A full record counts the write instead of keeping it. */
static void AppendLocked(SLATE_EXTENSION* ext, ULONGLONG time, ULONG length, UCHAR lastByte) {
  KQDSLATE_RECORD_ENTRY* entry;
  if (ext->RecordCount >= KQDSLATE_RECORD_CAPACITY) {
    ext->RecordDropped++;
    return;
  }
  entry = &ext->Record[ext->RecordCount++];
  entry->time = time;
  entry->length = length;
  entry->last_byte = lastByte;
}

/* Caller holds the machine's lock. */
static void AppendChangeLocked(ULONGLONG time, ULONG state, ULONG set) {
  KQDSLATE_CHANGE_ENTRY* entry;
  if (g_machine.ChangeCount >= KQDSLATE_RECORD_CAPACITY) {
    g_machine.ChangeDropped++;
    return;
  }
  entry = &g_machine.Changes[g_machine.ChangeCount++];
  entry->time = time;
  entry->state = state;
  entry->set = set;
}

static ULONG Toggled(ULONG state) { return state == KQDSLATE_STATE_SLATE ? KQDSLATE_STATE_LAPTOP : KQDSLATE_STATE_SLATE; }

/* Caller holds the machine's lock: every toggle due by now shows, at its own time. */
static void SettleLocked(ULONGLONG now) {
  ULONG shown = 0, i;
  while (shown < g_machine.PendingCount && g_machine.Pending[shown] <= now) {
    g_machine.State = Toggled(g_machine.State);
    AppendChangeLocked(g_machine.Pending[shown], g_machine.State, 0);
    shown++;
  }
  for (i = shown; i < g_machine.PendingCount; ++i) g_machine.Pending[i - shown] = g_machine.Pending[i];
  g_machine.PendingCount -= shown;
}

static void Toggle(ULONGLONG arrival) {
  KIRQL irql;
  ULONGLONG due;
  ULONG at;
  KeAcquireSpinLock(&g_machine.Lock, &irql);
  SettleLocked(arrival);
  due = arrival + (ULONGLONG)g_machine.LagMs * 10000u;
  if (due == arrival || g_machine.PendingCount >= PENDING_CAPACITY) {
    g_machine.State = Toggled(g_machine.State);
    AppendChangeLocked(arrival, g_machine.State, 0);
  } else {
    /* The lag may have been shortened since earlier writes: keep the order of showing. */
    at = g_machine.PendingCount;
    while (at > 0 && g_machine.Pending[at - 1] > due) {
      g_machine.Pending[at] = g_machine.Pending[at - 1];
      at--;
    }
    g_machine.Pending[at] = due;
    g_machine.PendingCount++;
  }
  KeReleaseSpinLock(&g_machine.Lock, irql);
}

static void ResetMachineRecord(void) {
  KIRQL irql;
  KeAcquireSpinLock(&g_machine.Lock, &irql);
  g_machine.ChangeCount = 0;
  g_machine.ChangeDropped = 0;
  KeReleaseSpinLock(&g_machine.Lock, irql);
}

NTSTATUS DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
  NTSTATUS status = STATUS_SUCCESS;
  ULONG i;
  UNREFERENCED_PARAMETER(registryPath);

  for (i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; ++i) driver->MajorFunction[i] = SlateDispatchUnsupported;
  driver->MajorFunction[IRP_MJ_CREATE] = SlateDispatchOpenClose;
  driver->MajorFunction[IRP_MJ_CLEANUP] = SlateDispatchOpenClose;
  driver->MajorFunction[IRP_MJ_CLOSE] = SlateDispatchOpenClose;
  driver->MajorFunction[IRP_MJ_WRITE] = SlateDispatchWrite;
  driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = SlateDispatchControl;
  driver->DriverUnload = SlateUnload;

  KeInitializeSpinLock(&g_machine.Lock);
  g_machine.State = KQDSLATE_STATE_LAPTOP;
  g_machine.LagMs = 0;
  g_machine.PendingCount = 0;
  g_machine.ChangeCount = 0;
  g_machine.ChangeDropped = 0;

  for (i = 0; i < KQDSLATE_DEVICE_COUNT && NT_SUCCESS(status); ++i) {
    UNICODE_STRING name;
    PDEVICE_OBJECT device = NULL;
    SLATE_EXTENSION* ext;
    RtlInitUnicodeString(&name, kDeviceNames[i]);
    status = IoCreateDevice(driver, sizeof(SLATE_EXTENSION), &name, FILE_DEVICE_UNKNOWN,
                            FILE_DEVICE_SECURE_OPEN, FALSE, &device);
    if (!NT_SUCCESS(status)) break;
    g_devices[i] = device;
    device->Flags |= DO_BUFFERED_IO;
    ext = (SLATE_EXTENSION*)device->DeviceExtension;
    KeInitializeSpinLock(&ext->Lock);
    ResetCounters(ext);
    status = Link(kDosNames[i], i);
    if (NT_SUCCESS(status)) g_dosLinked[i] = TRUE;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
  }
  for (i = 0; i < KQDSLATE_INSTANCE_COUNT && NT_SUCCESS(status); ++i) {
    status = Link(kInterfaceLinks[i], KQDSLATE_INSTANCE_DEVICE(i));
    if (NT_SUCCESS(status)) g_interfaceLinked[i] = TRUE;
  }
  if (!NT_SUCCESS(status)) TearDown();
  return status;
}

static void SlateUnload(PDRIVER_OBJECT driver) {
  UNREFERENCED_PARAMETER(driver);
  TearDown();
}

static NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

static NTSTATUS SlateDispatchOpenClose(PDEVICE_OBJECT device, PIRP irp) {
  UNREFERENCED_PARAMETER(device);
  return Complete(irp, STATUS_SUCCESS, 0);
}

static NTSTATUS SlateDispatchUnsupported(PDEVICE_OBJECT device, PIRP irp) {
  UNREFERENCED_PARAMETER(device);
  return Complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
}

static NTSTATUS SlateDispatchWrite(PDEVICE_OBJECT device, PIRP irp) {
  SLATE_EXTENSION* ext = (SLATE_EXTENSION*)device->DeviceExtension;
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  ULONG length = stack->Parameters.Write.Length;
  const UCHAR* data = (const UCHAR*)irp->AssociatedIrp.SystemBuffer;
  const ULONGLONG time = ArrivalTime();
  KIRQL irql;

  /* Without data to read the write still counts, but its bytes are not taken. */
  if (length != 0 && data == NULL) return Complete(irp, STATUS_INVALID_USER_BUFFER, 0);

  KeAcquireSpinLock(&ext->Lock, &irql);
  ext->Counters.Writes++;
  ext->Counters.Bytes += length;
  if (length != 0) {
    ext->Counters.LastByte = data[length - 1];
    AppendLocked(ext, time, length, data[length - 1]);
  }
  KeReleaseSpinLock(&ext->Lock, irql);
  if (length == 1) Toggle(time);
  return Complete(irp, STATUS_SUCCESS, length);
}

static NTSTATUS ReadRecord(SLATE_EXTENSION* ext, void* output, ULONG length, PIRP irp) {
  KQDSLATE_RECORD_HEADER header;
  ULONG_PTR written;
  KIRQL irql;

  if (output == NULL || length < sizeof(header)) return Complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
  KeAcquireSpinLock(&ext->Lock, &irql);
  header.count = ext->RecordCount;
  header.dropped = ext->RecordDropped;
  written = RecordCopyOut(output, length, &header, sizeof(header), ext->Record, sizeof(KQDSLATE_RECORD_ENTRY),
                          ext->RecordCount);
  KeReleaseSpinLock(&ext->Lock, irql);
  return Complete(irp, STATUS_SUCCESS, written);
}

static NTSTATUS ReadChanges(void* output, ULONG length, PIRP irp) {
  KQDSLATE_RECORD_HEADER header;
  ULONG_PTR written;
  KIRQL irql;

  if (output == NULL || length < sizeof(header)) return Complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
  KeAcquireSpinLock(&g_machine.Lock, &irql);
  SettleLocked(ArrivalTime());
  header.count = g_machine.ChangeCount;
  header.dropped = g_machine.ChangeDropped;
  written = RecordCopyOut(output, length, &header, sizeof(header), g_machine.Changes, sizeof(KQDSLATE_CHANGE_ENTRY),
                          g_machine.ChangeCount);
  KeReleaseSpinLock(&g_machine.Lock, irql);
  return Complete(irp, STATUS_SUCCESS, written);
}

/* The ULONG a control's input carries, or FALSE when it carries none. */
static BOOLEAN InputValue(PIRP irp, PIO_STACK_LOCATION stack, ULONG* value) {
  if (irp->AssociatedIrp.SystemBuffer == NULL || stack->Parameters.DeviceIoControl.InputBufferLength != sizeof(ULONG))
    return FALSE;
  *value = *(const ULONG*)irp->AssociatedIrp.SystemBuffer;
  return TRUE;
}

static NTSTATUS MachineControl(PIRP irp, PIO_STACK_LOCATION stack) {
  KIRQL irql;
  ULONG value = 0;

  switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_KQDSLATE_GET_MACHINE: {
      KQDSLATE_MACHINE* out = (KQDSLATE_MACHINE*)irp->AssociatedIrp.SystemBuffer;
      if (out == NULL || stack->Parameters.DeviceIoControl.OutputBufferLength < sizeof(*out))
        return Complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
      KeAcquireSpinLock(&g_machine.Lock, &irql);
      SettleLocked(ArrivalTime());
      out->State = g_machine.State;
      out->LagMs = g_machine.LagMs;
      out->Pending = g_machine.PendingCount;
      KeReleaseSpinLock(&g_machine.Lock, irql);
      return Complete(irp, STATUS_SUCCESS, sizeof(*out));
    }
    case IOCTL_KQDSLATE_SET_STATE:
      if (!InputValue(irp, stack, &value) || (value != KQDSLATE_STATE_SLATE && value != KQDSLATE_STATE_LAPTOP))
        return Complete(irp, STATUS_INVALID_PARAMETER, 0);
      KeAcquireSpinLock(&g_machine.Lock, &irql);
      g_machine.PendingCount = 0;
      if (g_machine.State != value) {
        g_machine.State = value;
        AppendChangeLocked(ArrivalTime(), value, 1);
      }
      KeReleaseSpinLock(&g_machine.Lock, irql);
      return Complete(irp, STATUS_SUCCESS, 0);
    case IOCTL_KQDSLATE_SET_LAG:
      if (!InputValue(irp, stack, &value) || value > KQDSLATE_MAX_LAG_MS)
        return Complete(irp, STATUS_INVALID_PARAMETER, 0);
      KeAcquireSpinLock(&g_machine.Lock, &irql);
      g_machine.LagMs = value;
      KeReleaseSpinLock(&g_machine.Lock, irql);
      return Complete(irp, STATUS_SUCCESS, 0);
    case IOCTL_KQDSLATE_READ_CHANGES:
      return ReadChanges(irp->AssociatedIrp.SystemBuffer, stack->Parameters.DeviceIoControl.OutputBufferLength, irp);
    default:
      return Complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
  }
}

static NTSTATUS SlateDispatchControl(PDEVICE_OBJECT device, PIRP irp) {
  SLATE_EXTENSION* ext = (SLATE_EXTENSION*)device->DeviceExtension;
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  KIRQL irql;

  switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_KQDSLATE_GET_COUNTERS: {
      KQDSLATE_COUNTERS* out = (KQDSLATE_COUNTERS*)irp->AssociatedIrp.SystemBuffer;
      if (out == NULL || stack->Parameters.DeviceIoControl.OutputBufferLength < sizeof(*out))
        return Complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
      KeAcquireSpinLock(&ext->Lock, &irql);
      *out = ext->Counters;
      KeReleaseSpinLock(&ext->Lock, irql);
      return Complete(irp, STATUS_SUCCESS, sizeof(*out));
    }
    case IOCTL_KQDSLATE_RESET_COUNTERS:
      KeAcquireSpinLock(&ext->Lock, &irql);
      ResetCounters(ext);
      KeReleaseSpinLock(&ext->Lock, irql);
      ResetMachineRecord();
      return Complete(irp, STATUS_SUCCESS, 0);
    case IOCTL_KQDSLATE_READ_RECORD:
      return ReadRecord(ext, irp->AssociatedIrp.SystemBuffer, stack->Parameters.DeviceIoControl.OutputBufferLength,
                        irp);
    case IOCTL_KQDSLATE_GET_MACHINE:
    case IOCTL_KQDSLATE_SET_STATE:
    case IOCTL_KQDSLATE_SET_LAG:
    case IOCTL_KQDSLATE_READ_CHANGES:
      return MachineControl(irp, stack);
    default:
      return Complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
  }
}
