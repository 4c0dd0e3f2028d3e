// Where the running program lives.
#pragma once

#include <string>

namespace platform {

// Absolute path of the running executable (symbolic links resolved).
// Throws std::system_error when the system cannot tell.
std::string ExecutablePath();

// The folder of the running executable: its path with the last component
// removed, without a trailing separator ("" for a program in "/").
std::string ExecutableFolder();

// `path` with its last component removed ("/a/b/c" -> "/a/b").
std::string ExtractFolder(const std::string& path);

}  // namespace platform
