// The installation: interfaces, drivers, variables and equipment, built once
// from the configuration tables and read by the worker threads until stop.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <stdexcept>
#include <string>

#include "model/KxListaEquipamentos.h"
#include "model/KxListaVariaveis.h"
#include "plugins/KxListaDrivers.h"
#include "plugins/KxListaInterfaces.h"

class KxListaCanais;
class KxListaPeriodos;
class TFileLog;
class TmodDatabase;
class TmodEquipamentos;
class TmodVariaveis;

// A failure of the database met while loading (a look-up that could not be
// made; the database layer's own EDatabaseError otherwise): it fails the load
// as a whole, since half an installation would collect some meters and
// silently leave out the others. A row's own failures do not.
class ELoadFailure : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class KxBuildingData {
 public:
  // `database` defaults to the global modDatabase.
  explicit KxBuildingData(TFileLog* log, TmodDatabase* database = nullptr);
  // Frees the equipment, then the variables, the drivers and the interfaces.
  ~KxBuildingData();

  // Loads interfaces, drivers, variables and equipment. `stop` is read after
  // each row; true ends the step in progress. A row that fails for a reason
  // of its own (a package that will not load, a driver that refuses its
  // equipment, an empty TIPO, a value that will not convert) is reported
  // and left out. A failure of the database (a module that will not open,
  // a cursor that will not move, a failed look-up, inside a row too) raises
  // out of Load, an EDatabaseError or an ELoadFailure: the caller frees
  // this object and loads again.
  void Load(const std::atomic<bool>* stop);

  // Channels whose VAR_ID names a variable that failed to load for a reason
  // of its own row: they are not read (their records wait in the meter)
  // until a load reads the variable, since tagged PERIODO 0 they would be
  // billed as if no tariff applied. A channel without VAR_ID, or whose
  // VAR_ID names no row, is read and tagged 0 (the building's choice).
  // Filled by Load; read by the acquisition thread once the load is over.
  bool CanalAguardaVariavel(int32_t canalId) const { return canaisAguardando_.count(canalId) > 0; }
  // How many channels of the loaded equipment wait so.
  int CanaisAguardando() const;

  // Declared in this order; destroyed explicitly in the order above.
  std::unique_ptr<KxListaInterfaces> ListaInterfaces;
  std::unique_ptr<KxListaDrivers> ListaDrivers;
  std::unique_ptr<KxListaVariaveis> ListaVariaveis;
  std::unique_ptr<KxListaEquipamentos> ListaEquipamentos;
  TFileLog* Log;  // not owned

 private:
  void LoadInterfaces(const std::atomic<bool>* stop);
  void LoadDrivers(const std::atomic<bool>* stop);
  void LoadVariaveis(const std::atomic<bool>* stop);
  void LoadEquipamentos(const std::atomic<bool>* stop);
  std::unique_ptr<KxListaPeriodos> LoadPeriodos(TmodVariaveis& mod);
  std::unique_ptr<KxListaCanais> LoadCanais(TmodEquipamentos& mod, const std::atomic<bool>* stop);

  TmodDatabase* database_;  // not owned
  // Variables that failed for a reason of their own row, by VAR_ID, with
  // the reason; the channels that name one of them, by CANAL_ID.
  std::map<int32_t, std::string> variaveisFalhas_;
  std::set<int32_t> canaisAguardando_;
};
