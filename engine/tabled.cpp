// The table kernel: construction and the per-point loop.
#include "engine/tabled.h"

#include <cstdlib>

#include "common/error.h"

template <TableGuard G>
void TableKernel<G>::Load(const FacetView& model) {
  model_ = model;
  si_ = static_cast<SIEntry*>(std::malloc(sizeof(SIEntry) * (model.n ? model.n : 1)));
  if (!si_) Error("memory allocation error for SI.");
  for (uint32_t f = 0; f < model.n; ++f) si_[f] = MakeSIEntry(model.V(f));
}

template <TableGuard G>
void TableKernel<G>::Release() {
  std::free(si_);
  si_ = nullptr;
}

template <TableGuard G>
void TableKernel<G>::Evaluate(size_t first, size_t step, size_t count, const double* x,
                              const double* y, const double* z, const FieldOut& out) const {
  for (size_t i = first; i < count; i += step)
    CalculateSI<G>(model_, si_, x[i], y[i], z[i], out.U ? out.U + i : nullptr,
                   out.gx ? out.gx + i : nullptr, out.gy ? out.gy + i : nullptr,
                   out.gz ? out.gz + i : nullptr);
}

template class TableKernel<TableGuard::kRelative>;
template class TableKernel<TableGuard::kNone>;
