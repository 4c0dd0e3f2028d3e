#include "plugins/KxPackagePath.h"

#include <stdexcept>

#include "platform/ExePath.h"

std::string PackagePath(const std::string& folder, const std::string& dllName) {
  if (dllName.empty())
    throw std::runtime_error("Nome de pacote vazio (DLLNAME)");
  if (dllName.find_first_of(std::string("/\\\0", 3)) != std::string::npos ||
      dllName.find("..") != std::string::npos)
    throw std::runtime_error("Nome de pacote inválido (DLLNAME): '" + dllName +
                             "': só é aceito um nome de arquivo, sem pasta");
  return std::string(".") + platform::kPathDelimiter + folder + platform::kPathDelimiter + dllName;
}
