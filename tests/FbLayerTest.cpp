// The database layer against a real server: values, NULLs, blobs, text
// conversion, transactions and the failures of the client library.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

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

}  // namespace
