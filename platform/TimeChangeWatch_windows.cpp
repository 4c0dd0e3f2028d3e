#include "platform/TimeChangeWatch.h"

#include <atomic>
#include <future>
#include <system_error>
#include <thread>

#include "platform/Win32Api_windows.h"

namespace {

// What the window's thread shares with the watch.
struct WatchWindow {
  HANDLE event = nullptr;  // auto-reset; set when WM_TIMECHANGE came
  std::atomic<bool> changed{false};
  HWND hwnd = nullptr;  // written by the thread before it reports ready
  std::thread thread;
};

constexpr wchar_t kClassName[] = L"TelvaneTimeChangeWatch";

LRESULT CALLBACK WindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  if (msg == WM_NCCREATE) {
    const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lParam);
    ::SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
  }
  auto* w = reinterpret_cast<WatchWindow*>(::GetWindowLongPtrW(hwnd, GWLP_USERDATA));
  switch (msg) {
    case WM_TIMECHANGE:
      if (w != nullptr) {
        w->changed.store(true);
        ::SetEvent(w->event);
      }
      return 0;
    case WM_CLOSE:
      ::DestroyWindow(hwnd);
      return 0;
    case WM_DESTROY:
      ::PostQuitMessage(0);
      return 0;
    default:
      return ::DefWindowProcW(hwnd, msg, wParam, lParam);
  }
}

// The window's thread: creates the window, says how that went, then pumps
// its messages until the window is closed.
void Pump(WatchWindow* w, std::promise<DWORD> ready) {
  HINSTANCE instance = ::GetModuleHandleW(nullptr);
  WNDCLASSEXW wc{};
  wc.cbSize = sizeof wc;
  wc.lpfnWndProc = WindowProc;
  wc.hInstance = instance;
  wc.lpszClassName = kClassName;
  if (::RegisterClassExW(&wc) == 0 && ::GetLastError() != ERROR_CLASS_ALREADY_EXISTS) {
    ready.set_value(::GetLastError());
    return;
  }
  // A top-level window that is never shown: broadcasts reach it, the user
  // never sees it.
  w->hwnd = ::CreateWindowExW(WS_EX_TOOLWINDOW, kClassName, L"Telvane", WS_OVERLAPPED, 0, 0, 0, 0,
                              nullptr, nullptr, instance, w);
  if (w->hwnd == nullptr) {
    ready.set_value(::GetLastError());
    return;
  }
  ready.set_value(ERROR_SUCCESS);
  MSG msg;
  while (::GetMessageW(&msg, nullptr, 0, 0) > 0) {
    ::TranslateMessage(&msg);
    ::DispatchMessageW(&msg);
  }
}

}  // namespace

struct KxTimeChangeWatch::Window : WatchWindow {};

KxTimeChangeWatch::KxTimeChangeWatch() : window_(std::make_unique<Window>()) {
  window_->event = ::CreateEventW(nullptr, FALSE, FALSE, nullptr);
  if (window_->event == nullptr)
    throw std::system_error(static_cast<int>(::GetLastError()), std::system_category(),
                            "CreateEventW");
  std::promise<DWORD> ready;
  std::future<DWORD> result = ready.get_future();
  window_->thread = std::thread(Pump, static_cast<WatchWindow*>(window_.get()), std::move(ready));
  const DWORD err = result.get();
  if (err != ERROR_SUCCESS) {
    window_->thread.join();
    ::CloseHandle(window_->event);
    throw std::system_error(static_cast<int>(err), std::system_category(), "CreateWindowExW");
  }
  handle_ = window_->event;
}

KxTimeChangeWatch::~KxTimeChangeWatch() {
  // The window is destroyed on its own thread, which then leaves its loop.
  ::PostMessageW(window_->hwnd, WM_CLOSE, 0, 0);
  window_->thread.join();
  ::CloseHandle(window_->event);
}

void KxTimeChangeWatch::Arm() {}

bool KxTimeChangeWatch::ClockWasSet() { return window_->changed.exchange(false); }
