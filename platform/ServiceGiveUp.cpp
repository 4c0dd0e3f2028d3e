#include "platform/ServiceGiveUp.h"

bool KxServiceGiveUp::Note(bool healthy, std::chrono::steady_clock::time_point now) {
  if (healthy) {
    unhealthy_ = false;
    return false;
  }
  if (!unhealthy_) {
    unhealthy_ = true;
    since_ = now;
  }
  return now - since_ > kBound;
}

std::string KxServiceGiveUp::Reason(const std::string& summary) {
  return "sem condições de trabalhar há " + std::to_string(kBound.count()) + " s (" + summary +
         "): o serviço termina com o código " + std::to_string(kExitCode) +
         " para que o gerenciador de serviços o reinicie.";
}
