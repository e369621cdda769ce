#pragma once

#include <onnxruntime_c_api.h>

namespace Tarnivale::AI {

/// How ONNX Runtime's idle intra-op workers wait for work.
enum class SpinningPolicy {
    /// Workers block as soon as they find no work, within a run and after it
    /// ("session.intra_op.allow_spinning" 0, "session.force_spinning_stop" 1).
    NoSpinning,
    /// Workers spin briefly between the operators of a run and stop when the run returns
    /// ("session.intra_op.allow_spinning" 1, "session.force_spinning_stop" 1).
    SpinThenStop,
    /// Nothing set: the runtime's defaults (workers spin within a run and for a while after it).
    RuntimeDefault,
};

/// Thread-pool settings every session gets: the current spinning policy's configuration entries.
/// The policy is NoSpinning: on the machines measured (2 vCPUs shared with other work) spinning workers
/// took the cores from the threads they waited for, and a many-operator model ran 35-40 % slower per tile
/// with either spinning policy (bench/README.md, "bench_raster spinning").
void applyThreadPoolConfiguration(OrtSessionOptions* options);

/// The policy sessions created from now on get. Only benchmarks change it, to compare the policies in one
/// process.
SpinningPolicy spinningPolicy();
void setSpinningPolicy(SpinningPolicy policy);
const char* spinningPolicyName(SpinningPolicy policy);

}  // namespace Tarnivale::AI
