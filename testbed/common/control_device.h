/* One control device under a DOS name, as every single-device double needs it:
 * create/close succeed, each device I/O control goes to the double's handler, and
 * unload undoes what DriverEntry made. */
#pragma once

#include <ntddk.h>

/* The double's side of a device I/O control request (METHOD_BUFFERED): `buffer`
 * holds in_length bytes in and takes up to out_length bytes out; *written says how
 * many went out. A handler that keeps the request for later marks `irp` pending,
 * returns STATUS_PENDING and completes it itself. */
typedef NTSTATUS (*CONTROL_DEVICE_HANDLER)(IRP* irp, ULONG code, void* buffer, ULONG in_length, ULONG out_length,
                                           ULONG_PTR* written);

/* Creates the device and its link and installs the dispatch routines; on failure
 * nothing is left behind. */
NTSTATUS ControlDeviceCreate(DRIVER_OBJECT* driver, const WCHAR* nt_name, const WCHAR* dos_name, DEVICE_TYPE type,
                             CONTROL_DEVICE_HANDLER handler);
