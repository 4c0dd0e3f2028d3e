// The main data module's operations against a real server, and their
// defaults when the connection is lost.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "database/EDatabaseError.h"
#include "database/TmodDatabase.h"
#include "platform/DateTime.h"
#include "support/TestDatabase.h"

namespace {

constexpr TDateTime kDefaultLastDate = 36526.0;  // 01/01/2000 00:00:00.000

void InsertHistorico(TestDatabase& db, int canal, TDateTime data) {
  FbTransaction tr(db.Sysdba(), FbTransactionOptions{});
  tr.StartTransaction();
  FbQuery q(db.Sysdba(), tr,
            "insert into HISTORICOS_H (DATA, VALOR, CANAL_ID, PERIODO) values (:D, 1, :C, 0)");
  q.ParamByName("D").SetDateTime(data);
  q.ParamByName("C").SetInteger(canal);
  q.ExecQuery();
  tr.Commit();
}

void InsertAlarme(TestDatabase& db, const char* equip, TDateTime data) {
  FbTransaction tr(db.Sysdba(), FbTransactionOptions{});
  tr.StartTransaction();
  FbQuery q(db.Sysdba(), tr,
            std::string("insert into ALARMES (EQUIP_ID, DATA, TEXTO, CLASSE) values (") + equip +
                ", :D, 'x', 1)");
  q.ParamByName("D").SetDateTime(data);
  q.ExecQuery();
  tr.Commit();
}

// Two equipment (one without a description) with one channel each.
void InsertInstallation(TestDatabase& db) {
  db.Exec("insert into INTERFACES values (1, 1, 'Serial', 'porta=1', 'libserial.so', 'Serial')");
  db.Exec("insert into DRIVERS values (1, 'Medidor', 1, 'libmedidor.so', 1)");
  db.Exec("insert into VARIAVEIS values (1, 'E', 'kWh', 'Energia')");
  db.Exec("insert into EQUIPAMENTOS values (1, 1, 1, 0, 'Medidor Térreo')");
  db.Exec("insert into EQUIPAMENTOS values (2, 1, 2, 0, null)");
  db.Exec("insert into CANAIS values (11, 1, 0, 1, null, 'E', 'Energia ativa - Salão')");
  db.Exec("insert into CANAIS values (12, 2, 0, 1, null, 'E', null)");
}

bool AnyTransactionActive(TmodDatabase& m) {
  return m.DefaultTransaction.InTransaction() || m.HistoricoTrans.InTransaction() ||
         m.StatusTransaction.InTransaction() || m.AlarmesTrans.InTransaction() ||
         m.GenericTrans.InTransaction();
}

class TmodDatabaseTest : public ::testing::Test {
 protected:
  TestDatabase db;
};

TEST_F(TmodDatabaseTest, LastRecordDateLooksAtTheLast60DaysFirst) {
  const TDateTime now = db.QueryDateTime("select current_timestamp from rdb$database");
  const TDateTime hour = 1.0 / 24;
  struct Case {
    const char* what;
    int canal;
    std::vector<TDateTime> rows;
    TDateTime expected;
  };
  const std::vector<Case> cases = {
      {"nothing stored", 1, {}, kDefaultLastDate},
      {"newest row 61 days old", 2, {now - 100, now - 61}, now - 61},
      {"a row one hour ahead and rows in the window", 3, {now - 2, now + hour, now - 1}, now - 1},
      {"only a future row", 4, {now + hour}, now + hour},
      {"recent rows", 5, {now - 10, now - 1 - 0.123 / 86400}, now - 1 - 0.123 / 86400},
  };
  for (const Case& c : cases)
    for (TDateTime d : c.rows) InsertHistorico(db, c.canal, d);

  TmodDatabase m(db.Params());
  for (const Case& c : cases) {
    EXPECT_EQ(dt::ToMSecs(m.GetLastRecordDate(c.canal)), dt::ToMSecs(c.expected)) << c.what;
    EXPECT_FALSE(m.DefaultTransaction.InTransaction()) << c.what;
  }
}

TEST_F(TmodDatabaseTest, LastAlarmDateOfEachEquipment) {
  const TDateTime d1 = dt::EncodeDateTime(2023, 5, 1, 8, 30, 17, 250);
  const TDateTime d2 = dt::EncodeDateTime(2024, 6, 2, 9, 0, 0, 1);
  InsertAlarme(db, "7", d1);
  InsertAlarme(db, "7", d2);
  InsertAlarme(db, "null", d2 + 1);  // an event of the service: no equipment
  // The service's own communication events of the equipment, dated by the
  // computer: not where its alarms resume (a meter's slow clock records
  // alarms before them). An alarm of the meter's own with class 2 counts.
  db.Exec("insert into ALARMES (EQUIP_ID, DATA, TEXTO, CLASSE) values (7, '2024-06-03', "
          "'Sem comunicação com o equipamento.', 2)");
  db.Exec("insert into ALARMES (EQUIP_ID, DATA, TEXTO, CLASSE) values (7, '2024-06-04', "
          "'Comunicação normal.', 3)");
  db.Exec("insert into ALARMES (EQUIP_ID, DATA, TEXTO, CLASSE) values (8, '2024-06-05', "
          "'Sobretensão', 2)");
  TmodDatabase m(db.Params());
  EXPECT_EQ(m.GetLastAlarmDate(7), d2);
  EXPECT_EQ(m.NewestAlarmDate(7), dt::EncodeDate(2024, 6, 4));  // every row of the equipment
  EXPECT_EQ(m.GetLastAlarmDate(8), dt::EncodeDate(2024, 6, 5));
  db.Exec("delete from ALARMES where EQUIP_ID = 8");
  EXPECT_EQ(m.GetLastAlarmDate(8), kDefaultLastDate);
  EXPECT_FALSE(m.DefaultTransaction.InTransaction());
}

TEST_F(TmodDatabaseTest, DescriptionsAndTheirErrorText) {
  InsertInstallation(db);
  TmodDatabase m(db.Params());
  struct Case {
    bool equip;
    int id;
    const char* expected;
  };
  const Case cases[] = {
      {true, 1, "Medidor Térreo"},         {true, 2, "Erro"},  // NULL DESCRICAO
      {true, 99, "Erro"},                  // no such row
      {false, 11, "Energia ativa - Salão"}, {false, 12, "Erro"},
      {true, 1, "Medidor Térreo"},         // works again after a failure
  };
  for (const Case& c : cases) {
    const std::string got = c.equip ? m.GetEquipDescription(c.id) : m.GetCanalDescription(c.id);
    EXPECT_EQ(got, c.expected) << (c.equip ? "equipment " : "channel ") << c.id;
    EXPECT_FALSE(m.GenericTrans.InTransaction());
  }
}

TEST_F(TmodDatabaseTest, EquipmentStatusIsCreatedUpdatedAndReset) {
  db.Exec("alter table STATUS_EQUIPS add constraint CK_TESTE check (STATUS <> 7)");
  TmodDatabase m(db.Params());
  m.ResetEquipStatus();  // empty table: nothing to do, no error
  EXPECT_EQ(db.QueryInt("select count(*) from STATUS_EQUIPS"), 0);

  m.SetEquipStatus(5, 0, "Carregando");
  EXPECT_EQ(db.QueryInt("select count(*) from STATUS_EQUIPS"), 1);
  m.SetEquipStatus(5, 3, "Falha de comunicação");
  m.SetEquipStatus(6, 1, "Comunicação normal");
  EXPECT_EQ(db.QueryInt("select count(*) from STATUS_EQUIPS"), 2);
  EXPECT_EQ(db.QueryInt("select STATUS from STATUS_EQUIPS where EQUIP_ID = 5"), 3);
  EXPECT_EQ(db.QueryString("select TEXTO from STATUS_EQUIPS where EQUIP_ID = 5"),
            "Falha de comunicação");
  EXPECT_EQ(db.QueryInt("select octet_length(TEXTO) from STATUS_EQUIPS where EQUIP_ID = 5"), 20);

  m.ResetEquipStatus();
  EXPECT_EQ(db.QueryInt("select count(*) from STATUS_EQUIPS"), 2);
  EXPECT_EQ(db.QueryInt("select count(*) from STATUS_EQUIPS where STATUS = 0 and TEXTO = ''"), 2);
  EXPECT_FALSE(AnyTransactionActive(m));

  // A text longer than the column is stored cut to it, not lost.
  m.SetEquipStatus(5, 1, std::string(300, 'x'));
  EXPECT_EQ(db.QueryInt("select STATUS from STATUS_EQUIPS where EQUIP_ID = 5"), 1);
  EXPECT_EQ(db.QueryString("select TEXTO from STATUS_EQUIPS where EQUIP_ID = 5"),
            std::string(255, 'x'));
  EXPECT_FALSE(m.StatusTransaction.InTransaction());
  // A write the database refuses is lost; the next one works.
  m.SetEquipStatus(5, 7, "Recusado");
  EXPECT_EQ(db.QueryInt("select STATUS from STATUS_EQUIPS where EQUIP_ID = 5"), 1);
  EXPECT_FALSE(m.StatusTransaction.InTransaction());
  m.SetEquipStatus(5, 3, "Falha de comunicação");
  EXPECT_EQ(db.QueryInt("select STATUS from STATUS_EQUIPS where EQUIP_ID = 5"), 3);
}

TEST_F(TmodDatabaseTest, ActivityMessageKeepsOneRow) {
  TmodDatabase m(db.Params());
  m.SetCommStatus(1, "Carregando dados do equipamento 'Medidor'");
  m.SetCommStatus(1, "Lendo Medidor - Alarmes");
  m.SetCommStatus(1, "Serviço de comunicação INICIADO.");
  EXPECT_EQ(db.QueryInt("select count(*) from STATUS_COMM"), 1);
  EXPECT_EQ(db.QueryInt("select ID from STATUS_COMM"), 1);
  EXPECT_EQ(db.QueryString("select MENSAGEM from STATUS_COMM"), "Serviço de comunicação INICIADO.");
  EXPECT_EQ(db.QueryInt("select octet_length(MENSAGEM) from STATUS_COMM"), 32);
  EXPECT_FALSE(m.GenericTrans.InTransaction());
}

TEST_F(TmodDatabaseTest, TransactionsHaveTheirOptions) {
  TmodDatabase m(db.Params());
  struct Case {
    FbTransaction* tr;
    bool implicit, commitOnClose;
  };
  const Case cases[] = {{&m.DefaultTransaction, true, true},
                        {&m.HistoricoTrans, false, true},
                        {&m.StatusTransaction, true, true},
                        {&m.AlarmesTrans, true, false},
                        {&m.GenericTrans, false, false}};
  for (const Case& c : cases) {
    EXPECT_FALSE(c.tr->Options().ReadOnly);
    EXPECT_EQ(c.tr->Options().AllowImplicitStart, c.implicit);
    EXPECT_EQ(c.tr->Options().CommitOnClose, c.commitOnClose);
  }
  // AddHistorico outside its transaction fails instead of starting one.
  m.AddHistorico.ParamByName("DATA").SetDateTime(dt::EncodeDate(2024, 1, 1));
  m.AddHistorico.ParamByName("VALOR").SetFloat(1.5f);
  m.AddHistorico.ParamByName("CANAL_ID").SetInteger(1);
  m.AddHistorico.ParamByName("PERIODO").SetInteger(0);
  EXPECT_THROW(m.AddHistorico.ExecQuery(), EDatabaseError);
  m.HistoricoTrans.StartTransaction();
  m.AddHistorico.ExecQuery();
  m.HistoricoTrans.Commit();
  EXPECT_EQ(db.QueryInt("select count(*) from HISTORICOS_H"), 1);
}

TEST_F(TmodDatabaseTest, DestroyingTheModuleEndsActiveTransactionsAsConfigured) {
  {
    TmodDatabase m(db.Params());
    m.HistoricoTrans.StartTransaction();  // commits at close
    m.AddHistorico.ParamByName("DATA").SetDateTime(dt::EncodeDate(2024, 1, 1));
    m.AddHistorico.ParamByName("VALOR").SetFloat(2);
    m.AddHistorico.ParamByName("CANAL_ID").SetInteger(1);
    m.AddHistorico.ParamByName("PERIODO").SetInteger(0);
    m.AddHistorico.ExecQuery();
    m.AlarmesTrans.StartTransaction();  // rolls back at close
    m.AddAlarme.ParamByName("EQUIP_ID").SetInteger(1);
    m.AddAlarme.ParamByName("DATA").SetDateTime(dt::EncodeDate(2024, 1, 1));
    m.AddAlarme.ParamByName("TEXTO").SetString("x");
    m.AddAlarme.ParamByName("CLASSE").SetInteger(1);
    m.AddAlarme.ExecQuery();
  }
  EXPECT_EQ(db.QueryInt("select count(*) from HISTORICOS_H"), 1);
  EXPECT_EQ(db.QueryInt("select count(*) from ALARMES"), 0);
}

// With the connection gone, every operation returns its default at once and
// leaves no transaction behind; nothing escapes.
TEST_F(TmodDatabaseTest, LostConnectionGivesTheDefaults) {
  InsertInstallation(db);
  InsertHistorico(db, 11, dt::EncodeDate(2024, 1, 1));
  {
    TcpProxy proxy;
    TmodDatabase m(proxy.Params(db.Params()));
    ASSERT_EQ(m.GetEquipDescription(1), "Medidor Térreo");
    proxy.Cut();  // as when the server is killed: the next call meets a network error
    EXPECT_EQ(m.GetLastRecordDate(11), 0.0);
    EXPECT_EQ(m.GetLastAlarmDate(1), 0.0);
    EXPECT_EQ(m.GetEquipDescription(1), "Erro");
    EXPECT_EQ(m.GetCanalDescription(11), "Erro");
    EXPECT_NO_THROW(m.SetEquipStatus(1, 3, "Falha de comunicação"));
    EXPECT_NO_THROW(m.ResetEquipStatus());
    EXPECT_NO_THROW(m.SetCommStatus(1, "Lendo"));
    EXPECT_FALSE(AnyTransactionActive(m));
    EXPECT_EQ(m.GetLastRecordDate(11), 0.0);  // and again: no transaction left over
  }
  EXPECT_EQ(db.QueryInt("select count(*) from STATUS_EQUIPS"), 0);
  EXPECT_EQ(db.QueryInt("select count(*) from STATUS_COMM"), 0);
}

TEST_F(TmodDatabaseTest, UnreachableServerFailsTheConstruction) {
  try {
    TmodDatabase m(UnreachableParams());
    FAIL() << "module created without a server";
  } catch (const EDatabaseError& e) {
    EXPECT_TRUE(e.ConnectionLost()) << e.what();
  }
}

}  // namespace
