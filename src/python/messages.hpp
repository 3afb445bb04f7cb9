// The texts of failures that the plain-C++ layers report as values. Their
// wording follows the runtime whose messages the module reproduces; this is
// the one place that knows it.
#pragma once

#include <string>

#include "pool/worker_pool.hpp"

namespace termsweep::python {

// "The global thread pool has not been initialized.: ThreadPoolBuildError { kind: ... }".
std::string pool_failure_message(const pool::BuildError& error);

}  // namespace termsweep::python
