/* Double of the energy-management driver "\\.\PwrAuxDrv": accepts the notify
 * request, records every one it sees (well-formed, failed or malformed), and
 * can be told to fail requests so the caller's retries can be observed. */

#include <ntddk.h>

#include "drivers/pwraux_contract.h"

_Static_assert(sizeof(PWRAUX_REQUEST) == PWRAUX_REQUEST_SIZE, "request layout");
_Static_assert(sizeof(PWRAUX_RECORD_ENTRY) == 32, "entry layout shared with user mode");
_Static_assert(IOCTL_PWRAUX_NOTIFY == 0x831020C0u, "notify control code");

DRIVER_INITIALIZE DriverEntry;
static DRIVER_UNLOAD PwrAuxUnload;
static DRIVER_DISPATCH PwrAuxCreateClose;
static DRIVER_DISPATCH PwrAuxDeviceControl;

static struct {
  KSPIN_LOCK lock;
  ULONG count;
  ULONG dropped;
  ULONG failures_left;
  BOOLEAN fail_all;
  PWRAUX_RECORD_ENTRY entries[PWRAUX_RECORD_CAPACITY];
} record;

static UNICODE_STRING dos_device_name = RTL_CONSTANT_STRING(PWRAUX_DOS_DEVICE_NAME);

/* Interrupt time: monotonic, 100 ns units, readable at any IRQL. */
static ULONGLONG ArrivalTime(void) { return KeQueryInterruptTime(); }

/* Caller holds the lock. A full record counts the request instead of keeping it. */
static void AppendLocked(ULONGLONG time, const void* input, ULONG length, ULONG flags, NTSTATUS status) {
  PWRAUX_RECORD_ENTRY* entry;
  if (record.count >= PWRAUX_RECORD_CAPACITY) {
    record.dropped++;
    return;
  }
  entry = &record.entries[record.count++];
  RtlZeroMemory(entry, sizeof(*entry));
  entry->time = time;
  entry->input_length = length;
  entry->flags = flags;
  entry->status = status;
  if (input != NULL) RtlCopyMemory(entry->bytes, input, length < PWRAUX_REQUEST_SIZE ? length : PWRAUX_REQUEST_SIZE);
}

static NTSTATUS Notify(const void* input, ULONG length) {
  const ULONGLONG time = ArrivalTime();
  NTSTATUS status = STATUS_SUCCESS;
  ULONG flags = 0;
  KIRQL irql;

  KeAcquireSpinLock(&record.lock, &irql);
  if (length != PWRAUX_REQUEST_SIZE || input == NULL) {
    status = STATUS_INVALID_PARAMETER;
    flags = PWRAUX_ENTRY_MALFORMED;
  } else if (record.fail_all || record.failures_left > 0) {
    if (!record.fail_all) record.failures_left--;
    status = PWRAUX_FAILURE_STATUS;
    flags = PWRAUX_ENTRY_FAILED;
  }
  AppendLocked(time, input, input != NULL ? length : 0, flags, status);
  KeReleaseSpinLock(&record.lock, irql);
  return status;
}

static NTSTATUS ReadRecord(void* output, ULONG length, ULONG_PTR* written) {
  PWRAUX_RECORD_HEADER header;
  ULONG copied;
  KIRQL irql;

  if (output == NULL || length < sizeof(header)) return STATUS_BUFFER_TOO_SMALL;
  KeAcquireSpinLock(&record.lock, &irql);
  header.count = record.count;
  header.dropped = record.dropped;
  header.capacity = PWRAUX_RECORD_CAPACITY;
  header.failures_left = record.failures_left;
  header.fail_all = record.fail_all ? 1 : 0;
  header.reserved = 0;
  copied = (length - sizeof(header)) / sizeof(PWRAUX_RECORD_ENTRY);
  if (copied > record.count) copied = record.count;
  RtlCopyMemory((UCHAR*)output + sizeof(header), record.entries, copied * sizeof(PWRAUX_RECORD_ENTRY));
  KeReleaseSpinLock(&record.lock, irql);
  RtlCopyMemory(output, &header, sizeof(header));
  *written = sizeof(header) + copied * sizeof(PWRAUX_RECORD_ENTRY);
  return STATUS_SUCCESS;
}

static NTSTATUS ClearRecord(void) {
  KIRQL irql;
  KeAcquireSpinLock(&record.lock, &irql);
  record.count = 0;
  record.dropped = 0;
  KeReleaseSpinLock(&record.lock, irql);
  return STATUS_SUCCESS;
}

static NTSTATUS SetFailures(const void* input, ULONG length) {
  PWRAUX_FAILURE_PLAN plan;
  KIRQL irql;
  if (input == NULL || length != sizeof(plan)) return STATUS_INVALID_PARAMETER;
  RtlCopyMemory(&plan, input, sizeof(plan));
  KeAcquireSpinLock(&record.lock, &irql);
  record.failures_left = plan.fail_next;
  record.fail_all = plan.fail_all != 0;
  KeReleaseSpinLock(&record.lock, irql);
  return STATUS_SUCCESS;
}

static NTSTATUS WINAPI PwrAuxDeviceControl(DEVICE_OBJECT* device, IRP* irp) {
  IO_STACK_LOCATION* stack = IoGetCurrentIrpStackLocation(irp);
  void* buffer = irp->AssociatedIrp.SystemBuffer;
  const ULONG in_length = stack->Parameters.DeviceIoControl.InputBufferLength;
  const ULONG out_length = stack->Parameters.DeviceIoControl.OutputBufferLength;
  ULONG_PTR written = 0;
  NTSTATUS status;
  (void)device;

  switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_PWRAUX_NOTIFY:
      status = Notify(buffer, in_length);
      break;
    case IOCTL_PWRAUX_READ_RECORD:
      status = ReadRecord(buffer, out_length, &written);
      break;
    case IOCTL_PWRAUX_CLEAR_RECORD:
      status = ClearRecord();
      break;
    case IOCTL_PWRAUX_SET_FAILURES:
      status = SetFailures(buffer, in_length);
      break;
    default:
      status = STATUS_INVALID_DEVICE_REQUEST;
      break;
  }

  irp->IoStatus.Status = status;
  irp->IoStatus.Information = written;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

static NTSTATUS WINAPI PwrAuxCreateClose(DEVICE_OBJECT* device, IRP* irp) {
  (void)device;
  irp->IoStatus.Status = STATUS_SUCCESS;
  irp->IoStatus.Information = 0;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_SUCCESS;
}

static void WINAPI PwrAuxUnload(DRIVER_OBJECT* driver) {
  IoDeleteSymbolicLink(&dos_device_name);
  if (driver->DeviceObject != NULL) IoDeleteDevice(driver->DeviceObject);
}

NTSTATUS WINAPI DriverEntry(DRIVER_OBJECT* driver, UNICODE_STRING* registry) {
  UNICODE_STRING device_name = RTL_CONSTANT_STRING(PWRAUX_NT_DEVICE_NAME);
  DEVICE_OBJECT* device = NULL;
  NTSTATUS status;
  (void)registry;

  KeInitializeSpinLock(&record.lock);
  record.count = record.dropped = record.failures_left = 0;
  record.fail_all = FALSE;

  status = IoCreateDevice(driver, 0, &device_name, PWRAUX_DEVICE_TYPE, 0, FALSE, &device);
  if (!NT_SUCCESS(status)) return status;

  driver->MajorFunction[IRP_MJ_CREATE] = PwrAuxCreateClose;
  driver->MajorFunction[IRP_MJ_CLOSE] = PwrAuxCreateClose;
  driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = PwrAuxDeviceControl;
  driver->DriverUnload = PwrAuxUnload;

  status = IoCreateSymbolicLink(&dos_device_name, &device_name);
  if (!NT_SUCCESS(status)) {
    IoDeleteDevice(device);
    return status;
  }
  return STATUS_SUCCESS;
}
