// This instruction set's entry of the dispatch table (isa.h) and its lane
// formulas for tests (isa_targets.h), included last by its unit
// (isa_*.cpp), after kernel_impl.h, tree/operators_impl.h and layer_impl.h.
namespace kernel::KERNEL_NS {

extern const Isa kIsa;
const Isa kIsa{KERNEL_SIMD,
               {EvaluateAll<true>, EvaluateAll<false>},
               {P2P<true>, P2P<false>},
               P2PGradient,
               M2P,
               M2PGradient,
               P2M,
               QuarterTurn,
               ShiftZ,
               AdjointLayer,
               LayerAt};
extern const Probes kProbes;
const Probes kProbes{EdgeLog, Atan2};

}  // namespace kernel::KERNEL_NS
