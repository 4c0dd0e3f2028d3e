#include "platform/ServiceAccount.h"

#include <cwctype>
#include <stdexcept>

#include "platform/Win32Api_windows.h"

#include <aclapi.h>
#include <sddl.h>
#include <wincrypt.h>

namespace platform::serviceaccount {

namespace {

[[noreturn]] void Fail(const std::string& what, DWORD error) {
  throw std::runtime_error(what + ": " + win::ErrorText(error));
}

// SHA-1 of `bytes` (CryptoAPI).
std::vector<BYTE> Sha1(const void* bytes, DWORD size) {
  HCRYPTPROV provider = 0;
  if (!::CryptAcquireContextW(&provider, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT))
    Fail("CryptAcquireContextW", ::GetLastError());
  HCRYPTHASH hash = 0;
  std::vector<BYTE> out(20);
  DWORD length = static_cast<DWORD>(out.size());
  const bool ok = ::CryptCreateHash(provider, CALG_SHA1, 0, 0, &hash) &&
                  ::CryptHashData(hash, static_cast<const BYTE*>(bytes), size, 0) &&
                  ::CryptGetHashParam(hash, HP_HASHVAL, out.data(), &length, 0) && length == 20;
  const DWORD error = ::GetLastError();
  if (hash != 0) ::CryptDestroyHash(hash);
  ::CryptReleaseContext(provider, 0);
  if (!ok) Fail("SHA-1", error);
  return out;
}

// Sets the DACL of `path` from `sddl`, protected from inheritance (what is
// inheritable in it reaches the files and folders below).
void SetProtectedDacl(const std::string& path, const std::wstring& sddl) {
  PSECURITY_DESCRIPTOR sd = nullptr;
  if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &sd,
                                                              nullptr))
    Fail("ConvertStringSecurityDescriptorToSecurityDescriptorW", ::GetLastError());
  BOOL present = FALSE, defaulted = FALSE;
  PACL dacl = nullptr;
  ::GetSecurityDescriptorDacl(sd, &present, &dacl, &defaulted);
  std::wstring wide = win::Wide(path);
  const DWORD rc = ::SetNamedSecurityInfoW(
      wide.data(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
      nullptr, nullptr, dacl, nullptr);
  ::LocalFree(sd);
  if (rc != ERROR_SUCCESS) Fail("SetNamedSecurityInfoW " + path, rc);
}

// SYSTEM and administrators: full control; users: read and execute.
constexpr wchar_t kBase[] = L"(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)";
// Modify (read, write, execute, delete), no change of rights or owner.
constexpr wchar_t kModify[] = L"0x1301bf";

}  // namespace

std::string VirtualAccount(const std::string& service) { return "NT SERVICE\\" + service; }

std::string ServiceSid(const std::string& service) {
  std::wstring upper = win::Wide(service);
  for (wchar_t& c : upper) c = static_cast<wchar_t>(std::towupper(c));
  // UTF-16LE, as the system hashes it (Windows is little-endian).
  const std::vector<BYTE> digest =
      Sha1(upper.data(), static_cast<DWORD>(upper.size() * sizeof(wchar_t)));
  std::string sid = "S-1-5-80";
  for (int i = 0; i < 5; ++i) {
    const DWORD part = static_cast<DWORD>(digest[4 * i]) | static_cast<DWORD>(digest[4 * i + 1]) << 8 |
                       static_cast<DWORD>(digest[4 * i + 2]) << 16 |
                       static_cast<DWORD>(digest[4 * i + 3]) << 24;
    sid += "-" + std::to_string(part);
  }
  return sid;
}

std::vector<std::string> SecureFolder(const std::string& folder, const std::string& service,
                                      const std::vector<std::string>& files,
                                      const std::vector<std::string>& folders) {
  std::vector<std::string> said;
  SetProtectedDacl(folder, std::wstring(L"D:P") + kBase);
  said.push_back(folder + ": only SYSTEM and administrators may write it now");
  const std::wstring sid = win::Wide(ServiceSid(service));
  for (const std::string& file : files) {
    // No data access: the log may be open (and locked) by this very run.
    HANDLE h = ::CreateFileW(win::Wide(file).c_str(), 0,
                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                             OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) Fail("CreateFileW " + file, ::GetLastError());
    ::CloseHandle(h);
    SetProtectedDacl(file, std::wstring(L"D:P") + kBase + L"(A;;" + kModify + L";;;" + sid + L")");
    said.push_back(file + ": " + VirtualAccount(service) + " may modify it");
  }
  for (const std::string& dir : folders) {
    if (!::CreateDirectoryW(win::Wide(dir).c_str(), nullptr) &&
        ::GetLastError() != ERROR_ALREADY_EXISTS)
      Fail("CreateDirectoryW " + dir, ::GetLastError());
    SetProtectedDacl(dir, std::wstring(L"D:P") + kBase + L"(A;OICI;" + kModify + L";;;" + sid + L")");
    said.push_back(dir + ": " + VirtualAccount(service) + " may modify it");
  }
  return said;
}

}  // namespace platform::serviceaccount
