/* Contract between the energy-management driver double (kqdpwraux.sys) and its
 * user-mode clients. Included from kernel C (after <ntddk.h>) and from C++
 * (after <windows.h>); fixed-width layouts only, so both sides agree. */
#ifndef KQD_PWRAUX_CONTRACT_H
#define KQD_PWRAUX_CONTRACT_H

#ifndef CTL_CODE
#include <winioctl.h>
#endif

#define PWRAUX_NT_DEVICE_NAME L"\\Device\\PwrAuxDrv"
#define PWRAUX_DOS_DEVICE_NAME L"\\DosDevices\\PwrAuxDrv"
#define PWRAUX_WIN32_PATH L"\\\\.\\PwrAuxDrv"
#define PWRAUX_SERVICE_NAME L"KqdPwrAux"

#define PWRAUX_DEVICE_TYPE 0x8310u

/* The product's only request: a 12-byte PWRAUX_REQUEST, no output. */
#define IOCTL_PWRAUX_NOTIFY CTL_CODE(PWRAUX_DEVICE_TYPE, 0x830, METHOD_BUFFERED, FILE_ANY_ACCESS)

/* Testbed requests. READ answers a PWRAUX_RECORD_HEADER followed by as many
 * entries as the output buffer holds; CLEAR empties the record (not the
 * failure plan); SET_FAILURES takes a PWRAUX_FAILURE_PLAN. */
#define IOCTL_PWRAUX_READ_RECORD CTL_CODE(PWRAUX_DEVICE_TYPE, 0x900, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_PWRAUX_CLEAR_RECORD CTL_CODE(PWRAUX_DEVICE_TYPE, 0x901, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_PWRAUX_SET_FAILURES CTL_CODE(PWRAUX_DEVICE_TYPE, 0x902, METHOD_BUFFERED, FILE_ANY_ACCESS)

#define PWRAUX_REQUEST_SIZE 12
#define PWRAUX_RECORD_CAPACITY 1024

/* The status a planned failure completes with; user mode sees ERROR_NOT_READY. */
#define PWRAUX_FAILURE_STATUS ((LONG)0xC00000A3L) /* STATUS_DEVICE_NOT_READY */

/* Entry flags. A malformed request (input length not 12) is never failed by the
 * plan and never consumes it. */
#define PWRAUX_ENTRY_FAILED 0x1u    /* completed with PWRAUX_FAILURE_STATUS */
#define PWRAUX_ENTRY_MALFORMED 0x2u /* rejected with STATUS_INVALID_PARAMETER */

typedef struct PWRAUX_REQUEST {
  ULONG size;  /* 12 */
  ULONG one;   /* always 1 */
  ULONG code;  /* posture code, attach/detach code or the raw usage mode */
} PWRAUX_REQUEST;

typedef struct PWRAUX_RECORD_ENTRY {
  ULONGLONG time;     /* performance counter at arrival, 100 ns units */
  ULONG input_length; /* as received; bytes beyond 12 are not kept */
  ULONG flags;        /* PWRAUX_ENTRY_* */
  LONG status;        /* NTSTATUS the request completed with */
  UCHAR bytes[PWRAUX_REQUEST_SIZE]; /* the first min(input_length, 12) bytes, rest 0 */
} PWRAUX_RECORD_ENTRY;

typedef struct PWRAUX_RECORD_HEADER {
  ULONG count;          /* entries held (at most PWRAUX_RECORD_CAPACITY) */
  ULONG dropped;        /* requests that arrived while the record was full */
  ULONG capacity;       /* PWRAUX_RECORD_CAPACITY */
  ULONG failures_left;  /* remaining planned failures */
  ULONG fail_all;       /* 1 while every notify request fails */
  ULONG reserved;
} PWRAUX_RECORD_HEADER;

typedef struct PWRAUX_FAILURE_PLAN {
  ULONG fail_next; /* fail this many well-formed notify requests, then succeed */
  ULONG fail_all;  /* non-zero: fail every one until a plan with 0 is set */
} PWRAUX_FAILURE_PLAN;

#define PWRAUX_READ_BUFFER_SIZE \
  (sizeof(PWRAUX_RECORD_HEADER) + PWRAUX_RECORD_CAPACITY * sizeof(PWRAUX_RECORD_ENTRY))

#endif /* KQD_PWRAUX_CONTRACT_H */
