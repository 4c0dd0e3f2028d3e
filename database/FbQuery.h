// A statement with named parameters (":NAME" in the SQL text), prepared once
// and executed many times; for a select, a cursor over its rows.
//
// Usage:
//   FbQuery q(conn, tr, "select DESCRICAO from CANAIS where CANAL_ID = :CANAL_ID");
//   q.ParamByName("CANAL_ID").SetInteger(5);
//   q.ExecQuery();                 // a select is now on its first row (or Eof)
//   while (!q.Eof()) { q.FieldByName("DESCRICAO").AsString(); q.Next(); }
//   q.Close();
// Every failure throws EDatabaseError. Texts are UTF-8 on our side and
// ISO 8859-1 on the connection. Not thread-safe: one thread at a time.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/DateTime.h"

class FbConnection;
class FbTransaction;
namespace fbi {
struct Access;
}

class FbQuery {
 public:
  struct Impl;  // private state (defined in the implementation)

  class Param {
   public:
    void SetInteger(int32_t v);
    void SetFloat(float v);
    void SetDateTime(TDateTime v);
    void SetString(const std::string& utf8);
    void SetNull();

   private:
    friend class FbQuery;
    friend struct fbi::Access;
    Impl* q_ = nullptr;  // the query's state (FbQuery::Impl)
    size_t index_ = 0;          // which named parameter
  };

  class Field {
   public:
    bool IsNull() const;
    int32_t AsInteger() const;     // NULL reads as 0
    TDateTime AsDateTime() const;  // NULL reads as 0; DATE, TIME and TIMESTAMP columns
    // Raises EDatabaseError for NULL (a NULL cannot be converted to text).
    std::string AsString() const;
    std::string AsBlob() const;    // the blob's bytes; NULL reads as empty
    // NUMERIC/DECIMAL with their scale, FLOAT, DOUBLE, integers; NULL reads as 0.
    double AsDouble() const;

   private:
    friend class FbQuery;
    friend struct fbi::Access;
    Impl* q_ = nullptr;  // the query's state (FbQuery::Impl)
    size_t index_ = 0;          // output column
  };

  FbQuery(FbConnection& connection, FbTransaction& transaction, std::string sql = {});
  FbQuery(const FbQuery&) = delete;
  FbQuery& operator=(const FbQuery&) = delete;
  ~FbQuery();

  // Replaces the text; the statement is prepared anew at the next use.
  void SetSQL(std::string sql);
  const std::string& SQL() const;
  void Prepare();  // optional: ExecQuery prepares when needed

  Param& ParamByName(const std::string& name);
  // Runs the statement. A select opens its cursor on the first row.
  void ExecQuery();
  bool Eof() const;
  void Next();
  Field& FieldByName(const std::string& name);
  // The columns of the prepared statement, in select-list order.
  int FieldCount() const;
  Field& FieldByIndex(int index);
  // Closes an open cursor (also on error paths); harmless when none is open.
  void Close();

 private:
  friend struct fbi::Access;
  std::unique_ptr<Impl> impl_;
};
