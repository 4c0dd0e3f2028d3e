// A throwaway Windows service for the wine check (scripts/test-windows):
// once started it broadcasts WM_TIMECHANGE to the top-level windows of its
// desktop, the one the services share, and stops. The system does the same
// after its clock is set; a broadcast from a program outside the services'
// desktop would not reach the service under test.
#include <windows.h>

namespace {

SERVICE_STATUS_HANDLE g_status = nullptr;

void Report(DWORD state) {
  SERVICE_STATUS status{};
  status.dwServiceType = 0x10;  // a service in a process of its own
  status.dwCurrentState = state;
  SetServiceStatus(g_status, &status);
}

DWORD WINAPI Handler(DWORD, DWORD, LPVOID, LPVOID) { return NO_ERROR; }

void WINAPI Main(DWORD, LPWSTR* argv) {
  g_status = RegisterServiceCtrlHandlerExW(argv[0], Handler, nullptr);
  if (g_status == nullptr) return;
  Report(SERVICE_RUNNING);
  DWORD_PTR result = 0;
  SendMessageTimeoutW(HWND_BROADCAST, WM_TIMECHANGE, 0, 0, SMTO_ABORTIFHUNG, 5000, &result);
  Report(SERVICE_STOPPED);
}

}  // namespace

int main() {
  wchar_t name[] = L"TelvaneTimeChange";
  SERVICE_TABLE_ENTRYW table[] = {{name, Main}, {nullptr, nullptr}};
  return StartServiceCtrlDispatcherW(table) ? 0 : 1;
}
