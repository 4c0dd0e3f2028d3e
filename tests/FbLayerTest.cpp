// The database layer against a real server: values, NULLs, blobs, text
// conversion, transactions and the failures of the client library.
#include <gtest/gtest.h>

#include <cmath>
#include <iterator>
#include <memory>
#include <string>
#include <thread>

#include "database/EDatabaseError.h"
#include "database/FbConnection.h"
#include "database/FbQuery.h"
#include "database/FbTransaction.h"
#include "platform/DateTime.h"
#include "support/TestDatabase.h"

namespace {

FbTransactionOptions Explicit() { return FbTransactionOptions{false, false, true}; }

class FbLayerTest : public ::testing::Test {
 protected:
  TestDatabase db;
};

TEST_F(FbLayerTest, NamedParametersBindEveryUseAndSkipQuotedText) {
  FbConnection conn(db.SysdbaParams("ISO8859_1"));
  db.Exec("create table T (A integer, B varchar(20), C integer)");
  FbTransaction tr(conn, Explicit());
  tr.StartTransaction();
  FbQuery ins(conn, tr, "insert into T (A, B, C) values (:X, ':X is text', :x)");
  ins.ParamByName("X").SetInteger(7);
  ins.ExecQuery();
  FbQuery sel(conn, tr, "select A, B, C from T where A = :X and C = :X");
  sel.ParamByName("x").SetInteger(7);
  sel.ExecQuery();
  ASSERT_FALSE(sel.Eof());
  EXPECT_EQ(sel.FieldByName("A").AsInteger(), 7);
  EXPECT_EQ(sel.FieldByName("b").AsString(), ":X is text");
  EXPECT_EQ(sel.FieldByName("C").AsInteger(), 7);
  sel.Next();
  EXPECT_TRUE(sel.Eof());
  sel.Close();
  EXPECT_THROW(sel.ParamByName("NOPE"), EDatabaseError);
  EXPECT_THROW(sel.FieldByName("NOPE"), EDatabaseError);
  tr.Commit();
}

TEST_F(FbLayerTest, NullsReadAsZeroOrEmptyAndTextRefusesThem) {
  FbConnection conn(db.Params());
  FbTransaction tr(conn, Explicit());
  tr.StartTransaction();
  FbQuery q(conn, tr,
            "select cast(null as integer) as I, cast(null as timestamp) as D, "
            "cast(null as varchar(10)) as S, cast(null as blob) as B, "
            "cast(null as float) as F from rdb$database");
  q.ExecQuery();
  ASSERT_FALSE(q.Eof());
  for (const char* name : {"I", "D", "S", "B", "F"}) EXPECT_TRUE(q.FieldByName(name).IsNull()) << name;
  EXPECT_EQ(q.FieldByName("I").AsInteger(), 0);
  EXPECT_EQ(q.FieldByName("D").AsDateTime(), 0.0);
  EXPECT_EQ(q.FieldByName("B").AsBlob(), "");
  EXPECT_EQ(q.FieldByName("F").AsDouble(), 0.0);
  EXPECT_THROW(q.FieldByName("S").AsString(), EDatabaseError);
  q.Close();
  tr.Commit();
}

TEST_F(FbLayerTest, TimestampsRoundTripToTheMillisecond) {
  FbConnection conn(db.Params());
  db.Exec("create table TS (K integer, D timestamp)");
  db.Exec("grant select, insert on TS to user TELVUSR");
  const TDateTime values[] = {
      dt::EncodeDateTime(2024, 2, 29, 23, 59, 59, 999),
      dt::EncodeDateTime(2000, 1, 1, 0, 0, 0, 0),
      dt::EncodeDateTime(1899, 12, 30, 0, 0, 0, 1),
      dt::EncodeDateTime(2031, 7, 4, 8, 30, 17, 123),
      dt::EncodeDateTime(1970, 1, 1, 12, 0, 0, 500),
      // Before 30/12/1899 the value is negative and its time is its
      // fraction without the sign.
      dt::EncodeDateTime(1899, 12, 29, 6, 0, 0, 0),
      dt::EncodeDateTime(1, 1, 1, 12, 0, 0, 0),
  };
  constexpr int kValues = static_cast<int>(std::size(values));
  FbTransaction tr(conn, Explicit());
  tr.StartTransaction();
  FbQuery ins(conn, tr, "insert into TS (K, D) values (:K, :D)");
  for (int k = 0; k < kValues; ++k) {
    ins.ParamByName("K").SetInteger(k);
    ins.ParamByName("D").SetDateTime(values[k]);
    ins.ExecQuery();
  }
  tr.Commit();
  EXPECT_EQ(values[5], -1.25);
  for (int k = 0; k < kValues; ++k) {
    EXPECT_EQ(db.QueryDateTime("select D from TS where K = " + std::to_string(k)), values[k]) << k;
  }
  // What the server itself sees, and its fixed points.
  EXPECT_EQ(db.QueryString("select cast(D as varchar(30)) from TS where K = 0"),
            "2024-02-29 23:59:59.9990");
  EXPECT_EQ(db.QueryString("select cast(D as varchar(30)) from TS where K = 5"),
            "1899-12-29 06:00:00.0000");
  EXPECT_EQ(db.QueryString("select cast(D as varchar(30)) from TS where K = 6"),
            "0001-01-01 12:00:00.0000");
  EXPECT_EQ(db.QueryDateTime("select cast('1899-12-29 06:00' as timestamp) from rdb$database"),
            -1.25);
  EXPECT_EQ(db.QueryDateTime("select cast('1899-12-30' as date) from rdb$database"), 0.0);
  EXPECT_EQ(db.QueryDateTime("select cast('2000-01-01 00:00' as timestamp) from rdb$database"),
            36526.0);
  EXPECT_EQ(db.QueryDateTime("select cast('06:00' as time) from rdb$database"), 0.25);
  // A sub-millisecond server value rounds to the nearest millisecond.
  EXPECT_EQ(db.QueryDateTime("select cast('2000-01-01 23:59:59.9996' as timestamp) from rdb$database"),
            36527.0);
}

TEST_F(FbLayerTest, FloatBindingAndNumericScale) {
  FbConnection conn(db.Params());
  FbTransaction tr(conn, Explicit());
  tr.StartTransaction();
  FbQuery ins(conn, tr,
              "insert into HISTORICOS_H (DATA, VALOR, CANAL_ID, PERIODO) values (:DATA, :VALOR, "
              ":CANAL_ID, :PERIODO)");
  ins.ParamByName("DATA").SetDateTime(dt::EncodeDate(2024, 1, 1));
  ins.ParamByName("VALOR").SetFloat(1234.5678f);
  ins.ParamByName("CANAL_ID").SetInteger(1);
  ins.ParamByName("PERIODO").SetInteger(0);
  ins.ExecQuery();
  tr.Commit();
  EXPECT_EQ(db.QueryDouble("select VALOR from HISTORICOS_H"), static_cast<double>(1234.5678f));

  struct Case {
    const char* expr;
    double asDouble;
    int32_t asInteger;
    const char* asString;
  };
  const Case cases[] = {
      {"cast(12.34 as numeric(9,2))", 12.34, 12, "12.34"},
      {"cast(-0.05 as numeric(4,2))", -0.05, 0, "-0.05"},
      {"cast(123456789.1234 as numeric(18,4))", 123456789.1234, 123456789, "123456789.1234"},
      {"cast(2.5 as numeric(3,1))", 2.5, 3, "2.5"},
      {"cast(7 as smallint)", 7, 7, "7"},
  };
  tr.StartTransaction();
  for (const Case& c : cases) {
    FbQuery q(conn, tr, std::string("select ") + c.expr + " as V from rdb$database");
    q.ExecQuery();
    ASSERT_FALSE(q.Eof());
    EXPECT_DOUBLE_EQ(q.FieldByName("V").AsDouble(), c.asDouble) << c.expr;
    EXPECT_EQ(q.FieldByName("V").AsInteger(), c.asInteger) << c.expr;
    EXPECT_EQ(q.FieldByName("V").AsString(), c.asString) << c.expr;
  }
  tr.Commit();
}

TEST_F(FbLayerTest, TextTravelsAsLatin1) {
  FbConnection conn(db.Params());
  FbTransaction tr(conn, Explicit());
  const std::string texts[] = {"Comunicação", "Falha de comunicação",
                               "Serviço de comunicação INICIADO.", "ÀÉÎÕÜ çñ ºª £¥ ÿ"};
  int id = 1;
  for (const std::string& t : texts) {
    tr.StartTransaction();
    FbQuery q(conn, tr,
              "update or insert into STATUS_EQUIPS (EQUIP_ID, STATUS, TEXTO) values (:EQUIP_ID, "
              ":STATUS, :TEXTO) matching (EQUIP_ID)");
    q.ParamByName("EQUIP_ID").SetInteger(id);
    q.ParamByName("STATUS").SetInteger(1);
    q.ParamByName("TEXTO").SetString(t);
    q.ExecQuery();
    tr.Commit();
    const std::string where = " from STATUS_EQUIPS where EQUIP_ID = " + std::to_string(id);
    // One byte per character on the server, read back unchanged through UTF8 too.
    EXPECT_EQ(db.QueryInt("select octet_length(TEXTO)" + where),
              db.QueryInt("select char_length(TEXTO)" + where));
    EXPECT_EQ(db.QueryString("select TEXTO" + where), t);
    tr.StartTransaction();
    FbQuery r(conn, tr, "select TEXTO" + where);
    r.ExecQuery();
    EXPECT_EQ(r.FieldByName("TEXTO").AsString(), t);
    r.Close();
    tr.Commit();
    ++id;
  }
  EXPECT_EQ(db.QueryInt("select octet_length(TEXTO) from STATUS_EQUIPS where EQUIP_ID = 1"), 11);
}

TEST_F(FbLayerTest, TextOutsideLatin1BecomesQuestionMarkAndTheRowIsKept) {
  FbConnection conn(db.Params());
  FbTransaction tr(conn, Explicit());
  tr.StartTransaction();
  FbQuery q(conn, tr, "insert into ALARMES (EQUIP_ID, DATA, TEXTO, CLASSE) values (1, :D, :T, 5)");
  q.ParamByName("D").SetDateTime(dt::EncodeDate(2024, 1, 1));
  q.ParamByName("T").SetString("Tensão 230 Ω € \xff" " bad utf8");
  q.ExecQuery();
  tr.Commit();
  EXPECT_EQ(db.QueryString("select TEXTO from ALARMES"), "Tensão 230 ? ? ? bad utf8");
}

// A text longer than its column is cut to the column's length in characters
// (accents count as one, on the service's ISO 8859-1 connection and on a
// UTF8 one alike) instead of failing the whole row.
TEST_F(FbLayerTest, OverlongTextIsCutToTheColumnLength) {
  std::string cedillas;
  for (int i = 0; i < 70; ++i) cedillas += "ç";
  for (const FbConnectParams& params : {db.Params(), db.SysdbaParams("UTF8")}) {
    SCOPED_TRACE(params.Charset);
    db.Exec("delete from ONLINE_VALUES");
    FbConnection conn(params);
    FbTransaction tr(conn, Explicit());
    tr.StartTransaction();
    FbQuery q(conn, tr,
              "insert into ONLINE_VALUES (EQUIP_ID, VAR, VALOR) values (1, :VAR, :VALOR)");
    q.ParamByName("VAR").SetString("A");
    q.ParamByName("VALOR").SetString(std::string(64, 'x'));  // fits exactly
    q.ExecQuery();
    q.ParamByName("VAR").SetString("B");
    q.ParamByName("VALOR").SetString(std::string(65, 'y'));
    q.ExecQuery();
    q.ParamByName("VAR").SetString("C");
    q.ParamByName("VALOR").SetString(cedillas);
    q.ExecQuery();
    tr.Commit();
    EXPECT_EQ(db.QueryString("select VALOR from ONLINE_VALUES where VAR = 'A'"), std::string(64, 'x'));
    EXPECT_EQ(db.QueryString("select VALOR from ONLINE_VALUES where VAR = 'B'"), std::string(64, 'y'));
    EXPECT_EQ(db.QueryString("select VALOR from ONLINE_VALUES where VAR = 'C'"),
              cedillas.substr(0, 128));  // 64 characters of two UTF-8 bytes
  }
}

TEST_F(FbLayerTest, BlobsRoundTripAcrossSegmentBoundaries) {
  FbConnection conn(db.SysdbaParams("ISO8859_1"));
  db.Exec("create table B (K integer, X blob)");
  FbTransaction tr(conn, Explicit());
  const size_t sizes[] = {0, 1, 65535, 65536, 65537, 200001};
  for (size_t size : sizes) {
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 7 + i / 256) & 0xFF);
    tr.StartTransaction();
    FbQuery ins(conn, tr, "insert into B (K, X) values (:K, :X)");
    ins.ParamByName("K").SetInteger(static_cast<int32_t>(size));
    ins.ParamByName("X").SetString(bytes);
    ins.ExecQuery();
    tr.Commit();
    tr.StartTransaction();
    FbQuery sel(conn, tr, "select X, octet_length(X) as N from B where K = :K");
    sel.ParamByName("K").SetInteger(static_cast<int32_t>(size));
    sel.ExecQuery();
    ASSERT_FALSE(sel.Eof());
    EXPECT_EQ(sel.FieldByName("N").AsInteger(), static_cast<int32_t>(size));
    EXPECT_TRUE(sel.FieldByName("X").AsBlob() == bytes) << size;
    sel.Close();
    tr.Commit();
  }
}

TEST_F(FbLayerTest, FetchErrorClosesTheCursorAndTheQueryRunsAgain) {
  FbConnection conn(db.SysdbaParams("ISO8859_1"));
  db.Exec("create table F (A integer)");
  db.Exec("insert into F values (1)");
  db.Exec("insert into F values (2)");
  db.Exec("insert into F values (3)");
  FbTransaction tr(conn, Explicit());
  tr.StartTransaction();
  FbQuery q(conn, tr, "select 10 / (A - cast(:P as integer)) as R from F order by A");
  q.ParamByName("P").SetInteger(2);  // division by zero on the second row
  bool failed = false;
  try {
    q.ExecQuery();
    while (!q.Eof()) q.Next();
  } catch (const EDatabaseError& e) {
    failed = true;
    EXPECT_FALSE(e.ConnectionLost());
    EXPECT_EQ(e.Fault(), EDatabaseFault::Record) << e.what();  // division by zero
    EXPECT_NE(std::string(e.what()).find("\n-"), std::string::npos) << e.what();
  }
  EXPECT_TRUE(failed);
  EXPECT_TRUE(q.Eof());
  q.ParamByName("P").SetInteger(100);
  q.ExecQuery();
  int rows = 0;
  for (; !q.Eof(); q.Next()) ++rows;
  EXPECT_EQ(rows, 3);
  q.Close();
  tr.Commit();
}

TEST_F(FbLayerTest, ErrorsCarryTheirCodesAndLostConnectionsAreRecognised) {
  // The server is not reachable: a network failure, at once.
  try {
    FbConnection c(UnreachableParams());
    FAIL() << "attached to a closed port";
  } catch (const EDatabaseError& e) {
    EXPECT_TRUE(e.ConnectionLost()) << e.what();
    EXPECT_EQ(e.PrimaryCode(), 335544721) << e.what();
    EXPECT_EQ(e.Fault(), EDatabaseFault::ConnectionLost);
  }
  // Wrong password: not a lost connection.
  FbConnectParams bad = db.Params();
  bad.Password = "wrong";
  try {
    FbConnection c(bad);
    FAIL() << "attached with a wrong password";
  } catch (const EDatabaseError& e) {
    EXPECT_FALSE(e.ConnectionLost()) << e.what();
    EXPECT_TRUE(e.HasCode(335544472)) << e.what();
  }
  // A constraint violation: an error of the statement, several lines.
  FbConnection conn(db.Params());
  FbTransaction tr(conn, Explicit());
  tr.StartTransaction();
  FbQuery q(conn, tr, "insert into STATUS_COMM (ID, MENSAGEM) values (1, 'x')");
  q.ExecQuery();
  try {
    q.ExecQuery();
    FAIL() << "duplicate key accepted";
  } catch (const EDatabaseError& e) {
    EXPECT_FALSE(e.ConnectionLost());
    EXPECT_EQ(e.PrimaryCode(), 335544665) << e.what();  // isc_unique_key_violation
    EXPECT_NE(std::string(e.what()).find("\n-"), std::string::npos);
    EXPECT_EQ(e.Fault(), EDatabaseFault::Record);
  }
  // A value the server cannot convert: the row's own fault too.
  FbQuery conv(conn, tr, "insert into STATUS_COMM (ID, MENSAGEM) values (cast(:T as integer), 'y')");
  conv.ParamByName("T").SetString("dez");
  try {
    conv.ExecQuery();
    FAIL() << "conversion accepted";
  } catch (const EDatabaseError& e) {
    EXPECT_EQ(e.Fault(), EDatabaseFault::Record) << e.what();
  }
  tr.Rollback();
  // A row another writer holds (nowait): the database's refusal, not the row's.
  db.Exec("insert into STATUS_COMM (ID, MENSAGEM) values (9, 'a')");
  tr.StartTransaction();
  FbQuery hold(conn, tr, "update STATUS_COMM set MENSAGEM = 'b' where ID = 9");
  hold.ExecQuery();
  {
    FbConnection other(db.Params());
    FbTransaction otr(other, Explicit());
    otr.StartTransaction();
    FbQuery upd(other, otr, "update STATUS_COMM set MENSAGEM = 'c' where ID = 9");
    try {
      upd.ExecQuery();
      FAIL() << "update of a row another transaction holds";
    } catch (const EDatabaseError& e) {
      EXPECT_FALSE(e.ConnectionLost()) << e.what();
      EXPECT_EQ(e.Fault(), EDatabaseFault::Refusal) << e.what();
    }
    otr.Rollback();
  }
  tr.Rollback();
  // No permission: an error of the statement.
  tr.StartTransaction();
  FbQuery d(conn, tr, "delete from ALARMES");
  try {
    d.ExecQuery();
    FAIL() << "delete allowed";
  } catch (const EDatabaseError& e) {
    EXPECT_FALSE(e.ConnectionLost()) << e.what();
    EXPECT_EQ(e.Fault(), EDatabaseFault::Refusal) << e.what();
  }
  tr.Rollback();
}

// The connection breaks under an active transaction and an open cursor: the
// relay to the server is cut, as when the server is killed. (Ending the
// attachment on the server with TestDatabase::KillConnections is left out
// here: see the caution there.)
TEST_F(FbLayerTest, LostConnectionFailsEveryCallAndCleansUp) {
  TcpProxy proxy;
  {
    FbConnection conn(proxy.Params(db.Params()));
    FbTransaction tr(conn, Explicit());
    FbQuery ins(conn, tr, "insert into STATUS_COMM (ID, MENSAGEM) values (:ID, 'x')");
    FbQuery sel(conn, tr, "select ID from STATUS_COMM");
    tr.StartTransaction();
    ins.ParamByName("ID").SetInteger(1);
    ins.ExecQuery();
    sel.ExecQuery();
    proxy.Cut();
    try {
      ins.ParamByName("ID").SetInteger(2);
      ins.ExecQuery();
      FAIL() << "insert on a lost connection";
    } catch (const EDatabaseError& e) {
      EXPECT_TRUE(e.ConnectionLost()) << e.what();
    }
    // Neither commit nor rollback can reach the server; the transaction
    // still ends on our side so it can be started again.
    EXPECT_THROW(tr.Commit(), EDatabaseError);
    if (tr.InTransaction()) {
      EXPECT_THROW(tr.Rollback(), EDatabaseError);
    }
    EXPECT_FALSE(tr.InTransaction());
    try {
      tr.StartTransaction();
      FAIL() << "transaction started on a lost connection";
    } catch (const EDatabaseError& e) {
      EXPECT_TRUE(e.ConnectionLost()) << e.what();
    }
  }  // statements, transaction and connection end without a crash
  EXPECT_EQ(db.QueryInt("select count(*) from STATUS_COMM"), 0);  // never committed
}

TEST_F(FbLayerTest, ImplicitStartOnlyWhereAllowed) {
  FbConnection conn(db.Params());
  FbTransaction strict(conn, FbTransactionOptions{false, false, true});
  FbQuery q1(conn, strict, "select count(*) as N from STATUS_COMM");
  q1.Prepare();  // preparing needs no transaction of ours
  EXPECT_EQ(q1.FieldCount(), 1);
  EXPECT_FALSE(strict.InTransaction());
  try {
    q1.ExecQuery();
    FAIL() << "query ran outside a transaction";
  } catch (const EDatabaseError& e) {
    EXPECT_FALSE(e.ConnectionLost());
  }
  EXPECT_FALSE(strict.InTransaction());

  FbTransaction lenient(conn, FbTransactionOptions{false, true, true});
  FbQuery ins(conn, lenient, "insert into STATUS_COMM (ID, MENSAGEM) values (3, 'implicit')");
  ins.ExecQuery();
  EXPECT_TRUE(lenient.InTransaction());
  ins.Close();  // the last statement closes: the implicit transaction commits
  EXPECT_FALSE(lenient.InTransaction());
  EXPECT_EQ(db.QueryString("select MENSAGEM from STATUS_COMM where ID = 3"), "implicit");
}

TEST_F(FbLayerTest, ActiveTransactionsEndAsTheirOptionsSay) {
  // Destroyed transaction: commit or roll back.
  {
    FbConnection conn(db.Params());
    for (bool commit : {true, false}) {
      FbTransaction tr(conn, FbTransactionOptions{false, false, commit});
      FbQuery q(conn, tr, "insert into STATUS_COMM (ID, MENSAGEM) values (:ID, 'x')");
      tr.StartTransaction();
      q.ParamByName("ID").SetInteger(commit ? 10 : 11);
      q.ExecQuery();
    }
  }
  EXPECT_EQ(db.QueryInt("select count(*) from STATUS_COMM where ID = 10"), 1);
  EXPECT_EQ(db.QueryInt("select count(*) from STATUS_COMM where ID = 11"), 0);

  // Connection closed first, its transactions and statements still alive.
  auto conn = std::make_unique<FbConnection>(db.Params());
  FbTransaction keep(*conn, FbTransactionOptions{false, false, true});
  FbTransaction drop(*conn, FbTransactionOptions{false, false, false});
  FbQuery a(*conn, keep, "insert into STATUS_COMM (ID, MENSAGEM) values (20, 'x')");
  FbQuery b(*conn, drop, "insert into STATUS_COMM (ID, MENSAGEM) values (21, 'x')");
  FbQuery c(*conn, keep, "select ID from STATUS_COMM");
  keep.StartTransaction();
  drop.StartTransaction();
  a.ExecQuery();
  b.ExecQuery();
  c.ExecQuery();
  conn.reset();
  EXPECT_FALSE(keep.InTransaction());
  EXPECT_FALSE(drop.InTransaction());
  EXPECT_THROW(keep.StartTransaction(), EDatabaseError);
  EXPECT_THROW(a.ExecQuery(), EDatabaseError);
  EXPECT_TRUE(c.Eof());
  EXPECT_EQ(db.QueryInt("select count(*) from STATUS_COMM where ID = 20"), 1);
  EXPECT_EQ(db.QueryInt("select count(*) from STATUS_COMM where ID = 21"), 0);
}

TEST_F(FbLayerTest, CommitClosesOpenCursorsAndStateErrorsAreReported) {
  FbConnection conn(db.Params());
  db.Exec("insert into STATUS_COMM (ID, MENSAGEM) values (1, 'a')");
  db.Exec("insert into STATUS_COMM (ID, MENSAGEM) values (2, 'b')");
  FbTransaction tr(conn, Explicit());
  FbQuery q(conn, tr, "select ID from STATUS_COMM order by ID");
  for (int round = 0; round < 3; ++round) {
    tr.StartTransaction();
    q.ExecQuery();
    EXPECT_EQ(q.FieldByName("ID").AsInteger(), 1);
    tr.Commit();  // with the cursor still open
    EXPECT_TRUE(q.Eof());
  }
  EXPECT_THROW(tr.Commit(), EDatabaseError);
  EXPECT_THROW(tr.Rollback(), EDatabaseError);
  tr.StartTransaction();
  EXPECT_THROW(tr.StartTransaction(), EDatabaseError);
  EXPECT_TRUE(tr.InTransaction());
  tr.Rollback();
}

TEST_F(FbLayerTest, SeveralThreadsShareOneConnection) {
  FbConnection conn(db.Params());
  auto worker = [&](int equip) {
    FbTransaction tr(conn, Explicit());
    FbQuery q(conn, tr,
              "insert into ALARMES (EQUIP_ID, DATA, TEXTO, CLASSE) values (:E, :D, :T, :C)");
    for (int i = 0; i < 200; ++i) {
      tr.StartTransaction();
      q.ParamByName("E").SetInteger(equip);
      q.ParamByName("D").SetDateTime(dt::EncodeDate(2024, 1, 1) + i / 86400.0);
      q.ParamByName("T").SetString("t" + std::to_string(equip));
      q.ParamByName("C").SetInteger(i);
      q.ExecQuery();
      tr.Commit();
    }
  };
  std::thread t1(worker, 1), t2(worker, 2);
  t1.join();
  t2.join();
  EXPECT_EQ(db.QueryInt("select count(*) from ALARMES"), 400);
  EXPECT_EQ(db.QueryInt("select count(*) from ALARMES where TEXTO <> 't' || EQUIP_ID"), 0);
}

}  // namespace
