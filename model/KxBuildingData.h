// The installation: interfaces, drivers, variables and equipment, built once
// from the configuration tables and read by the worker threads until stop.
#pragma once

#include <atomic>
#include <memory>

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

class KxBuildingData {
 public:
  // `database` defaults to the global modDatabase.
  explicit KxBuildingData(TFileLog* log, TmodDatabase* database = nullptr);
  // Frees the equipment, then the variables, the drivers and the interfaces.
  ~KxBuildingData();

  // Loads interfaces, drivers, variables and equipment. `stop` is read after
  // each row; true ends the step in progress.
  void Load(const std::atomic<bool>* stop);

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
};
