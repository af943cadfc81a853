// cfgmgr32.dll double. Wine 8's cfgmgr32 leaves the device-interface list calls
// as stubs (the size call fails, the list call aborts the process); this DLL
// answers them from what setupapi reports, which is Wine's own view of which
// interfaces are present. Loaded only for the processes the testbed names.
//
// It also gives the executable's GetSystemMetrics(SM_CONVERTIBLESLATEMODE) the
// machine's slate state that the slate-toggle double keeps, which Microsoft's
// GetSystemMetrics page documents as "0 for Slate Mode and non-zero otherwise"
// (Wine's user32 always answers 0); every other index, and the metric when the
// slate-toggle double is not loaded, goes to user32 unchanged.
//
// And it fails the executable's CreateFileW of a slate-toggle interface path with
// ERROR_ACCESS_DENIED when the indicator refused the open, as Windows fails it
// while another handle holds the device; Wine 8 hands out a handle regardless of
// what the driver answered (see slate_contract.h). Every other path, and a file
// that does not answer, is left as kernel32 gave it.

#include <windows.h>
#include <cfgmgr32.h>
#include <setupapi.h>

#include <climits>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "common/iat_patch.h"
#include "doubles/slate/slate_client.h"

namespace {

using GetSystemMetricsFn = int(WINAPI*)(int);
GetSystemMetricsFn g_realGetSystemMetrics = nullptr;

int WINAPI GetSystemMetricsHook(int index) {
  if (index == SM_CONVERTIBLESLATEMODE) {
    if (const auto metric = kqdtb::slate::ReadMetric()) return static_cast<int>(*metric);
  }
  return g_realGetSystemMetrics(index);
}

using CreateFileWFn = HANDLE(WINAPI*)(LPCWSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE);
CreateFileWFn g_realCreateFileW = nullptr;

HANDLE WINAPI CreateFileWHook(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                              DWORD disposition, DWORD flags, HANDLE templateFile) {
  const HANDLE file = g_realCreateFileW(name, access, share, security, disposition, flags, templateFile);
  if (file == INVALID_HANDLE_VALUE || name == nullptr || !kqdtb::slate::IsInterfacePath(name)) return file;
  const DWORD lastError = ::GetLastError();
  if (kqdtb::slate::Admitted(file) == false) {
    ::CloseHandle(file);
    ::SetLastError(ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
  }
  ::SetLastError(lastError);
  return file;
}

struct DevInfoSet {
  HDEVINFO set;
  explicit DevInfoSet(HDEVINFO s) : set(s) {}
  ~DevInfoSet() {
    if (set != INVALID_HANDLE_VALUE) ::SetupDiDestroyDeviceInfoList(set);
  }
  DevInfoSet(const DevInfoSet&) = delete;
  DevInfoSet& operator=(const DevInfoSet&) = delete;
};

bool SameInstance(const wchar_t* a, const wchar_t* b) {
  return ::CompareStringOrdinal(a, -1, b, -1, TRUE) == CSTR_EQUAL;
}

// The list in the caller's format: each path with its terminator, then one more.
CONFIGRET CollectInterfaces(const GUID& interfaceClass, const wchar_t* instanceId, ULONG flags,
                            std::wstring& list) {
  const DWORD digcf = DIGCF_DEVICEINTERFACE | ((flags & CM_GET_DEVICE_INTERFACE_LIST_ALL_DEVICES) ? 0 : DIGCF_PRESENT);
  const DevInfoSet devices{::SetupDiGetClassDevsW(&interfaceClass, nullptr, nullptr, digcf)};
  if (devices.set == INVALID_HANDLE_VALUE) return CR_FAILURE;
  const bool filter = instanceId != nullptr && instanceId[0] != L'\0';

  list.clear();
  std::vector<BYTE> detailBuffer;
  for (DWORD index = 0;; ++index) {
    SP_DEVICE_INTERFACE_DATA iface{};
    iface.cbSize = sizeof(iface);
    if (!::SetupDiEnumDeviceInterfaces(devices.set, nullptr, &interfaceClass, index, &iface)) {
      if (::GetLastError() != ERROR_NO_MORE_ITEMS) return CR_FAILURE;
      break;
    }
    DWORD required = 0;
    ::SetupDiGetDeviceInterfaceDetailW(devices.set, &iface, nullptr, 0, &required, nullptr);
    if (required < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)) continue;  // vanished meanwhile
    detailBuffer.assign(required, 0);
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(detailBuffer.data());
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof(device);
    if (!::SetupDiGetDeviceInterfaceDetailW(devices.set, &iface, detail, required, nullptr, &device)) continue;
    if (filter) {
      wchar_t id[MAX_DEVICE_ID_LEN + 1] = {};
      if (!::SetupDiGetDeviceInstanceIdW(devices.set, &device, id, MAX_DEVICE_ID_LEN + 1, nullptr) ||
          !SameInstance(id, instanceId)) {
        continue;
      }
    }
    const std::size_t maxChars = (required - offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath)) / sizeof(wchar_t);
    const std::size_t length = ::wcsnlen(detail->DevicePath, maxChars);
    if (length == 0) continue;
    list.append(detail->DevicePath, length);
    list.push_back(L'\0');
  }
  list.push_back(L'\0');
  return CR_SUCCESS;
}

}  // namespace

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) {
    ::DisableThreadLibraryCalls(instance);
    // The executable's imports are bound before any DllMain runs.
    const HMODULE exe = ::GetModuleHandleW(nullptr);
    void* real = nullptr;
    bool patched = false;
    if (kqdtb::PatchImport(exe, "GetSystemMetrics", reinterpret_cast<void*>(&GetSystemMetricsHook), &real)) {
      g_realGetSystemMetrics = reinterpret_cast<GetSystemMetricsFn>(real);
      patched = true;
    }
    if (kqdtb::PatchImport(exe, "CreateFileW", reinterpret_cast<void*>(&CreateFileWHook), &real)) {
      g_realCreateFileW = reinterpret_cast<CreateFileWFn>(real);
      patched = true;
    }
    if (patched) {
      // The rewritten slots point here for the rest of the process.
      HMODULE self = nullptr;
      ::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                           reinterpret_cast<LPCWSTR>(instance), &self);
    }
  }
  return TRUE;
}

extern "C" {

// Lets the testbed tell this DLL from Wine's builtin one in a process.
DWORD WINAPI KqdCfgmgr32Double() { return 1; }

CONFIGRET WINAPI CM_Get_Device_Interface_List_Size_ExW(PULONG pulLen, LPGUID InterfaceClassGuid,
                                                       DEVINSTID_W pDeviceID, ULONG ulFlags, HMACHINE) {
  if (InterfaceClassGuid == nullptr) return CR_FAILURE;
  if (pulLen == nullptr) return CR_INVALID_POINTER;
  if (ulFlags & ~CM_GET_DEVICE_INTERFACE_LIST_BITS) return CR_INVALID_FLAG;
  *pulLen = 0;
  try {
    std::wstring list;
    const CONFIGRET result = CollectInterfaces(*InterfaceClassGuid, pDeviceID, ulFlags, list);
    if (result != CR_SUCCESS) return result;
    if (list.size() > ULONG_MAX) return CR_FAILURE;
    *pulLen = static_cast<ULONG>(list.size());
    return CR_SUCCESS;
  } catch (const std::bad_alloc&) {
    return CR_OUT_OF_MEMORY;
  } catch (...) {
    return CR_FAILURE;
  }
}

CONFIGRET WINAPI CM_Get_Device_Interface_List_SizeW(PULONG pulLen, LPGUID InterfaceClassGuid,
                                                    DEVINSTID_W pDeviceID, ULONG ulFlags) {
  return CM_Get_Device_Interface_List_Size_ExW(pulLen, InterfaceClassGuid, pDeviceID, ulFlags, nullptr);
}

CONFIGRET WINAPI CM_Get_Device_Interface_List_ExW(LPGUID InterfaceClassGuid, DEVINSTID_W pDeviceID, PZZWSTR Buffer,
                                                  ULONG BufferLen, ULONG ulFlags, HMACHINE) {
  if (InterfaceClassGuid == nullptr) return CR_FAILURE;
  if (Buffer == nullptr) return CR_INVALID_POINTER;
  if (BufferLen == 0) return CR_BUFFER_SMALL;
  if (ulFlags & ~CM_GET_DEVICE_INTERFACE_LIST_BITS) return CR_INVALID_FLAG;
  // A caller that ignores the result still reads an empty list.
  std::memset(Buffer, 0, static_cast<std::size_t>(BufferLen) * sizeof(wchar_t));
  try {
    std::wstring list;
    const CONFIGRET result = CollectInterfaces(*InterfaceClassGuid, pDeviceID, ulFlags, list);
    if (result != CR_SUCCESS) return result;
    if (list.size() > BufferLen) return CR_BUFFER_SMALL;
    std::memcpy(Buffer, list.data(), list.size() * sizeof(wchar_t));
    return CR_SUCCESS;
  } catch (const std::bad_alloc&) {
    return CR_OUT_OF_MEMORY;
  } catch (...) {
    return CR_FAILURE;
  }
}

CONFIGRET WINAPI CM_Get_Device_Interface_ListW(LPGUID InterfaceClassGuid, DEVINSTID_W pDeviceID, PZZWSTR Buffer,
                                               ULONG BufferLen, ULONG ulFlags) {
  return CM_Get_Device_Interface_List_ExW(InterfaceClassGuid, pDeviceID, Buffer, BufferLen, ulFlags, nullptr);
}

}  // extern "C"
