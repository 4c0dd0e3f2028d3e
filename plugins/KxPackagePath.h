// Paths of the plug-in packages.
#pragma once

#include <string>

// The path of a package: "./" + folder + "/" + dllName, relative to the
// process's current directory (folder is "Interfaces" or "Drivers"), with
// the system's separator (".\Drivers\x.dll" on Windows).
// `dllName` comes from the database and must be a bare file name: an empty
// name, one with a folder separator ('/' or '\\'), a NUL character or ".."
// throws std::runtime_error naming it, so that a table row cannot make the
// service load code from anywhere else.
std::string PackagePath(const std::string& folder, const std::string& dllName);
