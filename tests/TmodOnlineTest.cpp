// The online data module against a real server: requests, their purge at
// the exact boundary, the values written, and a lost connection.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "database/EDatabaseError.h"
#include "online/TmodOnline.h"
#include "platform/DateTime.h"
#include "support/TestDatabase.h"

namespace {

constexpr TDateTime kMs = 1.0 / 86400000;

void InsertRequest(TestDatabase& db, int equip, TDateTime validade) {
  FbTransaction tr(db.Sysdba(), FbTransactionOptions{});
  tr.StartTransaction();
  FbQuery q(db.Sysdba(), tr, "insert into ONLINE_EQUIPS (EQUIP_ID, VALIDADE) values (:E, :V)");
  q.ParamByName("E").SetInteger(equip);
  q.ParamByName("V").SetDateTime(validade);
  q.ExecQuery();
  tr.Commit();
}

// The server's current_timestamp, one statement per call.
class ServerClock {
 public:
  explicit ServerClock(FbConnection& conn)
      : tr_(conn, FbTransactionOptions{true, false, true}),
        q_(conn, tr_, "select current_timestamp as T from rdb$database") {
    tr_.StartTransaction();
  }
  TDateTime Now() {
    q_.ExecQuery();
    const TDateTime t = q_.FieldByName("T").AsDateTime();
    q_.Close();
    return t;
  }

 private:
  FbTransaction tr_;
  FbQuery q_;
};

std::vector<int> AllRequests(TmodOnline& m) {
  std::vector<int> ids;
  for (int id = m.NextRequestedEquip(); id != -1; id = m.NextRequestedEquip()) ids.push_back(id);
  std::sort(ids.begin(), ids.end());
  return ids;
}

class TmodOnlineTest : public ::testing::Test {
 protected:
  TestDatabase db;
};

// A request whose VALIDADE equals the server's time of the purge survives it;
// one a millisecond older does not. The purge is retried until it ran wholly
// within the one millisecond that equals VALIDADE (seen before and after it).
TEST_F(TmodOnlineTest, PurgeKeepsARequestValidUntilExactlyNow) {
  TmodOnline m(db.OnlineParams());
  ServerClock clock(m.DB);
  bool hit = false;
  for (int attempt = 0; attempt < 200 && !hit; ++attempt) {
    db.Exec("delete from ONLINE_EQUIPS");
    const TDateTime t = dt::FromMSecs(dt::ToMSecs(clock.Now()) + 40);
    InsertRequest(db, 1, t - kMs);
    InsertRequest(db, 2, t);
    InsertRequest(db, 3, t + kMs);
    TDateTime before = clock.Now();
    while (before < t) before = clock.Now();
    if (before != t) continue;  // overshot this millisecond
    m.PurgeExpiredRequests();
    if (clock.Now() != t) continue;
    hit = true;
    EXPECT_EQ(db.QueryInt("select count(*) from ONLINE_EQUIPS where EQUIP_ID = 1"), 0);
    EXPECT_EQ(db.QueryInt("select count(*) from ONLINE_EQUIPS where EQUIP_ID = 2"), 1);
    EXPECT_EQ(db.QueryInt("select count(*) from ONLINE_EQUIPS where EQUIP_ID = 3"), 1);
  }
  ASSERT_TRUE(hit) << "never ran the purge within one millisecond";
  EXPECT_FALSE(m.Transaction.InTransaction());
}

TEST_F(TmodOnlineTest, OpenRequestsServesValidRowsOnly) {
  const TDateTime now = db.QueryDateTime("select current_timestamp from rdb$database");
  InsertRequest(db, 4, now + 1.0 / 24);
  InsertRequest(db, 4, now + 1.0 / 24);  // two rows: served twice
  InsertRequest(db, 9, now + 1.0 / 24);
  InsertRequest(db, 5, now - 1.0 / 24);  // expired
  TmodOnline m(db.OnlineParams());

  EXPECT_EQ(m.NextRequestedEquip(), -1);  // nothing opened yet
  m.OpenRequests();
  EXPECT_TRUE(m.Transaction.InTransaction());
  EXPECT_EQ(AllRequests(m), (std::vector<int>{4, 4, 9}));
  EXPECT_EQ(m.NextRequestedEquip(), -1);

  // The next pass: the purge commits the open cursor's transaction and
  // deletes the expired row; the requests can be opened again.
  m.OpenRequests();
  EXPECT_EQ(m.NextRequestedEquip() != -1, true);
  m.PurgeExpiredRequests();
  EXPECT_FALSE(m.Transaction.InTransaction());
  EXPECT_EQ(m.NextRequestedEquip(), -1);
  EXPECT_EQ(db.QueryInt("select count(*) from ONLINE_EQUIPS"), 3);
  m.OpenRequests();
  EXPECT_EQ(AllRequests(m), (std::vector<int>{4, 4, 9}));
}

TEST_F(TmodOnlineTest, ValuesReplaceThePreviousValueOfTheSameName) {
  TmodOnline m(db.OnlineParams());
  m.BeginValues();
  m.StoreOnlineValue(3, "A", "1");
  m.StoreOnlineValue(3, "Tensão", "220,5 V");
  m.CommitValues();
  m.BeginValues();
  m.StoreOnlineValue(3, "A", "3");
  m.StoreOnlineValue(4, "A", "7");
  m.CommitValues();
  EXPECT_FALSE(m.TransactionValues.InTransaction());
  EXPECT_EQ(db.QueryInt("select count(*) from ONLINE_VALUES"), 3);
  EXPECT_EQ(db.QueryString("select VALOR from ONLINE_VALUES where EQUIP_ID = 3 and VAR = 'A'"), "3");
  EXPECT_EQ(db.QueryString("select VALOR from ONLINE_VALUES where EQUIP_ID = 3 and VAR = 'Tensão'"),
            "220,5 V");
  EXPECT_EQ(db.QueryString("select VALOR from ONLINE_VALUES where EQUIP_ID = 4"), "7");
}

TEST_F(TmodOnlineTest, AFailedWriteLeavesEarlierPairsForTheNextBegin) {
  db.Exec("alter table ONLINE_VALUES add constraint CK_TESTE check (VALOR <> 'recusado')");
  TmodOnline m(db.OnlineParams());
  m.BeginValues();
  m.StoreOnlineValue(3, "A", "1");
  EXPECT_THROW(m.StoreOnlineValue(3, "N", "recusado"), EDatabaseError);
  EXPECT_TRUE(m.TransactionValues.InTransaction());
  EXPECT_EQ(db.QueryInt("select count(*) from ONLINE_VALUES"), 0);  // not committed yet
  m.BeginValues();  // commits what was written before it starts afresh
  EXPECT_EQ(db.QueryInt("select count(*) from ONLINE_VALUES"), 1);
  m.StoreOnlineValue(3, "B", "2");
}  // destroyed with TransactionValues active: committed

TEST_F(TmodOnlineTest, DestroyingTheModuleCommitsActiveValues) {
  {
    TmodOnline m(db.OnlineParams());
    m.BeginValues();
    m.StoreOnlineValue(8, "kW", "12.5");
  }
  EXPECT_EQ(db.QueryString("select VALOR from ONLINE_VALUES where EQUIP_ID = 8"), "12.5");
}

TEST_F(TmodOnlineTest, LostConnectionFailsEveryOperation) {
  const TDateTime now = db.QueryDateTime("select current_timestamp from rdb$database");
  InsertRequest(db, 4, now + 1.0 / 24);
  {
    TcpProxy proxy;
    TmodOnline m(proxy.Params(db.OnlineParams()));
    m.PurgeExpiredRequests();
    m.OpenRequests();  // a pass is in progress with its cursor open
    proxy.Cut();  // as when the server is killed: the next call meets a network error
    for (int pass = 0; pass < 2; ++pass) {  // every pass fails at the purge
      try {
        m.PurgeExpiredRequests();
        FAIL() << "purge on a lost connection";
      } catch (const EDatabaseError& e) {
        EXPECT_TRUE(e.ConnectionLost()) << e.what();
      }
      EXPECT_FALSE(m.Transaction.InTransaction());
    }
    EXPECT_THROW(m.OpenRequests(), EDatabaseError);
    EXPECT_THROW(m.BeginValues(), EDatabaseError);
    EXPECT_THROW(m.StoreOnlineValue(4, "A", "1"), EDatabaseError);
  }
  EXPECT_EQ(db.QueryInt("select count(*) from ONLINE_EQUIPS"), 1);
}

}  // namespace
