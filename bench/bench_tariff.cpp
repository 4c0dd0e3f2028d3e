// Cost of one tariff period lookup (KxVariavel::GetPeriodoId), the work the
// acquisition thread adds to every stored history value.
//
// A variable with 4 periods of 3 segments each and 20 holidays; timestamps
// walk a year minute by minute (with odd seconds). Prints ns per lookup.
#include <chrono>
#include <cstdio>

#include "model/KxListaPeriodos.h"
#include "model/KxListaSegmentos.h"
#include "model/KxVariavel.h"
#include "model/TListaFeriados.h"

int main() {
  auto* periodos = new KxListaPeriodos();
  // Periods: peak weekday evening, shoulder, off-peak night, weekend/holiday.
  struct Seg { int dias; int h1, m1, h2, m2; };
  const Seg table[4][3] = {
      {{124, 18, 0, 21, 0}, {124, 17, 30, 18, 0}, {124, 21, 0, 21, 30}},
      {{124, 7, 0, 17, 30}, {124, 21, 30, 23, 0}, {2, 10, 0, 14, 0}},
      {{124, 23, 0, 7, 0}, {2, 0, 0, 10, 0}, {2, 14, 0, 0, 0}},
      {{129, 0, 0, 0, 0}, {1, 0, 0, 0, 0}, {128, 6, 0, 22, 0}},
  };
  for (int p = 0; p < 4; ++p) {
    auto* segs = new KxListaSegmentos();
    for (int s = 0; s < 3; ++s) {
      const Seg& g = table[p][s];
      segs->AddSegmento(g.dias, p + 1, dt::EncodeTime(g.h1, g.m1, 0, 0),
                        dt::EncodeTime(g.h2, g.m2, 0, 0));
    }
    periodos->AddPeriodo(p + 1, segs);
  }
  KxVariavel var(1, 'E', periodos);

  TListaFeriados feriados;
  for (int i = 0; i < 20; ++i) feriados.Add(dt::EncodeDate(2010 + i % 5, 1 + (i * 7) % 12, 1 + (i * 11) % 28));

  const TDateTime start = dt::EncodeDateTime(2016, 1, 1, 0, 0, 17);
  const int n = 525600;  // one year of minutes
  long long sum = 0;
  // Warm-up, then the best of 5 runs.
  double best = 1e30;
  for (int run = 0; run < 6; ++run) {
    const auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < n; ++i) sum += var.GetPeriodoId(feriados, start + i / 1440.0);
    const auto t1 = std::chrono::steady_clock::now();
    const double ns = std::chrono::duration<double, std::nano>(t1 - t0).count() / n;
    if (run > 0 && ns < best) best = ns;
  }
  std::printf("tariff lookup: %.1f ns per GetPeriodoId (4 periods x 3 segments, 20 holidays; "
              "checksum %lld)\n", best, sum);
  return 0;
}
