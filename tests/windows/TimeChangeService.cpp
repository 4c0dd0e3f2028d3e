// A throwaway tool for the wine check (scripts/test-windows), in two roles:
// - started as a service (no argument), it broadcasts WM_TIMECHANGE to the
//   top-level windows of its desktop, the one the services share, and
//   stops: what the system sends after any change of time, a time zone's
//   included;
// - `telvane_timechange --accepted NAME` prints the controls that service
//   NAME accepts now (dwControlsAccepted, in hex);
// - `telvane_timechange --dacl PATH` prints the DACL of a file or folder in
//   SDDL.
#include <windows.h>

#include <aclapi.h>
#include <sddl.h>

#include <cstdio>
#include <cstring>
#include <string>

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

int PrintAccepted(const std::wstring& name) {
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
  if (manager == nullptr) return 2;
  SC_HANDLE service = OpenServiceW(manager, name.c_str(), SERVICE_QUERY_STATUS);
  int rc = 3;
  SERVICE_STATUS status{};
  if (service != nullptr && QueryServiceStatus(service, &status)) {
    std::printf("0x%lx\n", static_cast<unsigned long>(status.dwControlsAccepted));
    rc = 0;
  }
  if (service != nullptr) CloseServiceHandle(service);
  CloseServiceHandle(manager);
  return rc;
}

int PrintDacl(const char* path) {
  PSECURITY_DESCRIPTOR sd = nullptr;
  if (GetNamedSecurityInfoA(path, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                            nullptr, nullptr, &sd) != ERROR_SUCCESS)
    return 2;
  LPSTR text = nullptr;
  int rc = 3;
  if (ConvertSecurityDescriptorToStringSecurityDescriptorA(sd, SDDL_REVISION_1,
                                                           DACL_SECURITY_INFORMATION, &text, nullptr)) {
    std::printf("%s\n", text);
    LocalFree(text);
    rc = 0;
  }
  LocalFree(sd);
  return rc;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "--dacl") == 0) return PrintDacl(argv[2]);
  if (argc == 3 && std::strcmp(argv[1], "--accepted") == 0) {
    std::wstring name;
    for (const char* p = argv[2]; *p != '\0'; ++p) name += static_cast<wchar_t>(*p);  // ASCII
    return PrintAccepted(name);
  }
  wchar_t name[] = L"TelvaneTimeChange";
  SERVICE_TABLE_ENTRYW table[] = {{name, Main}, {nullptr, nullptr}};
  return StartServiceCtrlDispatcherW(table) ? 0 : 1;
}
