#include "online/KxOnlineThread.h"

#include <exception>
#include <stdexcept>

#include "log/TFileLog.h"
#include "model/KxBuildingData.h"
#include "online/TmodOnline.h"
#include "platform/Text.h"

namespace {

// The message of the exception being handled; call inside a catch block.
std::string CurrentErrorMessage() {
  try {
    throw;
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "erro desconhecido";
  }
}

}  // namespace

KxOnlineThread::KxOnlineThread(KxBuildingData* buildingData, TFileLog* log,
                               const FbConnectParams& params, KxClock& clock)
    : TThread(clock),
      modOnline_(std::make_unique<TmodOnline>(params)),
      BuildingData(buildingData),
      Log(log) {
  Start();
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

void KxOnlineThread::Execute() {
  Log->WriteLine("OnlineThread: iniciada!");
  Sleep(kStartPause);
  std::vector<std::u16string> names;
  std::vector<std::u16string> values;
  while (!Terminated()) {
    try {
      modOnline_->PurgeExpiredRequests();
      modOnline_->OpenRequests();
      int32_t id = modOnline_->NextRequestedEquip();
      while (id != -1 && !Terminated()) {
        names.clear();
        values.clear();
        KxListaEquipamentos* equips = BuildingData->ListaEquipamentos.get();
        KxEquipamento* equip = equips ? equips->FindById(id) : nullptr;
        if (equip) {
          try {
            if (equip->ReadOnline(names, values) == 0) WriteOnlineValues(id, names, values);
          } catch (...) {
            Log->WriteLine("OnlineThread: exceção ao ler do equipamento [" + text::IntToStr(id) +
                           "]: " + CurrentErrorMessage());
          }
        }
        Sleep(kEquipPause);
        id = modOnline_->NextRequestedEquip();
      }
      Sleep(kPassPause);
    } catch (...) {
      Log->WriteLine("OnlineThread: exceção " + CurrentErrorMessage());
      Sleep(kErrorPause);
    }
  }
  Log->WriteLine("OnlineThread: finalizada!");
}
