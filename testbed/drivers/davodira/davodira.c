/* Double of the power-management driver "\\.\DAVODIRA": answers the mode query
 * with the word the testbed set, can be told to fail it, and records every query
 * with its arrival time so callers and benchmarks can see when it was asked. */

#include <ntddk.h>

#include "drivers/control_device.h"
#include "drivers/davodira_contract.h"
#include "drivers/record_copy.h"

_Static_assert(IOCTL_DAVODIRA_QUERY_MODE == 0x00222700u, "query control code");
_Static_assert(sizeof(DAVODIRA_RECORD_ENTRY) == 32, "entry layout shared with user mode");
_Static_assert(sizeof(DAVODIRA_RECORD_HEADER) == 32, "header layout shared with user mode");

DRIVER_INITIALIZE DriverEntry;

static struct {
  KSPIN_LOCK lock;
  ULONG answer;
  BOOLEAN fail;
  ULONG count;
  ULONG dropped;
  DAVODIRA_RECORD_ENTRY entries[DAVODIRA_RECORD_CAPACITY];
} state;

/* Caller holds the lock. A full record counts the query instead of keeping it. */
static void AppendLocked(const DAVODIRA_RECORD_ENTRY* entry) {
  if (state.count >= DAVODIRA_RECORD_CAPACITY) {
    state.dropped++;
    return;
  }
  state.entries[state.count++] = *entry;
}

static NTSTATUS QueryMode(void* output, ULONG in_length, ULONG out_length, ULONG_PTR* written) {
  DAVODIRA_RECORD_ENTRY entry;
  KIRQL irql;

  RtlZeroMemory(&entry, sizeof(entry));
  entry.time = (ULONGLONG)KeQueryPerformanceCounter(NULL).QuadPart;
  entry.input_length = in_length;
  entry.output_length = out_length;

  KeAcquireSpinLock(&state.lock, &irql);
  if (output == NULL || out_length < DAVODIRA_ANSWER_SIZE) {
    entry.status = STATUS_BUFFER_TOO_SMALL;
    entry.flags = DAVODIRA_ENTRY_MALFORMED;
  } else if (state.fail) {
    entry.status = DAVODIRA_FAILURE_STATUS;
    entry.flags = DAVODIRA_ENTRY_FAILED;
  } else {
    entry.status = STATUS_SUCCESS;
    entry.answer = state.answer;
  }
  AppendLocked(&entry);
  KeReleaseSpinLock(&state.lock, irql);

  if (entry.status == STATUS_SUCCESS) {
    RtlCopyMemory(output, &entry.answer, DAVODIRA_ANSWER_SIZE);
    *written = DAVODIRA_ANSWER_SIZE;
  }
  return entry.status;
}

static NTSTATUS ReadUlong(const void* input, ULONG length, ULONG* value) {
  if (input == NULL || length != sizeof(ULONG)) return STATUS_INVALID_PARAMETER;
  RtlCopyMemory(value, input, sizeof(ULONG));
  return STATUS_SUCCESS;
}

static NTSTATUS SetAnswer(const void* input, ULONG length) {
  ULONG answer;
  KIRQL irql;
  NTSTATUS status = ReadUlong(input, length, &answer);
  if (!NT_SUCCESS(status)) return status;
  KeAcquireSpinLock(&state.lock, &irql);
  state.answer = answer;
  KeReleaseSpinLock(&state.lock, irql);
  return STATUS_SUCCESS;
}

static NTSTATUS SetFail(const void* input, ULONG length) {
  ULONG fail;
  KIRQL irql;
  NTSTATUS status = ReadUlong(input, length, &fail);
  if (!NT_SUCCESS(status)) return status;
  KeAcquireSpinLock(&state.lock, &irql);
  state.fail = fail != 0;
  KeReleaseSpinLock(&state.lock, irql);
  return STATUS_SUCCESS;
}

static NTSTATUS ReadRecord(void* output, ULONG length, ULONG_PTR* written) {
  DAVODIRA_RECORD_HEADER header;
  LARGE_INTEGER frequency;
  KIRQL irql;

  if (output == NULL || length < sizeof(header)) return STATUS_BUFFER_TOO_SMALL;
  KeQueryPerformanceCounter(&frequency);
  KeAcquireSpinLock(&state.lock, &irql);
  header.frequency = (ULONGLONG)frequency.QuadPart;
  header.count = state.count;
  header.dropped = state.dropped;
  header.capacity = DAVODIRA_RECORD_CAPACITY;
  header.answer = state.answer;
  header.fail = state.fail ? 1 : 0;
  header.reserved = 0;
  *written = RecordCopyOut(output, length, &header, sizeof(header), state.entries, sizeof(DAVODIRA_RECORD_ENTRY),
                           state.count);
  KeReleaseSpinLock(&state.lock, irql);
  return STATUS_SUCCESS;
}

static NTSTATUS ClearRecord(void) {
  KIRQL irql;
  KeAcquireSpinLock(&state.lock, &irql);
  state.count = 0;
  state.dropped = 0;
  KeReleaseSpinLock(&state.lock, irql);
  return STATUS_SUCCESS;
}

static NTSTATUS DeviceControl(ULONG code, void* buffer, ULONG in_length, ULONG out_length, ULONG_PTR* written) {
  NTSTATUS status;
  switch (code) {
    case IOCTL_DAVODIRA_QUERY_MODE:
      status = QueryMode(buffer, in_length, out_length, written);
      break;
    case IOCTL_DAVODIRA_SET_ANSWER:
      status = SetAnswer(buffer, in_length);
      break;
    case IOCTL_DAVODIRA_SET_FAIL:
      status = SetFail(buffer, in_length);
      break;
    case IOCTL_DAVODIRA_READ_RECORD:
      status = ReadRecord(buffer, out_length, written);
      break;
    case IOCTL_DAVODIRA_CLEAR_RECORD:
      status = ClearRecord();
      break;
    default:
      status = STATUS_INVALID_DEVICE_REQUEST;
      break;
  }

  return status;
}

NTSTATUS WINAPI DriverEntry(DRIVER_OBJECT* driver, UNICODE_STRING* registry) {
  (void)registry;

  KeInitializeSpinLock(&state.lock);
  state.answer = DAVODIRA_INITIAL_ANSWER;
  state.fail = FALSE;
  state.count = state.dropped = 0;

  return ControlDeviceCreate(driver, DAVODIRA_NT_DEVICE_NAME, DAVODIRA_DOS_DEVICE_NAME, FILE_DEVICE_UNKNOWN,
                             DeviceControl);
}
