// A way for the caller of a long scan to abandon it midway.
#pragma once

#include <cstddef>
#include <exception>

namespace termsweep {

// Thrown out of a scan whose Interrupt asked it to stop. Nothing partial is
// returned and the processor is unchanged.
class Interrupted : public std::exception {
 public:
  const char* what() const noexcept override { return "interrupted"; }
};

// Polled by long scans every so much work (kPollBytes of text, or as many
// steps of a search); when `poll` returns true the scan throws Interrupted.
struct Interrupt {
  static constexpr std::size_t kPollBytes = std::size_t{1} << 16;

  bool (*poll)(void* context) = nullptr;
  void* context = nullptr;

  void check() const {
    if (poll != nullptr && poll(context)) throw Interrupted();
  }
};

// Counts work and polls the interrupt each time another kPollBytes of it
// is done.
class InterruptClock {
 public:
  explicit InterruptClock(const Interrupt& interrupt) : interrupt_(interrupt) {}
  void advance(std::size_t work) {
    spent_ += work;
    if (spent_ >= Interrupt::kPollBytes) {
      spent_ = 0;
      interrupt_.check();
    }
  }

 private:
  const Interrupt& interrupt_;
  std::size_t spent_ = 0;
};

}  // namespace termsweep
