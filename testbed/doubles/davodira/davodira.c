/* Double of the power-management driver "\\.\DAVODIRA": answers the mode query
 * with the word the testbed set, can be told to fail it or to hold it pending, and
 * records every query with its arrival time so callers and benchmarks can see when
 * it was asked. A held query is completed later, as a driver that answers
 * asynchronously would (IoMarkIrpPending, STATUS_PENDING, IoCompleteRequest), and
 * cancelled through its cancel routine when its caller goes away. */

#include <ntddk.h>

#include "common/control_device.h"
#include "doubles/davodira/davodira_contract.h"
#include "common/record_copy.h"

_Static_assert(IOCTL_DAVODIRA_QUERY_MODE == 0x00222700u, "query control code");
_Static_assert(sizeof(DAVODIRA_RECORD_ENTRY) == 32, "entry layout shared with user mode");
_Static_assert(sizeof(DAVODIRA_RECORD_HEADER) == 32, "header layout shared with user mode");

DRIVER_INITIALIZE DriverEntry;

static struct {
  KSPIN_LOCK lock;
  ULONG answer;
  BOOLEAN fail;
  BOOLEAN hold;
  LIST_ENTRY held; /* IRPs, through Tail.Overlay.ListEntry */
  ULONG held_count;
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

static NTSTATUS ReadUlong(const void* input, ULONG length, ULONG* value) {
  if (input == NULL || length != sizeof(ULONG)) return STATUS_INVALID_PARAMETER;
  RtlCopyMemory(value, input, sizeof(ULONG));
  return STATUS_SUCCESS;
}

/* A held query's outcome waits in its IRP until the hold ends. */
#define HELD_STATUS(irp) ((irp)->Tail.Overlay.DriverContext[0])
#define HELD_ANSWER(irp) ((irp)->Tail.Overlay.DriverContext[1])

static void Finish(IRP* irp, NTSTATUS status, ULONG answer) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = 0;
  if (status == STATUS_SUCCESS) {
    RtlCopyMemory(irp->AssociatedIrp.SystemBuffer, &answer, DAVODIRA_ANSWER_SIZE);
    irp->IoStatus.Information = DAVODIRA_ANSWER_SIZE;
  }
  IoCompleteRequest(irp, IO_NO_INCREMENT);
}

static void WINAPI CancelHeld(DEVICE_OBJECT* device, IRP* irp) {
  KIRQL irql;
  (void)device;
  IoReleaseCancelSpinLock(irp->CancelIrql);
  KeAcquireSpinLock(&state.lock, &irql);
  RemoveEntryList(&irp->Tail.Overlay.ListEntry);
  state.held_count--;
  KeReleaseSpinLock(&state.lock, irql);
  Finish(irp, STATUS_CANCELLED, 0);
}

static NTSTATUS QueryMode(IRP* irp, void* output, ULONG in_length, ULONG out_length, ULONG_PTR* written) {
  DAVODIRA_RECORD_ENTRY entry;
  KIRQL irql;
  BOOLEAN held = FALSE;

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
  if (state.hold && entry.status != STATUS_BUFFER_TOO_SMALL) {
    HELD_STATUS(irp) = (void*)(LONG_PTR)entry.status;
    HELD_ANSWER(irp) = (void*)(ULONG_PTR)entry.answer;
    IoMarkIrpPending(irp);
    InsertTailList(&state.held, &irp->Tail.Overlay.ListEntry);
    state.held_count++;
    IoSetCancelRoutine(irp, CancelHeld);
    held = TRUE;
  }
  KeReleaseSpinLock(&state.lock, irql);
  if (held) return STATUS_PENDING;

  if (entry.status == STATUS_SUCCESS) {
    RtlCopyMemory(output, &entry.answer, DAVODIRA_ANSWER_SIZE);
    *written = DAVODIRA_ANSWER_SIZE;
  }
  return entry.status;
}

static NTSTATUS SetHold(const void* input, ULONG length) {
  LIST_ENTRY released;
  ULONG hold;
  KIRQL irql;
  NTSTATUS status = ReadUlong(input, length, &hold);
  if (!NT_SUCCESS(status)) return status;
  InitializeListHead(&released);
  KeAcquireSpinLock(&state.lock, &irql);
  state.hold = hold != 0;
  if (!state.hold) {
    while (!IsListEmpty(&state.held)) {
      LIST_ENTRY* link = RemoveHeadList(&state.held);
      IRP* irp = CONTAINING_RECORD(link, IRP, Tail.Overlay.ListEntry);
      state.held_count--;
      /* One being cancelled right now is its cancel routine's to complete. */
      if (IoSetCancelRoutine(irp, NULL) == NULL) {
        InitializeListHead(link);
        continue;
      }
      InsertTailList(&released, link);
    }
  }
  KeReleaseSpinLock(&state.lock, irql);
  while (!IsListEmpty(&released)) {
    IRP* irp = CONTAINING_RECORD(RemoveHeadList(&released), IRP, Tail.Overlay.ListEntry);
    Finish(irp, (NTSTATUS)(LONG_PTR)HELD_STATUS(irp), (ULONG)(ULONG_PTR)HELD_ANSWER(irp));
  }
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
  header.held = state.held_count;
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

static NTSTATUS DeviceControl(IRP* irp, ULONG code, void* buffer, ULONG in_length, ULONG out_length,
                              ULONG_PTR* written) {
  NTSTATUS status;
  switch (code) {
    case IOCTL_DAVODIRA_QUERY_MODE:
      status = QueryMode(irp, buffer, in_length, out_length, written);
      break;
    case IOCTL_DAVODIRA_SET_HOLD:
      status = SetHold(buffer, in_length);
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
  state.hold = FALSE;
  InitializeListHead(&state.held);
  state.held_count = 0;
  state.count = state.dropped = 0;

  return ControlDeviceCreate(driver, DAVODIRA_NT_DEVICE_NAME, DAVODIRA_DOS_DEVICE_NAME, FILE_DEVICE_UNKNOWN,
                             DeviceControl);
}
