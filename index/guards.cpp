// The guard against changes during use.
#include "orv/guards.hpp"

#include <climits>
#include <stdexcept>

namespace orv {

namespace {
// A writer's claim: far enough below zero that no count of readers lifts it.
constexpr int32_t WRITER = INT_MIN / 2;
}  // namespace

bool UseCount::enter_read() const {
    if (count_.fetch_add(1, std::memory_order_acquire) >= 0) return true;
    count_.fetch_sub(1, std::memory_order_release);
    return false;
}

void UseCount::leave_read() const { count_.fetch_sub(1, std::memory_order_release); }

bool UseCount::enter_write() const {
    int32_t expected = 0;
    return count_.compare_exchange_strong(expected, WRITER, std::memory_order_acquire);
}

void UseCount::leave_write() const { count_.fetch_sub(WRITER, std::memory_order_release); }

ReadGuard::ReadGuard(const HyperbolicIndex& ix) : count_(ix.use_count()) {
    if (!count_.enter_read()) throw std::runtime_error("index is being changed by another thread");
}

ReadGuard::~ReadGuard() { count_.leave_read(); }

WriteGuard::WriteGuard(const HyperbolicIndex& ix) : count_(ix.use_count()) {
    if (!count_.enter_write())
        throw std::runtime_error("index is in use by another thread and cannot be changed now");
}

WriteGuard::~WriteGuard() { count_.leave_write(); }

}  // namespace orv
