#include "clock/KxAtualizacaoRelogioThread.h"
#include "platform/ExceptionMessage.h"

#include <exception>
#include <string>

#include "acquisition/KxCustomLog.h"
#include "log/TFileLog.h"
#include "model/KxBuildingData.h"

namespace {

// 00:00 to 00:00:59 and 12:00 to 12:00:59. A time that cannot be decoded is
// never a trigger minute.
bool InTriggerMinute(TDateTime now) {
  dt::DateTimeParts parts;
  if (!dt::Decode(now, parts)) return false;
  return parts.minute == 0 && (parts.hour == 0 || parts.hour == 12);
}

}  // namespace

KxAtualizacaoRelogioThread::KxAtualizacaoRelogioThread(KxBuildingData* buildingData,
                                                       TFileLog* log, KxCustomLog* alarmLog,
                                                       KxClock& clock)
    : TThread(clock, "RTCThread"), BuildingData(buildingData), Log(log), AlarmLog(alarmLog) {
  SetReportSink([log](const std::string& line) { log->WriteLine(line); });
  Start();
}

KxAtualizacaoRelogioThread::~KxAtualizacaoRelogioThread() = default;

void KxAtualizacaoRelogioThread::MarkClocksForUpdate() {
  KxListaEquipamentos* equips = BuildingData->ListaEquipamentos.get();
  if (!equips) return;
  for (int i = 0; i < equips->Count(); ++i) equips->Items(i)->RelogioPendente = true;
}

void KxAtualizacaoRelogioThread::Execute() {
  Log->WriteLine("RTCThread: Iniciada!");
  while (!Terminated()) {
    try {
      if (!InTriggerMinute(Clock().Now())) {
        done_ = false;
      } else if (!done_) {
        Log->WriteLine("RTCThread: atualização periódica de relógios iniciada!");
        AlarmLog->LogAlarme(1000, Clock().Now(), "Atualização periódica de relógios iniciada!",
                            -1);
        MarkClocksForUpdate();
        done_ = true;
      }
      for (int i = 0; i < kPauseSteps; ++i) {
        Sleep(kPauseStep);
        if (Terminated()) break;
      }
    } catch (...) {
      Log->WriteLine("RTCThread: " + CurrentExceptionMessage());
      // Never retry at once: an error that repeats would fill the log.
      Sleep(kErrorPause);
    }
  }
  Log->WriteLine("RTCThread: Finalizada!");
}
