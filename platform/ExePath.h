// Where the running program lives.
#pragma once

#include <string>

namespace platform {

// The separator of the folders of a path on this system.
#ifdef _WIN32
inline constexpr char kPathDelimiter = '\\';
#else
inline constexpr char kPathDelimiter = '/';
#endif

// Absolute path of the running executable (POSIX: symbolic links resolved;
// Windows: the module file name). Throws std::system_error when the system
// cannot tell.
std::string ExecutablePath();

// The folder of the running executable: its path with the last component
// removed, without a trailing separator ("" for a program in "/", "C:" for
// one in "C:\").
std::string ExecutableFolder();

// `path` with its last component removed ("/a/b/c" -> "/a/b"; on Windows
// both '\\' and '/' separate components).
std::string ExtractFolder(const std::string& path);

}  // namespace platform
