// The least-privileged account a Windows service runs as, and the rights it
// is given on its folder at --install. Windows only.
//
// The account is the service's virtual account "NT SERVICE\<name>": it
// exists once the service is registered, needs no password, and has the
// rights of the Users group plus what is granted to its SID, which Windows
// derives from the name alone (S-1-5-80- followed by the SHA-1 of the
// upper-case name).
//
// Threads: any; nothing is kept between calls.
#pragma once

#include <string>
#include <vector>

namespace platform::serviceaccount {

// "NT SERVICE\<service>".
std::string VirtualAccount(const std::string& service);
// The SID of that account, as text ("S-1-5-80-...").
std::string ServiceSid(const std::string& service);

// Makes `folder` (the executable's) writable by SYSTEM and administrators
// only, readable by users, with its files and folders inheriting that; then
// lets the service's account modify `files` and `folders` (created when
// missing), its log and the folders its packages write in. Returns what was
// changed, one line each, for the console; throws std::runtime_error when
// the system refuses.
std::vector<std::string> SecureFolder(const std::string& folder, const std::string& service,
                                      const std::vector<std::string>& files,
                                      const std::vector<std::string>& folders);

}  // namespace platform::serviceaccount
