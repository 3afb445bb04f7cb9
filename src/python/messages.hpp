// The texts of failures that the plain-C++ layers report as values. Their
// wording follows the runtime whose messages the module reproduces; this is
// the one place that knows it.
#pragma once

#include <string>

#include "pool/worker_pool.hpp"
#include "python/ref.hpp"
#include "state/state_format.hpp"

namespace termsweep::python {

// "The global thread pool has not been initialized.: ThreadPoolBuildError { kind: ... }".
std::string pool_failure_message(const pool::BuildError& error);

// "called `Result::unwrap()` on an `Err` value: Io(Kind(UnexpectedEof))" and the like.
std::string state_failure_message(const state::ReadError& error);

// A result object (a match) that could not be made, naming the pending
// Python error, which it clears.
std::string unmade_result_message();

// An entry of the dict of keywords that could not be set, likewise.
std::string unset_dict_item_message();

}  // namespace termsweep::python
