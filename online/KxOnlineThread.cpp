#include "online/KxOnlineThread.h"
#include "platform/ExceptionMessage.h"

#include <exception>
#include <stdexcept>

#include "database/EDatabaseError.h"
#include "log/TFileLog.h"
#include "model/KxBuildingData.h"
#include "online/TmodOnline.h"
#include "platform/Text.h"

KxOnlineThread::KxOnlineThread(KxBuildingData* buildingData, TFileLog* log,
                               const FbConnectParams& params, KxClock& clock)
    : TThread(clock, "OnlineThread"),
      params_(params),
      BuildingData(buildingData),
      Log(log),
      watch_(clock, TerminatedFlag()) {
  SetReportSink([log](const std::string& line) { log->WriteLine(line); });
  try {
    OpenModule();
  } catch (...) {
    // Not reachable now: Execute tries again before every pass.
  }
  Start();
}

void KxOnlineThread::OpenModule() {
  modOnline_ = std::make_unique<TmodOnline>(params_);
  TFileLog* log = Log;
  modOnline_->DB.SetListener([log](bool connected, const std::string& message) {
    if (connected)
      log->WriteLine("OnlineThread: conexão com o banco de dados restabelecida!");
    else
      log->WriteLine("OnlineThread: conexão com o banco de dados perdida: " + message);
  });
}

KxOnlineThread::~KxOnlineThread() = default;

void KxOnlineThread::WriteOnlineValues(int32_t equipId, const std::vector<std::u16string>& names,
                                       const std::vector<std::u16string>& values) {
  modOnline_->BeginValues();
  for (size_t i = 0; i < names.size(); ++i) {
    if (i >= values.size())
      throw std::out_of_range("List index out of bounds (" + std::to_string(i) + ")");
    modOnline_->StoreOnlineValue(equipId, text::FromUtf16(names[i]), text::FromUtf16(values[i]));
  }
  modOnline_->CommitValues();
}

void KxOnlineThread::ReadAndWriteOnline(KxEquipamento* equip, std::vector<std::u16string>& names,
                                        std::vector<std::u16string>& values) {
  struct Answer {
    int r;
    std::vector<std::u16string> names;
    std::vector<std::u16string> values;
  };
  const auto a = watch_.Call<Answer>(equip->EquipId, [equip] {
    Answer x{0, {}, {}};
    x.r = equip->ReadOnline(x.names, x.values);
    return x;
  });
  if (!a) {
    if (!Terminated())
      Log->WriteLine("OnlineThread: equipamento [" + text::IntToStr(equip->EquipId) +
                     "] sem resposta de ReadOnline em " +
                     std::to_string(KxPackageWatch::kCallBound.count()) +
                     " s: sem valores até que a chamada retorne.");
    return;
  }
  if (a->r != 0) return;
  names = a->names;
  values = a->values;
  WriteOnlineValues(equip->EquipId, names, values);
}

void KxOnlineThread::Execute() {
  Log->WriteLine("OnlineThread: iniciada!");
  Sleep(kStartPause);
  std::vector<std::u16string> names;
  std::vector<std::u16string> values;
  bool unreachable = false;  // the module could not be created yet
  while (!Terminated()) {
    try {
      if (!modOnline_) {
        try {
          OpenModule();
        } catch (const std::exception& e) {
          if (!unreachable)
            Log->WriteLine(std::string("OnlineThread: conexão com o banco de dados perdida: ") +
                           e.what());
          unreachable = true;
          Sleep(kErrorPause);
          continue;
        }
        if (unreachable) Log->WriteLine("OnlineThread: conexão com o banco de dados restabelecida!");
        unreachable = false;
      }
      modOnline_->PurgeExpiredRequests();
      modOnline_->OpenRequests();
      int32_t id = modOnline_->NextRequestedEquip();
      while (id != -1 && !Terminated()) {
        names.clear();
        values.clear();
        KxListaEquipamentos* equips = BuildingData->ListaEquipamentos.get();
        KxEquipamento* equip = equips ? equips->FindById(id) : nullptr;
        // A call left behind is still inside the equipment's object: it is
        // not asked again until that call returns.
        if (equip && !watch_.Busy(id)) {
          try {
            ReadAndWriteOnline(equip, names, values);
          } catch (...) {
            if (!CurrentErrorIsConnectionLost())
              Log->WriteLine("OnlineThread: exceção ao ler do equipamento [" + text::IntToStr(id) +
                             "]: " + CurrentExceptionMessage());
          }
        }
        Sleep(kEquipPause);
        id = modOnline_->NextRequestedEquip();
      }
      Sleep(kPassPause);
    } catch (...) {
      if (!CurrentErrorIsConnectionLost())
        Log->WriteLine("OnlineThread: exceção " + CurrentExceptionMessage());
      Sleep(kErrorPause);
    }
  }
  Log->WriteLine("OnlineThread: finalizada!");
}
