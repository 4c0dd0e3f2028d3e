#include "model/KxBuildingData.h"
#include "platform/ExceptionMessage.h"

#include <exception>
#include <stdexcept>
#include <string>

#include "database/EDatabaseError.h"
#include "database/TmodDatabase.h"
#include "log/TFileLog.h"
#include "model/KxListaPeriodos.h"
#include "model/KxListaSegmentos.h"
#include "model/TmodDrivers.h"
#include "model/TmodEquipamentos.h"
#include "model/TmodInterfaces.h"
#include "model/TmodVariaveis.h"
#include "platform/DateTime.h"
#include "platform/Text.h"
#include "plugins/KxPackagePath.h"

namespace {

// The message of the exception being handled (call inside a catch block).
bool StopRequested(const std::atomic<bool>* stop) { return stop && stop->load(); }

// A text column; an empty (NULL) one reads as the empty text.
std::string Text(FbQuery& q, const char* column) {
  FbQuery::Field& f = q.FieldByName(column);
  return f.IsNull() ? std::string() : f.AsString();
}

// Inside a row's catch block: raises again what fails the load as a whole,
// a failure of the database rather than of the row's own values.
void RethrowLoadFailure() {
  try {
    throw;
  } catch (const ELoadFailure&) {
    throw;
  } catch (const EDatabaseError& e) {
    if (e.Fault() != EDatabaseFault::Record) throw;
  } catch (...) {
  }
}

}  // namespace

KxBuildingData::KxBuildingData(TFileLog* log, TmodDatabase* database)
    : ListaInterfaces(std::make_unique<KxListaInterfaces>()),
      ListaDrivers(std::make_unique<KxListaDrivers>()),
      ListaVariaveis(std::make_unique<KxListaVariaveis>()),
      ListaEquipamentos(std::make_unique<KxListaEquipamentos>()),
      Log(log),
      database_(database ? database : modDatabase) {}

KxBuildingData::~KxBuildingData() {
  // Equipment objects run code of the driver packages: they go before the
  // drivers unload them; drivers go before the interfaces they use.
  ListaEquipamentos.reset();
  ListaVariaveis.reset();
  ListaDrivers.reset();
  ListaInterfaces.reset();
}

void KxBuildingData::Load(const std::atomic<bool>* stop) {
  if (!database_) throw std::logic_error("KxBuildingData: no main database module");
  database_->SetCommStatus(1, "Carregando interfaces...");
  LoadInterfaces(stop);
  database_->SetCommStatus(1, "Carregando drivers...");
  LoadDrivers(stop);
  database_->SetCommStatus(1, "Carregando variáveis...");
  LoadVariaveis(stop);
  LoadEquipamentos(stop);
}

void KxBuildingData::LoadInterfaces(const std::atomic<bool>* stop) {
  TmodInterfaces mod(database_);
  FbQuery& q = mod.Interfaces;
  while (!q.Eof()) {
    Log->WriteLine("Criando interface: " + Text(q, "DESCRICAO"));
    try {
      const std::string path = PackagePath("Interfaces", q.FieldByName("DLLNAME").AsString());
      const std::string configs = q.FieldByName("CONFIGS").AsBlob();
      ListaInterfaces->AddInterface(q.FieldByName("INTERFACE_ID").AsInteger(), path, Log,
                                    reinterpret_cast<const uint8_t*>(configs.data()),
                                    static_cast<int32_t>(configs.size()));
      Log->WriteLine("\tInterface OK!");
    } catch (...) {
      RethrowLoadFailure();
      Log->WriteLine("\tExceção criando interface:" + CurrentExceptionMessage());
    }
    q.Next();
    if (StopRequested(stop)) break;
  }
}

void KxBuildingData::LoadDrivers(const std::atomic<bool>* stop) {
  TmodDrivers mod(database_);
  FbQuery& q = mod.Drivers;
  while (!q.Eof()) {
    const int32_t driverId = q.FieldByName("DRIVER_ID").AsInteger();
    Log->WriteLine("Criando driver: " + text::IntToStr(driverId));
    try {
      const std::string path = PackagePath("Drivers", q.FieldByName("DLLNAME").AsString());
      KxInterface* interface_ =
          ListaInterfaces->FindById(q.FieldByName("INTERFACE_ID").AsInteger());
      if (interface_) {
        KxDriver* driver = ListaDrivers->AddDriver(path, driverId, interface_);
        Log->WriteLine("\t" + driver->Nome + " / " + driver->Versao + " OK!");
      } else {
        Log->WriteLine("\tErro: interface não existe!");
      }
    } catch (...) {
      RethrowLoadFailure();
      Log->WriteLine("\tExceção criando driver:" + CurrentExceptionMessage());
    }
    q.Next();
    if (StopRequested(stop)) break;
  }
}

void KxBuildingData::LoadVariaveis(const std::atomic<bool>* stop) {
  TmodVariaveis mod(database_);
  FbQuery& q = mod.Variaveis;
  while (!q.Eof()) {
    Log->WriteLine("Criando variavel: " + Text(q, "DESCRICAO"));
    const int32_t varId = q.FieldByName("VAR_ID").AsInteger();
    try {
      std::unique_ptr<KxListaPeriodos> periodos = LoadPeriodos(mod);
      // TIPO is char(1): an empty value comes back blank-padded, and a blank
      // is no type either.
      std::u16string tipo = text::ToUtf16(q.FieldByName("TIPO").AsString());
      while (!tipo.empty() && tipo.back() == u' ') tipo.pop_back();
      if (tipo.empty()) throw std::range_error("Range check error");
      auto variavel = std::make_unique<KxVariavel>(varId, static_cast<uint8_t>(tipo[0] & 0xFF),
                                                   periodos.release());
      ListaVariaveis->Add(variavel.get());
      variavel.release();
    } catch (...) {
      RethrowLoadFailure();
      const std::string mensagem = CurrentExceptionMessage();
      Log->WriteLine("\tErro:" + mensagem);
      variaveisFalhas_[varId] = mensagem;
    }
    mod.NextVariavel();
    if (StopRequested(stop)) break;
  }
}

std::unique_ptr<KxListaPeriodos> KxBuildingData::LoadPeriodos(TmodVariaveis& mod) {
  auto periodos = std::make_unique<KxListaPeriodos>();
  while (!mod.Periodos.Eof()) {
    auto segmentos = std::make_unique<KxListaSegmentos>();
    FbQuery& s = mod.Segmentos;
    while (!s.Eof()) {
      segmentos->AddSegmento(s.FieldByName("DIAS").AsInteger(),
                             s.FieldByName("PERIODO_ID").AsInteger(),
                             s.FieldByName("STARTTIME").AsDateTime(),
                             s.FieldByName("ENDTIME").AsDateTime());
      s.Next();
    }
    periodos->AddPeriodo(mod.Periodos.FieldByName("PERIODO_ID").AsInteger(), segmentos.release());
    mod.NextPeriodo();
  }
  return periodos;
}

void KxBuildingData::LoadEquipamentos(const std::atomic<bool>* stop) {
  TmodEquipamentos mod(database_);
  FbQuery& q = mod.Equipamentos;
  while (!q.Eof()) {
    const int32_t equipId = q.FieldByName("EQUIP_ID").AsInteger();
    const std::string descricao = Text(q, "DESCRICAO");
    const int32_t addr1 = q.FieldByName("DRV_ADDR1").AsInteger();  // empty reads as 0
    const int32_t addr2 = q.FieldByName("DRV_ADDR2").AsInteger();
    Log->WriteLine("Criando equipamento [" + text::IntToStr(equipId) + "]: " + descricao + " (" +
                   text::IntToStr(addr1) + "/" + text::IntToStr(addr2) + ") ");
    database_->SetCommStatus(1, "Carregando dados do equipamento '" + descricao + "'");
    if (ListaEquipamentos->FindById(equipId)) {
      // A second row with the same id would collect the same channels twice
      // and share one status row: it is reported and skipped, leaving the
      // first equipment's status as it is.
      Log->WriteLine("\tExceção: Equipamento [" + text::IntToStr(equipId) +
                     "] repetido: já carregado");
      mod.NextEquipamento();
      if (StopRequested(stop)) break;
      continue;
    }
    try {
      database_->SetEquipStatus(equipId, 0, "Carregando canais");
      std::unique_ptr<KxListaCanais> canais = LoadCanais(mod, stop);
      KxDriver* driver = ListaDrivers->FindById(q.FieldByName("DRIVER_ID").AsInteger());
      if (driver) {
        // From the call on the list is the package's, whatever it gives back:
        // it may have freed the list with an object it made and deleted
        // again, so touching it would free it twice. A package that fails
        // and keeps it costs one leaked list.
        KxEquipamento* created = nullptr;
        if (driver->CreateEquipClass) {
          created = driver->CreateEquipamento(equipId, addr1, addr2, canais.release(), Log);
        }
        if (!created)
          throw std::runtime_error("o driver não criou o equipamento [" +
                                   text::IntToStr(equipId) + "]");
        std::unique_ptr<KxEquipamento> equip(created);
        // A failed look-up (zero date) would make the equipment deliver its
        // whole alarm history again: such an equipment is not created.
        std::string falha;
        const TDateTime ultimoAlarme = database_->GetLastAlarmDate(equipId, &falha);
        if (ultimoAlarme == 0)
          throw ELoadFailure("Falha ao ler a data do último alarme do equipamento [" +
                             text::IntToStr(equipId) + "]: " + falha);
        equip->DataUltimoAlarme = ultimoAlarme;
        Log->WriteLine("\t\tData último alarme: " + dt::FormatShort(ultimoAlarme));
        ListaEquipamentos->Add(equip.get());
        equip.release();
        Log->WriteLine("\tEquipamento OK!");
        database_->SetEquipStatus(equipId, 0, "Aguardando leitura");
      } else {
        Log->WriteLine("\tDriver não existe!");
      }
    } catch (...) {
      RethrowLoadFailure();
      const std::string mensagem = "\tExceção: " + CurrentExceptionMessage();
      Log->WriteLine(mensagem);
      database_->SetEquipStatus(equipId, 0, mensagem);
    }
    mod.NextEquipamento();
    if (StopRequested(stop)) break;
  }
}

std::unique_ptr<KxListaCanais> KxBuildingData::LoadCanais(TmodEquipamentos& mod,
                                                          const std::atomic<bool>* stop) {
  auto canais = std::make_unique<KxListaCanais>();
  FbQuery& q = mod.Canais;
  while (!q.Eof()) {
    FbQuery::Field& varField = q.FieldByName("VAR_ID");
    const bool semVariavel = varField.IsNull();
    const int32_t varId = varField.AsInteger();
    KxVariavel* variavel = semVariavel ? nullptr : ListaVariaveis->FindById(varId);
    const int32_t canalId = q.FieldByName("CANAL_ID").AsInteger();
    std::string falha;
    const TDateTime last = database_->GetLastRecordDate(canalId, &falha);
    // A failed look-up (zero date) would make the equipment deliver the
    // channel's whole history again, stored twice: the load fails.
    if (last == 0)
      throw ELoadFailure("Falha ao ler a última data do canal [" + text::IntToStr(canalId) +
                         "]: " + falha);
    canais->AddCanal(canalId, q.FieldByName("EQUIP_INDEX").AsInteger(), variavel,
                     q.FieldByName("LOCAL_ID").AsInteger(), last);
    Log->WriteLine("\t\tCanal: " + Text(q, "DESCRICAO") + " last=" + dt::FormatShort(last));
    const auto falhou = semVariavel ? variaveisFalhas_.end() : variaveisFalhas_.find(varId);
    if (falhou != variaveisFalhas_.end()) {
      canaisAguardando_.insert(canalId);
      Log->WriteLine("\t\tCanal [" + text::IntToStr(canalId) + "] não será lido: variável [" +
                     text::IntToStr(varId) + "] não carregada (" + falhou->second +
                     "); os registros aguardam no medidor");
    }
    q.Next();
    if (StopRequested(stop)) break;
  }
  return canais;
}

int KxBuildingData::CanaisAguardando() const {
  int n = 0;
  for (int i = 0; i < ListaEquipamentos->Count(); ++i) {
    const KxListaCanais* canais = ListaEquipamentos->Items(i)->Canais;
    for (int c = 0; canais && c < canais->Count(); ++c)
      n += CanalAguardaVariavel(canais->Items(c)->CanalId) ? 1 : 0;
  }
  return n;
}
