// History ingest: what the database layer costs over the bare client library.
//
// Stores N history rows the way the acquisition does (one transaction per
// row: start HistoricoTrans, bind four parameters, ExecQuery, Commit) through
// TmodDatabase, and the same rows through a minimal loop written directly on
// the client library (statement prepared once, message buffer filled by hand,
// start/execute/commit per row). The two run in alternating blocks so that
// both see the same machine load. Target: the layer costs at most 5 % over
// the bare loop. Runs against a database it creates and drops: N rows per
// path with forced writes off (the layer's own cost is then the largest
// share it can be), then N/5 rows with forced writes on (a real
// installation, where the fsync of each commit dominates and is slow and
// noisy on a shared machine).
//   bench_db_ingest [N]
#include <firebird/Interface.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "database/TmodDatabase.h"
#include "platform/DateTime.h"
// The test database helper (creates, fills and drops a database as SYSDBA).
#include "tests/support/TestDatabase.cpp"

namespace {

using Clock = std::chrono::steady_clock;

struct Row {
  TDateTime data;
  float valor;
  int32_t canal;
  int32_t periodo;
};

std::vector<Row> MakeRows(int n, int canalBase) {
  std::vector<Row> rows;
  const TDateTime start = dt::EncodeDate(2024, 1, 1);
  for (int i = 0; i < n; ++i)
    rows.push_back(Row{start + i / 1440.0, 100.0f + static_cast<float>(i) * 0.25f, canalBase + i % 8,
                       i % 3});
  return rows;
}

// The acquisition's way, through the layer.
double LayerBlock(TmodDatabase& m, const std::vector<Row>& rows, size_t from, size_t to) {
  const auto t0 = Clock::now();
  for (size_t i = from; i < to; ++i) {
    const Row& r = rows[i];
    m.HistoricoTrans.StartTransaction();
    m.AddHistorico.ParamByName("DATA").SetDateTime(r.data);
    m.AddHistorico.ParamByName("VALOR").SetFloat(r.valor);
    m.AddHistorico.ParamByName("CANAL_ID").SetInteger(r.canal);
    m.AddHistorico.ParamByName("PERIODO").SetInteger(r.periodo);
    m.AddHistorico.ExecQuery();
    m.HistoricoTrans.Commit();
  }
  return std::chrono::duration<double>(Clock::now() - t0).count();
}

// The same on the bare client library.
class Bare {
 public:
  explicit Bare(const FbConnectParams& p) : status_(master_->getStatus()), st_(status_) {
    Firebird::IUtil* util = master_->getUtilInterface();
    Firebird::IXpbBuilder* dpb = util->getXpbBuilder(&st_, Firebird::IXpbBuilder::DPB, nullptr, 0);
    dpb->insertString(&st_, isc_dpb_user_name, p.UserName.c_str());
    dpb->insertString(&st_, isc_dpb_password, p.Password.c_str());
    dpb->insertString(&st_, isc_dpb_lc_ctype, p.Charset.c_str());
    dpb->insertInt(&st_, isc_dpb_sql_dialect, 3);
    provider_ = master_->getDispatcher();
    att_ = provider_->attachDatabase(&st_, p.Database.c_str(), dpb->getBufferLength(&st_),
                                     dpb->getBuffer(&st_));
    dpb->dispose();
    Firebird::IXpbBuilder* tpb = util->getXpbBuilder(&st_, Firebird::IXpbBuilder::TPB, nullptr, 0);
    tpb->insertTag(&st_, isc_tpb_read_committed);
    tpb->insertTag(&st_, isc_tpb_rec_version);
    tpb->insertTag(&st_, isc_tpb_nowait);
    tpb->insertTag(&st_, isc_tpb_write);
    tpb_.assign(tpb->getBuffer(&st_), tpb->getBuffer(&st_) + tpb->getBufferLength(&st_));
    tpb->dispose();
    Firebird::ITransaction* tra = att_->startTransaction(&st_, static_cast<unsigned>(tpb_.size()), tpb_.data());
    const char* sql = "insert into HISTORICOS_H (DATA, VALOR, CANAL_ID, PERIODO) values (?, ?, ?, ?)";
    stmt_ = att_->prepare(&st_, tra, 0, sql, SQL_DIALECT_V6, Firebird::IStatement::PREPARE_PREFETCH_METADATA);
    tra->commit(&st_);
    meta_ = stmt_->getInputMetadata(&st_);
    buf_.assign(meta_->getMessageLength(&st_), 0);
    for (unsigned i = 0; i < 4; ++i) {
      off_[i] = meta_->getOffset(&st_, i);
      *reinterpret_cast<short*>(&buf_[meta_->getNullOffset(&st_, i)]) = 0;
    }
  }
  ~Bare() {
    meta_->release();
    stmt_->free(&st_);
    att_->detach(&st_);
    provider_->release();
    status_->dispose();
  }

  double Block(const std::vector<Row>& rows, size_t from, size_t to) {
    const auto t0 = Clock::now();
    for (size_t i = from; i < to; ++i) {
      const Row& r = rows[i];
      const long long ms = std::llround(r.data * 86400000.0);
      ISC_TIMESTAMP ts;
      ts.timestamp_date = static_cast<ISC_DATE>(ms / 86400000 + 15018);
      ts.timestamp_time = static_cast<ISC_TIME>((ms % 86400000) * 10);
      std::memcpy(&buf_[off_[0]], &ts, sizeof ts);
      std::memcpy(&buf_[off_[1]], &r.valor, sizeof r.valor);
      std::memcpy(&buf_[off_[2]], &r.canal, sizeof r.canal);
      std::memcpy(&buf_[off_[3]], &r.periodo, sizeof r.periodo);
      Firebird::ITransaction* tra =
          att_->startTransaction(&st_, static_cast<unsigned>(tpb_.size()), tpb_.data());
      stmt_->execute(&st_, tra, meta_, buf_.data(), nullptr, nullptr);
      tra->commit(&st_);
    }
    return std::chrono::duration<double>(Clock::now() - t0).count();
  }

 private:
  Firebird::IMaster* master_ = Firebird::fb_get_master_interface();
  Firebird::IStatus* status_;
  Firebird::ThrowStatusWrapper st_;
  Firebird::IProvider* provider_ = nullptr;
  Firebird::IAttachment* att_ = nullptr;
  Firebird::IStatement* stmt_ = nullptr;
  Firebird::IMessageMetadata* meta_ = nullptr;
  std::vector<unsigned char> tpb_;
  std::vector<unsigned char> buf_;
  unsigned off_[4] = {};
};

void Run(int n, bool forcedWrites) {
  TestDatabase::Options o;
  o.forcedWrites = forcedWrites;
  TestDatabase db(o);
  const std::vector<Row> layerRows = MakeRows(n, 1);
  const std::vector<Row> bareRows = MakeRows(n, 101);
  double layer = 0, bare = 0;
  std::vector<double> ratios;
  {
    TmodDatabase m(db.Params());
    Bare b(db.Params());
    // Warm-up (first prepare, page allocation), not counted.
    LayerBlock(m, MakeRows(50, 201), 0, 50);
    b.Block(MakeRows(50, 301), 0, 50);
    const int blocks = 20;
    for (int k = 0; k < blocks; ++k) {
      const size_t from = static_cast<size_t>(n) * k / blocks, to = static_cast<size_t>(n) * (k + 1) / blocks;
      double tl, tb;
      if (k % 2 == 0) {
        tl = LayerBlock(m, layerRows, from, to);
        tb = b.Block(bareRows, from, to);
      } else {
        tb = b.Block(bareRows, from, to);
        tl = LayerBlock(m, layerRows, from, to);
      }
      layer += tl;
      bare += tb;
      ratios.push_back(tl / tb);
    }
  }
  const long long stored = db.QueryInt("select count(*) from HISTORICOS_H");
  std::sort(ratios.begin(), ratios.end());
  std::printf("forced writes %-3s, %d rows: layer %7.0f rows/s (%5.0f us/row), bare %7.0f rows/s (%5.0f us/row), "
              "layer/bare time %.3f (median of blocks %.3f), rows stored %lld\n",
              forcedWrites ? "on" : "off", n, n / layer, layer * 1e6 / n, n / bare, bare * 1e6 / n,
              layer / bare, ratios[ratios.size() / 2], stored);
}

}  // namespace

int main(int argc, char** argv) {
  const int n = argc > 1 ? std::atoi(argv[1]) : 5000;
  std::printf("bench_db_ingest: %d history rows per path, one transaction per row\n", n);
  try {
    Run(n, false);
    Run(std::max(n / 5, 20), true);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "bench_db_ingest: %s\n", e.what());
    return 1;
  }
  return 0;
}
