// Callers must not change an index while another thread uses it. These guards
// turn a violation into an error instead of a corrupted index: searches count
// themselves in, a change claims the index only when nobody is inside.
#pragma once

#include "orv/hyperbolic_index.hpp"

namespace orv {

class ReadGuard {
  public:
    explicit ReadGuard(const HyperbolicIndex& ix);
    ~ReadGuard();
    ReadGuard(const ReadGuard&) = delete;
    ReadGuard& operator=(const ReadGuard&) = delete;

  private:
    const UseCount& count_;
};

class WriteGuard {
  public:
    explicit WriteGuard(const HyperbolicIndex& ix);
    ~WriteGuard();
    WriteGuard(const WriteGuard&) = delete;
    WriteGuard& operator=(const WriteGuard&) = delete;

  private:
    const UseCount& count_;
};

}  // namespace orv
