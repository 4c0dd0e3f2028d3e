#include "database/FbQuery.h"

#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>

#include "database/FbInternal.h"
#include "platform/Text.h"

namespace {

constexpr unsigned kMaxSegment = 65535;  // larger blob segments break the client library

std::string Upper(std::string s) {
  for (char& c : s)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
  return s;
}

bool IdentStart(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_'; }
bool IdentChar(char c) { return IdentStart(c) || (c >= '0' && c <= '9') || c == '$'; }

// Replaces every ":NAME" outside quoted strings, quoted identifiers and
// comments by "?", collecting the names in order.
void Translate(const std::string& sql, std::string& out, std::vector<std::string>& names) {
  out.clear();
  names.clear();
  const size_t n = sql.size();
  size_t i = 0;
  while (i < n) {
    const char c = sql[i];
    if (c == '\'' || c == '"') {
      // A doubled quote inside is part of the text; the loop handles it as
      // the end of one quoted run followed by the start of the next.
      const size_t end = sql.find(c, i + 1);
      const size_t stop = end == std::string::npos ? n : end + 1;
      out.append(sql, i, stop - i);
      i = stop;
    } else if (c == '-' && i + 1 < n && sql[i + 1] == '-') {
      const size_t end = sql.find('\n', i);
      const size_t stop = end == std::string::npos ? n : end;
      out.append(sql, i, stop - i);
      i = stop;
    } else if (c == '/' && i + 1 < n && sql[i + 1] == '*') {
      const size_t end = sql.find("*/", i + 2);
      const size_t stop = end == std::string::npos ? n : end + 2;
      out.append(sql, i, stop - i);
      i = stop;
    } else if (c == ':' && i + 1 < n && IdentStart(sql[i + 1])) {
      size_t j = i + 1;
      while (j < n && IdentChar(sql[j])) ++j;
      names.push_back(Upper(sql.substr(i + 1, j - i - 1)));
      out += '?';
      i = j;
    } else if (c == '?') {
      names.emplace_back();  // positional parameter: not bindable by name
      out += '?';
      ++i;
    } else {
      out += c;
      ++i;
    }
  }
}

std::string FormatDouble(double v) {
  char buf[64];
  auto r = std::to_chars(buf, buf + sizeof buf, v);
  return std::string(buf, r.ptr);
}

std::string FormatScaled(int64_t v, int scale) {
  if (scale >= 0) {
    std::string s = std::to_string(v);
    if (v != 0) s.append(static_cast<size_t>(scale), '0');
    return s;
  }
  const bool neg = v < 0;
  const uint64_t mag = neg ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v);
  std::string digits = std::to_string(mag);
  const size_t frac = static_cast<size_t>(-scale);
  if (digits.size() <= frac) digits.insert(0, frac - digits.size() + 1, '0');
  digits.insert(digits.size() - frac, ".");
  return neg ? "-" + digits : digits;
}

double Pow10(int e) { return std::pow(10.0, e); }

}  // namespace

struct FbQuery::Impl : fbi::QueryHook {
  struct Value {
    enum Kind { Unset, Null, Int, Float, Date, Str } kind = Unset;
    int32_t i = 0;
    double f = 0;
    std::string s;
  };
  struct Col {
    unsigned type = 0;
    int subType = 0;
    int scale = 0;
    unsigned length = 0;
    unsigned charset = 0;
    unsigned offset = 0;
    unsigned nullOffset = 0;
    std::string name;
  };

  FbConnection* conn;
  FbTransaction* tr;  // null once the transaction object is gone
  std::string sql;
  std::string translated;
  std::vector<std::string> slotNames;  // per "?", its name (upper case)
  std::vector<size_t> slotParam;       // per "?", index into params
  std::vector<std::unique_ptr<Param>> params;
  std::vector<std::string> paramNames;
  std::vector<Value> values;

  Firebird::IStatement* stmt = nullptr;
  Firebird::IMessageMetadata* inMeta = nullptr;
  Firebird::IMessageMetadata* outMeta = nullptr;
  uint64_t preparedGen = 0;
  bool isSelect = false;
  std::vector<Col> inCols, outCols;
  std::vector<uint64_t> inBuf, outBuf;  // 8-byte aligned message buffers
  std::vector<std::unique_ptr<Field>> fields;

  Firebird::IResultSet* rs = nullptr;
  bool hasRow = false;
  bool eof = true;

  Impl(FbConnection& c, FbTransaction& t) : conn(&c), tr(&t) {}

  unsigned char* In() { return reinterpret_cast<unsigned char*>(inBuf.data()); }
  unsigned char* Out() { return reinterpret_cast<unsigned char*>(outBuf.data()); }
  bool Latin1() const { return fbi::Access::State(*conn).latin1; }

  void SetText(std::string s) {
    sql = std::move(s);
    Translate(sql, translated, slotNames);
    params.clear();
    paramNames.clear();
    values.clear();
    slotParam.clear();
    for (const std::string& name : slotNames) {
      size_t idx = paramNames.size();
      if (!name.empty()) {
        for (size_t k = 0; k < paramNames.size(); ++k)
          if (paramNames[k] == name) idx = k;
      }
      if (idx == paramNames.size()) {
        paramNames.push_back(name);
        values.emplace_back();
        params.push_back(std::make_unique<Param>());
        fbi::Access::Bind(*params.back(), this, idx);
      }
      slotParam.push_back(idx);
    }
  }

  // --- QueryHook ---
  void CloseCursorQuietly() override {
    fbi::QuietClose(rs);
    hasRow = false;
    eof = true;
  }
  void DropStatement() override {
    CloseCursorQuietly();
    fbi::QuietFree(stmt);
    if (inMeta) inMeta->release();
    if (outMeta) outMeta->release();
    inMeta = outMeta = nullptr;
    preparedGen = 0;
  }
  void TransactionGone() override {
    DropStatement();
    tr = nullptr;
  }
  bool CursorOpen() const override { return rs != nullptr; }

  FbTransaction& Tr() {
    if (!tr) fbi::Fail("the query's transaction no longer exists", {fbi::kBadTransHandle});
    if (fbi::Access::State(*tr).connectionGone)
      fbi::Fail("connection is closed", {fbi::kBadDbHandle});
    if (&tr->Connection() != conn)
      fbi::Fail("the query's transaction belongs to another connection", {fbi::kBadTransHandle});
    return *tr;
  }

  static std::vector<Col> ReadCols(fbi::Status& st, Firebird::IMessageMetadata* meta) {
    std::vector<Col> cols(meta->getCount(&st));
    for (unsigned i = 0; i < cols.size(); ++i) {
      Col& c = cols[i];
      c.type = meta->getType(&st, i) & ~1u;
      c.subType = meta->getSubType(&st, i);
      c.scale = meta->getScale(&st, i);
      c.length = meta->getLength(&st, i);
      c.charset = meta->getCharSet(&st, i);
      c.offset = meta->getOffset(&st, i);
      c.nullOffset = meta->getNullOffset(&st, i);
      const char* alias = meta->getAlias(&st, i);
      c.name = alias && *alias ? alias : meta->getField(&st, i);
    }
    return cols;
  }

  void Prepare(Firebird::ITransaction* tra) {
    const uint64_t gen = fbi::Access::State(*conn).generation;
    if (stmt && preparedGen == gen) return;
    DropStatement();
    const std::string text = Latin1() ? text::ToLatin1(translated) : translated;
    fbi::Status st;
    try {
      stmt = conn->Attachment()->prepare(&st, tra, static_cast<unsigned>(text.size()), text.c_str(),
                                         SQL_DIALECT_V6,
                                         Firebird::IStatement::PREPARE_PREFETCH_METADATA);
      const unsigned type = stmt->getType(&st);
      isSelect = type == isc_info_sql_stmt_select || type == isc_info_sql_stmt_select_for_upd;
      inMeta = stmt->getInputMetadata(&st);
      outMeta = stmt->getOutputMetadata(&st);
      inCols = ReadCols(st, inMeta);
      outCols = ReadCols(st, outMeta);
      inBuf.assign(inMeta->getMessageLength(&st) / 8 + 1, 0);
      outBuf.assign(outMeta->getMessageLength(&st) / 8 + 1, 0);
    } catch (const Firebird::FbException& e) {
      EDatabaseError err = fbi::ToError(e);
      DropStatement();
      throw err;
    }
    if (inCols.size() != slotParam.size()) {
      DropStatement();
      fbi::Fail("parameter count of the statement does not match its text", {fbi::kDsqlError});
    }
    fields.clear();
    for (size_t i = 0; i < outCols.size(); ++i) {
      fields.push_back(std::make_unique<Field>());
      fbi::Access::Bind(*fields.back(), this, i);
    }
    preparedGen = gen;
  }

  // --- parameter values ---
  const std::string& NameOf(size_t slot) const { return slotNames[slot]; }

  double NumberOf(const Value& v, size_t slot) const {
    switch (v.kind) {
      case Value::Int: return v.i;
      case Value::Float:
      case Value::Date: return v.f;
      case Value::Str: {
        const char* b = v.s.c_str();
        char* end = nullptr;
        const double d = std::strtod(b, &end);
        if (end == b || *end != '\0')
          fbi::Fail("conversion error from string \"" + v.s + "\" (parameter " + NameOf(slot) + ")",
                    {fbi::kConvertError});
        return d;
      }
      default: return 0;
    }
  }

  std::string DbText(const std::string& utf8, unsigned charset) const {
    if (charset == 1 /* OCTETS */ || !Latin1()) return utf8;
    return text::ToLatin1(utf8);
  }

  std::string TextOf(const Value& v) const {
    switch (v.kind) {
      case Value::Int: return std::to_string(v.i);
      case Value::Float: return FormatDouble(v.f);
      case Value::Date: return dt::FormatLong(v.f);
      default: return v.s;
    }
  }

  // `s` (as sent, in the column's bytes) cut to what the column takes: its
  // declared length in characters, which for a multi-byte character set is
  // the byte length over the bytes per character, and never past the byte
  // length; a UTF-8 text is cut between characters. A text that does not
  // fit would fail the whole statement (string truncation) and lose every
  // other value of the row with it.
  std::string CutToColumn(std::string s, const Col& c) const {
    const bool utf8 = !Latin1() && c.charset != 1 /* OCTETS */;
    const unsigned perChar = c.charset == 4 /* UTF8 */ ? 4 : c.charset == 3 /* UNICODE_FSS */ ? 3 : 1;
    const size_t maxChars = c.length / perChar;
    if (!utf8) {
      if (s.size() > c.length) s.resize(c.length);
      return s;
    }
    size_t chars = 0, end = 0;
    while (end < s.size()) {
      size_t next = end + 1;
      while (next < s.size() && (static_cast<unsigned char>(s[next]) & 0xC0) == 0x80) ++next;
      if (chars == maxChars || next > c.length) break;
      ++chars;
      end = next;
    }
    s.resize(end);
    return s;
  }

  void Fill(Firebird::ITransaction* tra) {
    unsigned char* buf = In();
    for (size_t slot = 0; slot < inCols.size(); ++slot) {
      const Col& c = inCols[slot];
      const Value& v = values[slotParam[slot]];
      short* ind = reinterpret_cast<short*>(buf + c.nullOffset);
      unsigned char* p = buf + c.offset;
      if (v.kind == Value::Unset || v.kind == Value::Null) {
        *ind = -1;
        continue;
      }
      *ind = 0;
      switch (c.type) {
        case SQL_SHORT:
        case SQL_LONG:
        case SQL_INT64: {
          int64_t n;
          if (v.kind == Value::Int && c.scale == 0) {
            n = v.i;
          } else {
            const double d = NumberOf(v, slot) * Pow10(-c.scale);
            if (!(std::fabs(d) < 9.2e18))
              fbi::Fail("arithmetic exception, numeric overflow, or string truncation (parameter " +
                            NameOf(slot) + ")",
                        {fbi::kArithExcept});
            n = std::llround(d);
          }
          if (c.type == SQL_SHORT) {
            if (n < INT16_MIN || n > INT16_MAX)
              fbi::Fail("arithmetic exception, numeric overflow (parameter " + NameOf(slot) + ")",
                        {fbi::kArithExcept});
            const int16_t x = static_cast<int16_t>(n);
            std::memcpy(p, &x, sizeof x);
          } else if (c.type == SQL_LONG) {
            if (n < INT32_MIN || n > INT32_MAX)
              fbi::Fail("arithmetic exception, numeric overflow (parameter " + NameOf(slot) + ")",
                        {fbi::kArithExcept});
            const int32_t x = static_cast<int32_t>(n);
            std::memcpy(p, &x, sizeof x);
          } else {
            std::memcpy(p, &n, sizeof n);
          }
          break;
        }
        case SQL_FLOAT: {
          const float x = static_cast<float>(NumberOf(v, slot));
          std::memcpy(p, &x, sizeof x);
          break;
        }
        case SQL_DOUBLE:
        case SQL_D_FLOAT: {
          const double x = NumberOf(v, slot);
          std::memcpy(p, &x, sizeof x);
          break;
        }
        case SQL_TIMESTAMP:
        case SQL_TYPE_DATE:
        case SQL_TYPE_TIME: {
          if (v.kind == Value::Str)
            fbi::Fail("conversion error from string \"" + v.s + "\" (parameter " + NameOf(slot) + ")",
                      {fbi::kConvertError});
          ISC_TIMESTAMP ts;
          fbi::ToTimestamp(NumberOf(v, slot), ts.timestamp_date, ts.timestamp_time);
          if (c.type == SQL_TIMESTAMP)
            std::memcpy(p, &ts, sizeof ts);
          else if (c.type == SQL_TYPE_DATE)
            std::memcpy(p, &ts.timestamp_date, sizeof ts.timestamp_date);
          else
            std::memcpy(p, &ts.timestamp_time, sizeof ts.timestamp_time);
          break;
        }
        case SQL_TEXT:
        case SQL_VARYING: {
          const std::string s = CutToColumn(DbText(TextOf(v), c.charset), c);
          if (c.type == SQL_VARYING) {
            const uint16_t len = static_cast<uint16_t>(s.size());
            std::memcpy(p, &len, sizeof len);
            std::memcpy(p + 2, s.data(), s.size());
          } else {
            std::memcpy(p, s.data(), s.size());
            std::memset(p + s.size(), ' ', c.length - s.size());
          }
          break;
        }
        case SQL_BLOB: {
          const std::string s = c.subType == 1 ? DbText(TextOf(v), c.charset) : TextOf(v);
          const ISC_QUAD id = WriteBlob(tra, s);
          std::memcpy(p, &id, sizeof id);
          break;
        }
        case SQL_BOOLEAN: {
          const unsigned char b = NumberOf(v, slot) != 0 ? 1 : 0;
          *p = b;
          break;
        }
        case SQL_NULL:
          break;
        default:
          fbi::Fail("unsupported parameter type " + std::to_string(c.type) + " (parameter " +
                        NameOf(slot) + ")",
                    {fbi::kConvertError});
      }
    }
  }

  ISC_QUAD WriteBlob(Firebird::ITransaction* tra, const std::string& bytes) {
    ISC_QUAD id{};
    Firebird::IBlob* blob = nullptr;
    fbi::Status st;
    try {
      blob = conn->Attachment()->createBlob(&st, tra, &id, 0, nullptr);
      for (size_t pos = 0; pos < bytes.size();) {
        const unsigned n = static_cast<unsigned>(std::min<size_t>(kMaxSegment, bytes.size() - pos));
        blob->putSegment(&st, n, bytes.data() + pos);
        pos += n;
      }
      Firebird::IBlob* b = blob;
      blob = nullptr;
      try {
        b->close(&st);
      } catch (...) {
        b->release();
        throw;
      }
    } catch (const Firebird::FbException& e) {
      EDatabaseError err = fbi::ToError(e);
      fbi::QuietClose(blob);
      throw err;
    }
    return id;
  }

  std::string ReadBlob(const ISC_QUAD& idIn) {
    if (!tr || !tr->InTransaction()) fbi::Fail("transaction is not active", {fbi::kBadTransHandle});
    ISC_QUAD id = idIn;
    std::string out;
    Firebird::IBlob* blob = nullptr;
    fbi::Use use(*conn);
    if (preparedGen != use.Generation()) fbi::FailLost(*conn);
    fbi::Status st;
    try {
      blob = conn->Attachment()->openBlob(&st, tr->Handle(), &id, 0, nullptr);
      std::vector<char> buf(kMaxSegment);
      for (;;) {
        unsigned len = 0;
        const int r = blob->getSegment(&st, kMaxSegment, buf.data(), &len);
        if (r != Firebird::IStatus::RESULT_OK && r != Firebird::IStatus::RESULT_SEGMENT) break;
        out.append(buf.data(), len);
      }
      Firebird::IBlob* b = blob;
      blob = nullptr;
      try {
        b->close(&st);
      } catch (...) {
        b->release();
        throw;
      }
    } catch (const Firebird::FbException& e) {
      EDatabaseError err = fbi::ToError(e);
      fbi::QuietClose(blob);
      use.Failed(err);
      throw err;
    }
    return out;
  }

  void Fetch() {
    fbi::Status st;
    try {
      const int r = rs->fetchNext(&st, Out());
      hasRow = r == Firebird::IStatus::RESULT_OK;
      eof = !hasRow;
    } catch (const Firebird::FbException& e) {
      // A failed fetch leaves the cursor open in the client library; close it
      // here or the statement cannot be used (or freed) again.
      EDatabaseError err = fbi::ToError(e);
      CloseCursorQuietly();
      throw err;
    }
  }

  // --- field values ---
  const Col& OutCol(size_t i) const { return outCols[i]; }
  bool IsNull(size_t i) {
    if (!hasRow || i >= outCols.size()) return true;
    short ind;
    std::memcpy(&ind, Out() + outCols[i].nullOffset, sizeof ind);
    return ind != 0;
  }
  template <typename T>
  T Get(size_t i) {
    T v;
    std::memcpy(&v, Out() + outCols[i].offset, sizeof v);
    return v;
  }
  std::string RawText(size_t i) {
    const Col& c = outCols[i];
    if (c.type == SQL_VARYING) {
      const uint16_t len = Get<uint16_t>(i);
      return std::string(reinterpret_cast<const char*>(Out() + c.offset + 2), len);
    }
    return std::string(reinterpret_cast<const char*>(Out() + c.offset), c.length);
  }
  std::string FromDb(const std::string& raw, unsigned charset) const {
    if (charset == 1 /* OCTETS */ || !Latin1()) return raw;
    return text::FromLatin1(raw);
  }
  [[noreturn]] void CannotConvert(size_t i, const char* to) const {
    fbi::Fail("cannot convert column " + outCols[i].name + " to " + to, {fbi::kConvertError});
  }

  int64_t Scaled(size_t i) {
    switch (outCols[i].type) {
      case SQL_SHORT: return Get<int16_t>(i);
      case SQL_LONG: return Get<int32_t>(i);
      default: return Get<int64_t>(i);
    }
  }

  double AsDouble(size_t i) {
    if (IsNull(i)) return 0;
    const Col& c = outCols[i];
    switch (c.type) {
      case SQL_SHORT:
      case SQL_LONG:
      case SQL_INT64: return static_cast<double>(Scaled(i)) * Pow10(c.scale);
      case SQL_FLOAT: return Get<float>(i);
      case SQL_DOUBLE:
      case SQL_D_FLOAT: return Get<double>(i);
      case SQL_BOOLEAN: return Get<unsigned char>(i) ? 1 : 0;
      case SQL_TIMESTAMP:
      case SQL_TYPE_DATE:
      case SQL_TYPE_TIME: return AsDateTime(i);
      case SQL_TEXT:
      case SQL_VARYING: {
        const std::string s = RawText(i);
        const char* b = s.c_str();
        char* end = nullptr;
        const double d = std::strtod(b, &end);
        while (end && *end == ' ') ++end;
        if (end == b || *end != '\0') CannotConvert(i, "a number");
        return d;
      }
      default: CannotConvert(i, "a number");
    }
  }

  int32_t AsInteger(size_t i) {
    if (IsNull(i)) return 0;
    const Col& c = outCols[i];
    int64_t n;
    if ((c.type == SQL_SHORT || c.type == SQL_LONG || c.type == SQL_INT64) && c.scale == 0) {
      n = Scaled(i);
    } else {
      if (c.type == SQL_TIMESTAMP || c.type == SQL_TYPE_DATE || c.type == SQL_TYPE_TIME ||
          c.type == SQL_BLOB)
        CannotConvert(i, "an integer");
      const double d = AsDouble(i);
      if (!(std::fabs(d) < 9.2e18)) CannotConvert(i, "an integer");
      n = std::llround(d);
    }
    if (n < INT32_MIN || n > INT32_MAX) CannotConvert(i, "a 32-bit integer");
    return static_cast<int32_t>(n);
  }

  double AsDateTime(size_t i) {
    if (IsNull(i)) return 0;
    const Col& c = outCols[i];
    switch (c.type) {
      case SQL_TIMESTAMP: {
        const ISC_TIMESTAMP ts = Get<ISC_TIMESTAMP>(i);
        return fbi::FromTimestamp(ts.timestamp_date, ts.timestamp_time);
      }
      case SQL_TYPE_DATE: return fbi::FromTimestamp(Get<ISC_DATE>(i), 0);
      case SQL_TYPE_TIME: return fbi::FromTimestamp(15018, Get<ISC_TIME>(i));
      default: CannotConvert(i, "a date-time");
    }
  }

  std::string AsString(size_t i) {
    if (IsNull(i)) {
      fbi::Fail("cannot convert NULL of column " + (i < outCols.size() ? outCols[i].name : "?") +
                    " to text",
                {fbi::kConvertError});
    }
    const Col& c = outCols[i];
    switch (c.type) {
      case SQL_TEXT:
      case SQL_VARYING: return FromDb(RawText(i), c.charset);
      case SQL_SHORT:
      case SQL_LONG:
      case SQL_INT64: return FormatScaled(Scaled(i), c.scale);
      case SQL_FLOAT: return FormatDouble(Get<float>(i));
      case SQL_DOUBLE:
      case SQL_D_FLOAT: return FormatDouble(Get<double>(i));
      case SQL_BOOLEAN: return Get<unsigned char>(i) ? "true" : "false";
      case SQL_TIMESTAMP: return dt::FormatLong(AsDateTime(i));
      case SQL_TYPE_DATE: return dt::FormatLong(AsDateTime(i)).substr(0, 10);
      case SQL_TYPE_TIME: return dt::FormatLong(AsDateTime(i)).substr(11);
      case SQL_BLOB: {
        const std::string raw = ReadBlob(Get<ISC_QUAD>(i));
        return c.subType == 1 ? FromDb(raw, c.charset) : raw;
      }
      default: CannotConvert(i, "text");
    }
  }

  std::string AsBlob(size_t i) {
    if (IsNull(i)) return {};
    if (outCols[i].type == SQL_BLOB) return ReadBlob(Get<ISC_QUAD>(i));
    return AsString(i);
  }
};

// ---------------------------------------------------------------------------
// Param

void FbQuery::Param::SetInteger(int32_t v) {
  auto& x = q_->values[index_];
  x.kind = Impl::Value::Int;
  x.i = v;
}

void FbQuery::Param::SetFloat(float v) {
  auto& x = q_->values[index_];
  x.kind = Impl::Value::Float;
  x.f = v;
}

void FbQuery::Param::SetDateTime(TDateTime v) {
  auto& x = q_->values[index_];
  x.kind = Impl::Value::Date;
  x.f = v;
}

void FbQuery::Param::SetString(const std::string& utf8) {
  auto& x = q_->values[index_];
  x.kind = Impl::Value::Str;
  x.s = utf8;
}

void FbQuery::Param::SetNull() { q_->values[index_].kind = Impl::Value::Null; }

// ---------------------------------------------------------------------------
// Field

bool FbQuery::Field::IsNull() const { return q_->IsNull(index_); }
int32_t FbQuery::Field::AsInteger() const { return q_->AsInteger(index_); }
TDateTime FbQuery::Field::AsDateTime() const { return q_->AsDateTime(index_); }
std::string FbQuery::Field::AsString() const { return q_->AsString(index_); }
std::string FbQuery::Field::AsBlob() const { return q_->AsBlob(index_); }
double FbQuery::Field::AsDouble() const { return q_->AsDouble(index_); }

// ---------------------------------------------------------------------------
// FbQuery

FbQuery::FbQuery(FbConnection& connection, FbTransaction& transaction, std::string sql)
    : impl_(std::make_unique<Impl>(connection, transaction)) {
  impl_->SetText(std::move(sql));
  fbi::Access::AddQuery(transaction, impl_.get());
}

FbQuery::~FbQuery() {
  {
    std::shared_lock<std::shared_mutex> lock;
    if (impl_->tr && !fbi::Access::State(*impl_->tr).connectionGone) lock = fbi::Quiet(*impl_->conn);
    impl_->DropStatement();
  }
  if (impl_->tr) fbi::Access::RemoveQuery(*impl_->tr, impl_.get());
}

void FbQuery::SetSQL(std::string sql) {
  {
    std::shared_lock<std::shared_mutex> lock;
    if (impl_->tr && !fbi::Access::State(*impl_->tr).connectionGone) lock = fbi::Quiet(*impl_->conn);
    impl_->DropStatement();
  }
  impl_->SetText(std::move(sql));
}

const std::string& FbQuery::SQL() const { return impl_->sql; }

void FbQuery::Prepare() {
  FbTransaction& tr = impl_->Tr();
  const auto prepareUnder = [&](FbTransaction& t) {
    fbi::Use use(*impl_->conn);
    if (fbi::Access::State(t).generation != use.Generation()) fbi::FailLost(*impl_->conn);
    try {
      impl_->Prepare(t.Handle());
    } catch (const EDatabaseError& e) {
      use.Failed(e);
      throw;
    }
  };
  if (fbi::Access::Stale(tr)) fbi::FailLost(*impl_->conn);
  if (tr.InTransaction()) {
    prepareUnder(tr);
    return;
  }
  // The server prepares only under a transaction; a statement prepared under
  // one runs under any other.
  FbTransactionOptions ro;
  ro.ReadOnly = true;
  FbTransaction tmp(*impl_->conn, ro);
  tmp.StartTransaction();
  prepareUnder(tmp);
  tmp.Commit();
}

FbQuery::Param& FbQuery::ParamByName(const std::string& name) {
  const std::string upper = Upper(name);
  for (size_t k = 0; k < impl_->paramNames.size(); ++k)
    if (impl_->paramNames[k] == upper) return *impl_->params[k];
  fbi::Fail("parameter " + name + " not found in: " + impl_->sql, {fbi::kDsqlError});
}

void FbQuery::ExecQuery() {
  Impl& q = *impl_;
  FbTransaction& tr = q.Tr();
  {
    auto lock = fbi::Quiet(*q.conn);
    q.CloseCursorQuietly();
  }
  // A transaction of an attachment that is gone lost its work with it.
  if (fbi::Access::Stale(tr)) fbi::FailLost(*q.conn);
  if (!tr.InTransaction()) {
    if (!tr.Options().AllowImplicitStart)
      fbi::Fail("invalid transaction handle (expecting explicit transaction start)",
                {fbi::kBadTransHandle});
    tr.StartTransaction();
    fbi::Access::State(tr).implicitStart = true;
  }
  fbi::Use use(*q.conn);
  if (fbi::Access::State(tr).generation != use.Generation()) fbi::FailLost(*q.conn);
  Firebird::ITransaction* tra = tr.Handle();
  try {
    q.Prepare(tra);
    q.Fill(tra);
    fbi::Status st;
    try {
      if (q.isSelect) {
        q.rs = q.stmt->openCursor(&st, tra, q.inMeta, q.In(), q.outMeta, 0);
      } else {
        const bool out = !q.outCols.empty();
        q.stmt->execute(&st, tra, q.inMeta, q.In(), out ? q.outMeta : nullptr,
                        out ? q.Out() : nullptr);
        q.hasRow = out;
        q.eof = !out;
        return;
      }
    } catch (const Firebird::FbException& e) {
      throw fbi::ToError(e);
    }
    q.Fetch();
  } catch (const EDatabaseError& e) {
    use.Failed(e);
    throw;
  }
}

bool FbQuery::Eof() const { return impl_->eof; }

void FbQuery::Next() {
  Impl& q = *impl_;
  if (!q.rs) {
    q.hasRow = false;
    q.eof = true;
    return;
  }
  if (q.eof) return;
  fbi::Use use(*q.conn);
  if (q.preparedGen != use.Generation()) {
    q.CloseCursorQuietly();  // the cursor ended with its attachment
    fbi::FailLost(*q.conn);
  }
  try {
    q.Fetch();
  } catch (const EDatabaseError& e) {
    use.Failed(e);
    throw;
  }
}

FbQuery::Field& FbQuery::FieldByName(const std::string& name) {
  for (size_t k = 0; k < impl_->outCols.size(); ++k)
    if (fbi::SameName(impl_->outCols[k].name, name)) return *impl_->fields[k];
  fbi::Fail("field " + name + " not found in: " + impl_->sql, {fbi::kDsqlError});
}

int FbQuery::FieldCount() const { return static_cast<int>(impl_->outCols.size()); }

FbQuery::Field& FbQuery::FieldByIndex(int index) {
  if (index < 0 || static_cast<size_t>(index) >= impl_->fields.size())
    fbi::Fail("field index " + std::to_string(index) + " out of range in: " + impl_->sql,
              {fbi::kDsqlError});
  return *impl_->fields[static_cast<size_t>(index)];
}

void FbQuery::Close() {
  Impl& q = *impl_;
  {
    auto lock = fbi::Quiet(*q.conn);
    q.CloseCursorQuietly();
  }
  if (q.tr) fbi::Access::EndImplicit(*q.tr);
}
