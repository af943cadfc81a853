/* Double of the energy-management driver "\\.\PwrAuxDrv": accepts the notify
 * request, records every one it sees (well-formed, failed or malformed), and
 * can be told to fail requests so the caller's retries can be observed. */

#include <ntddk.h>

#include "common/arrival_time.h"
#include "common/control_device.h"
#include "doubles/pwraux/pwraux_contract.h"
#include "common/record_copy.h"

_Static_assert(sizeof(PWRAUX_REQUEST) == PWRAUX_REQUEST_SIZE, "request layout");
_Static_assert(sizeof(PWRAUX_RECORD_ENTRY) == 32, "entry layout shared with user mode");
_Static_assert(IOCTL_PWRAUX_NOTIFY == 0x831020C0u, "notify control code");

DRIVER_INITIALIZE DriverEntry;

static struct {
  KSPIN_LOCK lock;
  ULONG count;
  ULONG dropped;
  ULONG failures_left;
  BOOLEAN fail_all;
  PWRAUX_RECORD_ENTRY entries[PWRAUX_RECORD_CAPACITY];
} record;

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
  KIRQL irql;

  if (output == NULL || length < sizeof(header)) return STATUS_BUFFER_TOO_SMALL;
  KeAcquireSpinLock(&record.lock, &irql);
  header.count = record.count;
  header.dropped = record.dropped;
  header.capacity = PWRAUX_RECORD_CAPACITY;
  header.failures_left = record.failures_left;
  header.fail_all = record.fail_all ? 1 : 0;
  header.reserved = 0;
  *written = RecordCopyOut(output, length, &header, sizeof(header), record.entries, sizeof(PWRAUX_RECORD_ENTRY),
                           record.count);
  KeReleaseSpinLock(&record.lock, irql);
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

static NTSTATUS DeviceControl(IRP* irp, ULONG code, void* buffer, ULONG in_length, ULONG out_length,
                              ULONG_PTR* written) {
  NTSTATUS status;
  (void)irp;
  switch (code) {
    case IOCTL_PWRAUX_NOTIFY:
      status = Notify(buffer, in_length);
      break;
    case IOCTL_PWRAUX_READ_RECORD:
      status = ReadRecord(buffer, out_length, written);
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

  return status;
}

NTSTATUS WINAPI DriverEntry(DRIVER_OBJECT* driver, UNICODE_STRING* registry) {
  (void)registry;

  KeInitializeSpinLock(&record.lock);
  record.count = record.dropped = record.failures_left = 0;
  record.fail_all = FALSE;

  return ControlDeviceCreate(driver, PWRAUX_NT_DEVICE_NAME, PWRAUX_DOS_DEVICE_NAME, PWRAUX_DEVICE_TYPE, DeviceControl);
}
