#include "watch/slate_watch.h"

#include <string>
#include <vector>

#include "mode/slate_interfaces.h"
#include "win/wide.h"

namespace kqd::watch {
namespace {

constexpr wchar_t kClassName[] = L"KqdWatchSlate";
// Posted at the end: the thread leaves its loop and destroys its own window, as only
// the thread that made a window may.
constexpr UINT kQuitMessage = WM_APP;
// The list may grow between the size call and the list call.
constexpr int kListAttempts = 3;

// Registered before the window and taken back after it is gone.
class WindowClass {
 public:
  WindowClass(HINSTANCE instance, WNDPROC procedure) : instance_(instance) {
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof(windowClass);
    windowClass.lpfnWndProc = procedure;
    windowClass.hInstance = instance;
    windowClass.lpszClassName = kClassName;
    registered_ = ::RegisterClassExW(&windowClass) != 0;
  }
  ~WindowClass() {
    if (registered_) ::UnregisterClassW(kClassName, instance_);
  }
  WindowClass(const WindowClass&) = delete;
  WindowClass& operator=(const WindowClass&) = delete;
  bool registered() const { return registered_; }

 private:
  HINSTANCE instance_;
  bool registered_ = false;
};

}  // namespace

SlateWatch::~SlateWatch() {
  if (!thread_) return;
  if (window_ != nullptr && !::PostMessageW(window_, kQuitMessage, 0, 0)) {
    ::PostThreadMessageW(threadId_, WM_QUIT, 0, 0);
  }
  ::WaitForSingleObject(thread_.get(), INFINITE);
}

DWORD SlateWatch::Start() {
  changed_ = win::Event::Auto();
  ready_ = win::Event::Manual();
  if (!changed_ || !ready_) return ::GetLastError();
  thread_.reset(::CreateThread(nullptr, 0, &SlateWatch::Run, this, 0, &threadId_));
  if (!thread_) return ::GetLastError();
  // The thread sets it whether or not the window was made.
  ready_.Wait(INFINITE);
  if (window_ != nullptr) return 0;
  ::WaitForSingleObject(thread_.get(), INFINITE);
  thread_.reset();
  return startError_;
}

int32_t SlateWatch::Read() { return ::GetSystemMetrics(SM_CONVERTIBLESLATEMODE); }

SlateInterfaceList SlateWatch::ListToggleDevices() {
  std::vector<std::wstring> paths;
  CONFIGRET status = CR_BUFFER_SMALL;
  for (int attempt = 0; attempt < kListAttempts && status == CR_BUFFER_SMALL; ++attempt) {
    status = ListSlateToggleInterfaces(paths);
  }
  SlateInterfaceList result;
  result.listed = status == CR_SUCCESS;
  if (!result.listed) result.configret = status;
  for (const std::wstring& path : paths) result.paths.push_back(win::Utf8(path));
  return result;
}

DWORD WINAPI SlateWatch::Run(LPVOID parameter) { return static_cast<SlateWatch*>(parameter)->Pump(); }

DWORD SlateWatch::Pump() {
  const HINSTANCE instance = ::GetModuleHandleW(nullptr);
  const WindowClass windowClass(instance, &SlateWatch::WindowProc);
  win::UniqueWindow window;
  if (windowClass.registered()) {
    // No parent and never shown: a top-level window that broadcasts reach and nobody sees.
    window.reset(::CreateWindowExW(0, kClassName, L"kqdwatch", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr, instance,
                                   &changed_));
  }
  if (!window) {
    const DWORD error = ::GetLastError();
    // Wine without a graphics driver refuses top-level windows and says nothing.
    startError_ = error != 0 ? error : ERROR_INVALID_WINDOW_HANDLE;
    ready_.Set();
    return startError_;
  }
  window_ = window.get();
  ready_.Set();
  MSG message;
  BOOL got;
  while ((got = ::GetMessageW(&message, nullptr, 0, 0)) > 0) ::DispatchMessageW(&message);
  return got == 0 ? 0 : ::GetLastError();
}

LRESULT CALLBACK SlateWatch::WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_NCCREATE:
      ::SetWindowLongPtrW(window, GWLP_USERDATA,
                          reinterpret_cast<LONG_PTR>(reinterpret_cast<const CREATESTRUCTW*>(lParam)->lpCreateParams));
      break;
    case WM_SETTINGCHANGE:
      if (NamesSlateSetting(win::AsU16(reinterpret_cast<const wchar_t*>(lParam)))) {
        if (const auto* changed = reinterpret_cast<const win::Event*>(::GetWindowLongPtrW(window, GWLP_USERDATA))) {
          changed->Set();
        }
      }
      return 0;
    case kQuitMessage: ::PostQuitMessage(0); return 0;
    default: break;
  }
  return ::DefWindowProcW(window, message, wParam, lParam);
}

}  // namespace kqd::watch
