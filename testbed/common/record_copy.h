/* A double's record handed out as its header followed by as many entries as the
 * buffer holds (the client's device::ReadRecord refuses a partial one). Call with
 * the record's lock held, the header filled and length >= header_size; returns
 * the bytes written. Include after <wdm.h> or <ntddk.h>. */
#pragma once

static ULONG_PTR RecordCopyOut(void* output, ULONG length, const void* header, ULONG header_size,
                               const void* entries, ULONG entry_size, ULONG count) {
  ULONG copied = (length - header_size) / entry_size;
  if (copied > count) copied = count;
  RtlCopyMemory(output, header, header_size);
  RtlCopyMemory((UCHAR*)output + header_size, entries, copied * entry_size);
  return header_size + (ULONG_PTR)copied * entry_size;
}
