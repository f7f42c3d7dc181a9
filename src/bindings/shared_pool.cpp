// The one exported function besides PyInit_zorv: zorv's worker pool, for the companion
// module zorv_arrays. That module carries its own copy of the numerical core; it finds
// this function in the loaded zorv library at import and runs its batches on the pool
// returned here, so that a process using both modules has a single pool.

#include "support/parallel.hpp"

/// The process-wide pool of this module, created on first use.
/// @throws zorv::Stop as zorv::global_pool() does.
extern "C" __attribute__((visibility("default"))) zorv::WorkerPool* zorv_shared_global_pool() {
    return &zorv::global_pool();
}
