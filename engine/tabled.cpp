// The table kernel: construction and the per-point loop.
#include "engine/tabled.h"

template <TableGuard G>
void TableKernel<G>::Load(const FacetView& model) {
  table_.Build(model);
}

template <TableGuard G>
void TableKernel<G>::Release() {
  table_.Release();
}

template <TableGuard G>
void TableKernel<G>::Evaluate(size_t first, size_t step, size_t count, const double* x,
                              const double* y, const double* z, const FieldOut& out) const {
  kernel::Evaluate(simd_, G, table_, first, step, count, x, y, z,
                   {out.U, out.gx, out.gy, out.gz});
}

template class TableKernel<TableGuard::kRelative>;
template class TableKernel<TableGuard::kNone>;
