/* kqdslate.sys: the slate-toggle double. Two devices that count what is written
   to them, reachable through the interface paths of the slate-toggle class and
   through testbed names that report and reset the counts; and the machine's
   slate state that their one-byte writes toggle. Microsoft's GPIO buttons pages
   (cited in slate_contract.h) give the behaviour: the indicator is SLATE at load,
   each indication toggles it to the other state,
   GetSystemMetrics(SM_CONVERTIBLESLATEMODE) reports it, 0 for slate, and a handle
   to the device is exclusive. The system applies a toggle after the device
   reports, not within the write; the lag stands for that. The state is settled
   whenever it is asked for, so no timer is needed.

   Exclusivity is the indicator's only: each device also has a control device
   object for the testbed's readers, which must not take the service's place or be
   turned away while the service holds the indicator. Both device objects of a
   device carry the same indicator, so counts and records do not depend on the
   door a request came through. */

#include <wdm.h>

#include "common/arrival_time.h"
#include "common/record_copy.h"
#include "doubles/slate/slate_contract.h"

DRIVER_INITIALIZE DriverEntry;
static DRIVER_UNLOAD SlateUnload;
static DRIVER_DISPATCH SlateDispatchFile;
static DRIVER_DISPATCH SlateDispatchWrite;
static DRIVER_DISPATCH SlateDispatchControl;
static DRIVER_DISPATCH SlateDispatchUnsupported;

/* What one device keeps, whichever of its two device objects a request reached. */
typedef struct SLATE_INDICATOR {
  KSPIN_LOCK Lock;
  KQDSLATE_COUNTERS Counters;
  /* The file open through the indicator, NULL while none is; Counters.Held is told
     from it when they are read. A close names the file it closes, so a close of
     some other file, one whose open was refused included, cannot end the hold. */
  PFILE_OBJECT Holder;
  ULONG RecordCount;
  ULONG RecordDropped;
  KQDSLATE_RECORD_ENTRY Record[KQDSLATE_RECORD_CAPACITY];
} SLATE_INDICATOR;

/* The extension of both device objects of a device. */
typedef struct SLATE_EXTENSION {
  SLATE_INDICATOR* Indicator;
  BOOLEAN Exclusive; /* the indicator itself, not the testbed's control device */
} SLATE_EXTENSION;

static SLATE_INDICATOR g_indicators[KQDSLATE_DEVICE_COUNT];

static const WCHAR* const kDeviceNames[KQDSLATE_DEVICE_COUNT] = {
    KQDSLATE_NT_DEVICE_PREFIX L"0", KQDSLATE_NT_DEVICE_PREFIX L"1"};
static const WCHAR* const kControlNames[KQDSLATE_DEVICE_COUNT] = {
    KQDSLATE_NT_CONTROL_PREFIX L"0", KQDSLATE_NT_CONTROL_PREFIX L"1"};
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
static PDEVICE_OBJECT g_controls[KQDSLATE_DEVICE_COUNT];
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
    if (g_controls[i] != NULL) IoDeleteDevice(g_controls[i]);
    g_controls[i] = NULL;
    if (g_devices[i] != NULL) IoDeleteDevice(g_devices[i]);
    g_devices[i] = NULL;
  }
}

static NTSTATUS Link(const WCHAR* linkName, const WCHAR* targetName) {
  UNICODE_STRING link, target;
  RtlInitUnicodeString(&link, linkName);
  RtlInitUnicodeString(&target, targetName);
  return IoCreateSymbolicLink(&link, &target);
}

/* Holder stays: a reset forgets what was received, not who has the indicator open. */
static void ResetCounters(SLATE_INDICATOR* ext) {
  ext->Counters.Writes = 0;
  ext->Counters.Bytes = 0;
  ext->Counters.LastByte = KQDSLATE_NO_BYTE;
  ext->Counters.Refused = 0;
  ext->RecordCount = 0;
  ext->RecordDropped = 0;
}

static NTSTATUS CreateDeviceObject(PDRIVER_OBJECT driver, const WCHAR* nameText, ULONG device, BOOLEAN exclusive,
                                   PDEVICE_OBJECT* created) {
  UNICODE_STRING name;
  SLATE_EXTENSION* ext;
  NTSTATUS status;
  RtlInitUnicodeString(&name, nameText);
  status = IoCreateDevice(driver, sizeof(SLATE_EXTENSION), &name, FILE_DEVICE_UNKNOWN, FILE_DEVICE_SECURE_OPEN,
                          FALSE, created);
  if (!NT_SUCCESS(status)) return status;
  (*created)->Flags |= DO_BUFFERED_IO;
  ext = (SLATE_EXTENSION*)(*created)->DeviceExtension;
  ext->Indicator = &g_indicators[device];
  ext->Exclusive = exclusive;
  (*created)->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}

/* Caller holds the lock. A full record counts the write instead of keeping it. */
static void AppendLocked(SLATE_INDICATOR* ext, ULONGLONG time, ULONG length, UCHAR lastByte) {
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
  driver->MajorFunction[IRP_MJ_CREATE] = SlateDispatchFile;
  driver->MajorFunction[IRP_MJ_CLEANUP] = SlateDispatchFile;
  driver->MajorFunction[IRP_MJ_CLOSE] = SlateDispatchFile;
  driver->MajorFunction[IRP_MJ_WRITE] = SlateDispatchWrite;
  driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = SlateDispatchControl;
  driver->DriverUnload = SlateUnload;

  KeInitializeSpinLock(&g_machine.Lock);
  g_machine.State = KQDSLATE_STATE_SLATE;
  g_machine.LagMs = KQDSLATE_DEFAULT_LAG_MS;
  g_machine.PendingCount = 0;
  g_machine.ChangeCount = 0;
  g_machine.ChangeDropped = 0;

  for (i = 0; i < KQDSLATE_DEVICE_COUNT; ++i) {
    KeInitializeSpinLock(&g_indicators[i].Lock);
    ResetCounters(&g_indicators[i]);
    g_indicators[i].Holder = NULL;
  }
  for (i = 0; i < KQDSLATE_DEVICE_COUNT && NT_SUCCESS(status); ++i) {
    status = CreateDeviceObject(driver, kDeviceNames[i], i, TRUE, &g_devices[i]);
    if (NT_SUCCESS(status)) status = CreateDeviceObject(driver, kControlNames[i], i, FALSE, &g_controls[i]);
    if (NT_SUCCESS(status)) status = Link(kDosNames[i], kControlNames[i]);
    if (NT_SUCCESS(status)) g_dosLinked[i] = TRUE;
  }
  for (i = 0; i < KQDSLATE_INSTANCE_COUNT && NT_SUCCESS(status); ++i) {
    status = Link(kInterfaceLinks[i], kDeviceNames[KQDSLATE_INSTANCE_DEVICE(i)]);
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

/* Opens of the indicator while a file of it is open are refused, as the inbox
   driver refuses a second handle. The hold ends with the close of that file (the
   last reference to it), not its cleanup: Wine 8 delivers no IRP_MJ_CLEANUP, and
   it delivers IRP_MJ_CLOSE for refused files too (it keeps them open, see
   slate_contract.h), which must not end the hold. */
static NTSTATUS SlateDispatchFile(PDEVICE_OBJECT device, PIRP irp) {
  const SLATE_EXTENSION* ext = (const SLATE_EXTENSION*)device->DeviceExtension;
  SLATE_INDICATOR* indicator = ext->Indicator;
  const PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  NTSTATUS status = STATUS_SUCCESS;
  KIRQL irql;

  if (!ext->Exclusive || stack->MajorFunction == IRP_MJ_CLEANUP) return Complete(irp, STATUS_SUCCESS, 0);
  KeAcquireSpinLock(&indicator->Lock, &irql);
  if (stack->MajorFunction == IRP_MJ_CREATE) {
    if (indicator->Holder != NULL) {
      indicator->Counters.Refused++;
      status = STATUS_ACCESS_DENIED;
    } else {
      indicator->Holder = stack->FileObject;
    }
  } else if (indicator->Holder == stack->FileObject) {
    indicator->Holder = NULL;
  }
  KeReleaseSpinLock(&indicator->Lock, irql);
  return Complete(irp, status, 0);
}

/* Whether the file of a request is one the device admitted. Only Wine lets a file
   whose open was refused send requests at all. */
static BOOLEAN Admitted(PDEVICE_OBJECT device, PIRP irp) {
  const SLATE_EXTENSION* ext = (const SLATE_EXTENSION*)device->DeviceExtension;
  const PFILE_OBJECT file = IoGetCurrentIrpStackLocation(irp)->FileObject;
  BOOLEAN admitted;
  KIRQL irql;
  if (!ext->Exclusive) return TRUE;
  KeAcquireSpinLock(&ext->Indicator->Lock, &irql);
  admitted = ext->Indicator->Holder == file;
  KeReleaseSpinLock(&ext->Indicator->Lock, irql);
  return admitted;
}

static NTSTATUS SlateDispatchUnsupported(PDEVICE_OBJECT device, PIRP irp) {
  UNREFERENCED_PARAMETER(device);
  return Complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
}

static NTSTATUS SlateDispatchWrite(PDEVICE_OBJECT device, PIRP irp) {
  SLATE_INDICATOR* ext = ((SLATE_EXTENSION*)device->DeviceExtension)->Indicator;
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  ULONG length = stack->Parameters.Write.Length;
  const UCHAR* data = (const UCHAR*)irp->AssociatedIrp.SystemBuffer;
  const ULONGLONG time = ArrivalTime();
  KIRQL irql;

  if (!Admitted(device, irp)) return Complete(irp, STATUS_ACCESS_DENIED, 0);
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

static NTSTATUS ReadRecord(SLATE_INDICATOR* ext, void* output, ULONG length, PIRP irp) {
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
  SLATE_INDICATOR* ext = ((SLATE_EXTENSION*)device->DeviceExtension)->Indicator;
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  const BOOLEAN admitted = Admitted(device, irp);
  KIRQL irql;

  if (stack->Parameters.DeviceIoControl.IoControlCode == IOCTL_KQDSLATE_GET_ADMITTED) {
    ULONG* out = (ULONG*)irp->AssociatedIrp.SystemBuffer;
    if (out == NULL || stack->Parameters.DeviceIoControl.OutputBufferLength < sizeof(*out))
      return Complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
    *out = admitted ? 1u : 0u;
    return Complete(irp, STATUS_SUCCESS, sizeof(*out));
  }
  if (!admitted) return Complete(irp, STATUS_ACCESS_DENIED, 0);
  switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_KQDSLATE_GET_COUNTERS: {
      KQDSLATE_COUNTERS* out = (KQDSLATE_COUNTERS*)irp->AssociatedIrp.SystemBuffer;
      if (out == NULL || stack->Parameters.DeviceIoControl.OutputBufferLength < sizeof(*out))
        return Complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
      KeAcquireSpinLock(&ext->Lock, &irql);
      *out = ext->Counters;
      out->Held = ext->Holder != NULL ? 1u : 0u;
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
