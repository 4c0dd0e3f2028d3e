// The Firebird client library, as the database layer reaches it.
//
// POSIX: libfbclient is linked with the program. Windows: fbclient.dll is
// loaded when first needed, from the executable's folder first, then from
// the Firebird installation's folder (the DefaultInstance of the registry
// key "SOFTWARE\Firebird Project\Firebird Server\Instances"), then by the
// system's search path; it stays loaded until the process ends. A program
// and its client library must have the same bitness (64-bit here).
//
// Threads: callable from any thread.
#pragma once

namespace Firebird {
class IMaster;
}

namespace platform {

// The client library's master interface (fb_get_master_interface). Throws
// std::runtime_error when the library cannot be had; its message says which
// files were looked for. A later call tries again.
Firebird::IMaster* FirebirdMaster();

}  // namespace platform
