// This instruction set's entry of the dispatch table (isa.h), included last
// by its unit (isa_*.cpp), after kernel_impl.h and tree/operators_impl.h.
namespace kernel::KERNEL_NS {

extern const Isa kIsa;
const Isa kIsa{KERNEL_SIMD,
               {EvaluateAll<true>, EvaluateAll<false>},
               EdgeLog,
               Atan2,
               {P2P<true>, P2P<false>},
               P2PGradient,
               M2P,
               M2PGradient,
               P2M,
               QuarterTurn,
               ShiftZ};

}  // namespace kernel::KERNEL_NS
