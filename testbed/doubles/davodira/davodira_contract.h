/* Contract between the power-management driver double (kqddavodira.sys) and its
 * user-mode clients. Included from kernel C (after <ntddk.h>) and from C++
 * (after <windows.h>); fixed-width layouts only, so both sides agree. */
#ifndef KQD_DAVODIRA_CONTRACT_H
#define KQD_DAVODIRA_CONTRACT_H

#ifndef CTL_CODE
#include <winioctl.h>
#endif

#define DAVODIRA_NT_DEVICE_NAME L"\\Device\\DAVODIRA"
#define DAVODIRA_DOS_DEVICE_NAME L"\\DosDevices\\DAVODIRA"
#define DAVODIRA_WIN32_PATH L"\\\\.\\DAVODIRA"
#define DAVODIRA_SERVICE_NAME L"KqdDavodira"

/* The driver's sibling service announces "ask again" by flipping bit 29 of this value. */
#define DAVODIRA_NOTIFICATION_KEY L"SYSTEM\\CurrentControlSet\\Services\\VOREDUZE\\Parameters\\Notification"
#define DAVODIRA_NOTIFICATION_VALUE L"Type2"
#define DAVODIRA_TYPE2_QUERY_BIT 0x20000000u

/* The product's only request: no input, a 4-byte answer word out (format in bits
 * 16-31, mode code in bits 0-15). */
#define IOCTL_DAVODIRA_QUERY_MODE CTL_CODE(FILE_DEVICE_UNKNOWN, 0x9C0, METHOD_BUFFERED, FILE_ANY_ACCESS)

/* Testbed requests. SET_ANSWER takes a ULONG, the word every later query answers;
 * SET_FAIL takes a ULONG, non-zero to fail every query until set to 0; READ answers
 * a DAVODIRA_RECORD_HEADER followed by as many entries as the output buffer holds;
 * CLEAR empties the record (not the answer or the failure switch). */
#define IOCTL_DAVODIRA_SET_ANSWER CTL_CODE(FILE_DEVICE_UNKNOWN, 0xA00, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_DAVODIRA_SET_FAIL CTL_CODE(FILE_DEVICE_UNKNOWN, 0xA01, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_DAVODIRA_READ_RECORD CTL_CODE(FILE_DEVICE_UNKNOWN, 0xA02, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_DAVODIRA_CLEAR_RECORD CTL_CODE(FILE_DEVICE_UNKNOWN, 0xA03, METHOD_BUFFERED, FILE_ANY_ACCESS)
/* SET_HOLD takes a ULONG: non-zero keeps every later query pending (recorded at its
 * arrival, with the answer it will get); 0 answers the held ones and holds no more.
 * A held query whose caller goes away is cancelled. */
#define IOCTL_DAVODIRA_SET_HOLD CTL_CODE(FILE_DEVICE_UNKNOWN, 0xA04, METHOD_BUFFERED, FILE_ANY_ACCESS)

/* What a freshly loaded double answers: format 2, laptop. */
#define DAVODIRA_INITIAL_ANSWER 0x00020001u
#define DAVODIRA_ANSWER_SIZE 4
#define DAVODIRA_RECORD_CAPACITY 1024

/* The status a failed query completes with; user mode sees ERROR_NOT_READY. */
#define DAVODIRA_FAILURE_STATUS ((LONG)0xC00000A3L) /* STATUS_DEVICE_NOT_READY */

/* Entry flags. A query with an output buffer shorter than 4 bytes is rejected
 * (STATUS_BUFFER_TOO_SMALL) and never counts as failed on purpose. */
#define DAVODIRA_ENTRY_FAILED 0x1u    /* completed with DAVODIRA_FAILURE_STATUS */
#define DAVODIRA_ENTRY_MALFORMED 0x2u /* output buffer too small */

typedef struct DAVODIRA_RECORD_ENTRY {
  ULONGLONG time;       /* KeQueryPerformanceCounter at arrival; see the header's frequency */
  ULONG answer;         /* the word written back; 0 when nothing was written */
  ULONG input_length;   /* as received */
  ULONG output_length;  /* as received */
  ULONG flags;          /* DAVODIRA_ENTRY_* */
  LONG status;          /* NTSTATUS the query completed with */
  ULONG reserved;
} DAVODIRA_RECORD_ENTRY;

typedef struct DAVODIRA_RECORD_HEADER {
  ULONGLONG frequency; /* performance-counter ticks per second */
  ULONG count;         /* entries held (at most DAVODIRA_RECORD_CAPACITY) */
  ULONG dropped;       /* queries that arrived while the record was full */
  ULONG capacity;      /* DAVODIRA_RECORD_CAPACITY */
  ULONG answer;        /* the word queries answer now */
  ULONG fail;          /* 1 while every query fails */
  ULONG held;          /* queries pending now, waiting for the hold to end */
} DAVODIRA_RECORD_HEADER;

#define DAVODIRA_READ_BUFFER_SIZE \
  (sizeof(DAVODIRA_RECORD_HEADER) + DAVODIRA_RECORD_CAPACITY * sizeof(DAVODIRA_RECORD_ENTRY))

#endif /* KQD_DAVODIRA_CONTRACT_H */
