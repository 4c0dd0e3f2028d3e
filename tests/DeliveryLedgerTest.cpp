// The ledger's rules against a real server: what it looks up, when, and how
// rows alike are told apart by number.
#include <gtest/gtest.h>

#include "acquisition/KxDeliveryLedger.h"
#include "database/TmodDatabase.h"
#include "platform/DateTime.h"
#include "plugins/TelvaneSdk.h"
#include "support/TestDatabase.h"

namespace {

TDateTime At(int h, int m, int s, int ms = 0) {
  return dt::EncodeDateTime(2024, 6, 2, h, m, s, ms);
}

class DeliveryLedgerTest : public ::testing::Test {
 protected:
  void Row(int canal, TDateTime stored, float value) {
    FbTransaction tr(db.Sysdba(), FbTransactionOptions{});
    tr.StartTransaction();
    FbQuery q(db.Sysdba(), tr,
              "insert into HISTORICOS_H (DATA, VALOR, CANAL_ID, PERIODO) values (:D, :V, :C, 0)");
    q.ParamByName("D").SetDateTime(stored);
    q.ParamByName("V").SetFloat(value);
    q.ParamByName("C").SetInteger(canal);
    q.ExecQuery();
    tr.Commit();
  }
  TestDatabase db;
};

TEST_F(DeliveryLedgerTest, HistoryAtOrBeforeTheNewestRowIsCountedAndTheFromDateCoversItsMinute) {
  // Stored before a restart: 10:05 twice with 1 (records at :00 and :20),
  // and 10:09, ahead of the loader's window.
  Row(5, At(10, 5, 0), 1.f);
  Row(5, At(10, 5, 0), 1.f);
  Row(5, At(10, 9, 0), 3.f);
  TmodDatabase m(db.Params());
  KxDeliveryLedger ledger(m);
  KxCanal canal(5, 0, nullptr, 0);
  canal.UltimaData = At(10, 5, 0);  // what the loader read
  ledger.BeginChannel(canal);
  // Every record of 10:05 comes again, the one at 10:05:00 included.
  EXPECT_EQ(dt::ToMSecs(canal.UltimaData), dt::ToMSecs(At(10, 4, 59, 999)));
  ledger.BeginChannel(canal);  // once only
  EXPECT_EQ(dt::ToMSecs(canal.UltimaData), dt::ToMSecs(At(10, 4, 59, 999)));

  auto offer = [&](TDateTime date, float value) {
    const bool there = ledger.IsStored(5, date, dt::ZeroSeconds(date), value);
    ledger.NoteStored(5, dt::ZeroSeconds(date), value);
    return there;
  };
  EXPECT_TRUE(offer(At(10, 5, 0), 1.f));
  EXPECT_TRUE(offer(At(10, 5, 20), 1.f));
  EXPECT_FALSE(offer(At(10, 5, 40), 1.f));  // the third alike was never stored
  EXPECT_TRUE(offer(At(10, 9, 0), 3.f));    // ahead of the server's clock
  EXPECT_FALSE(offer(At(10, 10, 0), 3.f));  // after the newest row: no look-up
  Row(5, At(10, 10, 0), 3.f);  // as if that commit had gone through

  // A held record in doubt is looked up once more; one not in doubt is not.
  ledger.Hold(5, At(10, 11, 0), 4.f, true);
  Row(5, At(10, 11, 0), 4.f);  // its commit reached the server
  const auto held = ledger.TakeHeld(5);
  ASSERT_TRUE(held);
  EXPECT_FALSE(ledger.TakeHeld(5));
  EXPECT_TRUE(ledger.IsStored(5, held->date, At(10, 11, 0), held->value));
  ledger.Hold(5, At(10, 12, 0), 4.f, false);
  Row(5, At(10, 12, 0), 4.f);
  EXPECT_FALSE(ledger.IsStored(5, At(10, 12, 0), At(10, 12, 0), 4.f));

  // 0.0 and -0.0 are one value, as SQL compares them: after a restart that
  // found 10:20 holding one 0.0, a -0.0 delivered after it is the second
  // alike, not the one stored.
  Row(5, At(10, 20, 0), 0.f);
  KxDeliveryLedger restarted(m);
  KxCanal again(5, 0, nullptr, 0);
  again.UltimaData = At(10, 20, 0);
  restarted.BeginChannel(again);
  auto offerAgain = [&](TDateTime date, float value) {
    const bool there = restarted.IsStored(5, date, dt::ZeroSeconds(date), value);
    if (!there) Row(5, dt::ZeroSeconds(date), value);
    restarted.NoteStored(5, dt::ZeroSeconds(date), value);
    return there;
  };
  EXPECT_TRUE(offerAgain(At(10, 20, 10), 0.f));
  EXPECT_FALSE(offerAgain(At(10, 20, 30), -0.f));
  EXPECT_EQ(db.QueryInt("select count(*) from HISTORICOS_H where CANAL_ID = 5 and DATA = "
                        "'2024-06-02 10:20:00'"),
            2);

  // A channel with nothing stored keeps the loader's from-date.
  KxCanal empty(6, 0, nullptr, 0);
  empty.UltimaData = dt::EncodeDate(2000, 1, 1);
  ledger.BeginChannel(empty);
  EXPECT_EQ(empty.UltimaData, dt::EncodeDate(2000, 1, 1));
  EXPECT_FALSE(ledger.IsStored(6, At(10, 0, 0), At(10, 0, 0), 1.f));
}

TEST_F(DeliveryLedgerTest, AlarmsAtOrBeforeTheNewestRowAreMatchedByDateClassAndText) {
  db.Exec("insert into ALARMES (EQUIP_ID, DATA, TEXTO, CLASSE) values (7, '2024-06-02 10:00:00', "
          "'Porta aberta', 5)");
  db.Exec("insert into ALARMES (EQUIP_ID, DATA, TEXTO, CLASSE) values (7, '2024-06-02 10:30:00', "
          "'Comunicação normal.', 3)");
  TmodDatabase m(db.Params());
  KxDeliveryLedger ledger(m);
  ledger.BeginAlarms(7);
  using A = KxDeliveryLedger::HeldAlarm;
  EXPECT_TRUE(ledger.IsStored(7, A{At(10, 0, 0), "Porta aberta", 5}));
  ledger.NoteStored(7, A{At(10, 0, 0), "Porta aberta", 5});
  EXPECT_FALSE(ledger.IsStored(7, A{At(10, 0, 0), "Porta aberta", 5}));  // a second alike
  EXPECT_FALSE(ledger.IsStored(7, A{At(10, 0, 0), "Porta fechada", 5}));
  // Before the service's own event: a slow meter's alarm, looked up.
  EXPECT_FALSE(ledger.IsStored(7, A{At(10, 20, 0), "Tampa aberta", 6}));
  EXPECT_FALSE(ledger.IsStored(7, A{At(11, 0, 0), "Tampa aberta", 6}));
}

}  // namespace
