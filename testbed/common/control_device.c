#include "common/control_device.h"

static DRIVER_UNLOAD ControlDeviceUnload;
static DRIVER_DISPATCH ControlDeviceCreateClose;
static DRIVER_DISPATCH ControlDeviceControl;

static UNICODE_STRING dos_device_name;
static CONTROL_DEVICE_HANDLER control_handler;

static NTSTATUS Complete(IRP* irp, NTSTATUS status, ULONG_PTR written) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = written;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

static NTSTATUS WINAPI ControlDeviceCreateClose(DEVICE_OBJECT* device, IRP* irp) {
  (void)device;
  return Complete(irp, STATUS_SUCCESS, 0);
}

static NTSTATUS WINAPI ControlDeviceControl(DEVICE_OBJECT* device, IRP* irp) {
  IO_STACK_LOCATION* stack = IoGetCurrentIrpStackLocation(irp);
  ULONG_PTR written = 0;
  NTSTATUS status;
  (void)device;
  status = control_handler(irp, stack->Parameters.DeviceIoControl.IoControlCode, irp->AssociatedIrp.SystemBuffer,
                           stack->Parameters.DeviceIoControl.InputBufferLength,
                           stack->Parameters.DeviceIoControl.OutputBufferLength, &written);
  if (status == STATUS_PENDING) return status;  /* the handler completes it */
  return Complete(irp, status, written);
}

static void WINAPI ControlDeviceUnload(DRIVER_OBJECT* driver) {
  IoDeleteSymbolicLink(&dos_device_name);
  if (driver->DeviceObject != NULL) IoDeleteDevice(driver->DeviceObject);
}

NTSTATUS ControlDeviceCreate(DRIVER_OBJECT* driver, const WCHAR* nt_name, const WCHAR* dos_name, DEVICE_TYPE type,
                             CONTROL_DEVICE_HANDLER handler) {
  UNICODE_STRING device_name;
  DEVICE_OBJECT* device = NULL;
  NTSTATUS status;

  RtlInitUnicodeString(&device_name, nt_name);
  RtlInitUnicodeString(&dos_device_name, dos_name);
  control_handler = handler;

  status = IoCreateDevice(driver, 0, &device_name, type, 0, FALSE, &device);
  if (!NT_SUCCESS(status)) return status;
  status = IoCreateSymbolicLink(&dos_device_name, &device_name);
  if (!NT_SUCCESS(status)) {
    IoDeleteDevice(device);
    return status;
  }
  driver->MajorFunction[IRP_MJ_CREATE] = ControlDeviceCreateClose;
  driver->MajorFunction[IRP_MJ_CLOSE] = ControlDeviceCreateClose;
  driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = ControlDeviceControl;
  driver->DriverUnload = ControlDeviceUnload;
  return STATUS_SUCCESS;
}
