// Arena helpers shared by the filter kernels' sources: the carver that hands out a loop's blocks
// in order, and the checked cell counts of the sizing functions. Internal: not part of the
// exported interface.
#ifndef VELM_KALMAN_ARENA_H
#define VELM_KALMAN_ARENA_H

#include "_common/velm_common.h"

namespace velm_arena {

// Hands out consecutive blocks of a loop's arena in carve order: no gaps, no alignment rounding.
struct ArenaCarver {
    f64* next;
    f64* take(i64 cells) {
        f64* block = next;
        next += cells;
        return block;
    }
};

// A cell count built with checked arithmetic (velm_count_add, velm_count_mul), so that a sizing
// formula reads as written: once a step overflows the count is -1 and stays -1.
class Cells {
  public:
    constexpr Cells(i64 count) : count_(count) {}  // implicit, so that 2 * N reads as written
    i64 count() const { return count_; }
    friend Cells operator+(Cells a, Cells b) { return velm_count_add(a.count_, b.count_); }
    friend Cells operator*(Cells a, Cells b) { return velm_count_mul(a.count_, b.count_); }

  private:
    i64 count_;
};

}  // namespace velm_arena

#endif
