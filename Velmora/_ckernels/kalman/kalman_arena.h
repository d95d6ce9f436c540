// Arena helpers shared by the filter kernels' sources: checked cell counts and the carver that
// both hands out a loop's blocks in order and, run without an arena, counts them for the loop's
// sizing function. Internal: not part of the exported interface.
#ifndef VELM_KALMAN_ARENA_H
#define VELM_KALMAN_ARENA_H

#include "_common/velm_common.h"

namespace velm_arena {

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

// Hands out consecutive blocks of a loop's arena in carve order: no gaps, no alignment rounding.
// Constructed without an arena it hands out null blocks and only counts: each loop's sizing
// function runs the loop's own carve that way, so that a size can never disagree with what the
// carve takes.
class ArenaCarver {
  public:
    explicit ArenaCarver(f64* arena) : next_(arena) {}
    static ArenaCarver counting() { return ArenaCarver(nullptr); }

    f64* take(Cells cells) {
        taken_ = taken_ + cells;
        if (next_ == nullptr) return nullptr;
        f64* block = next_;
        next_ += cells.count();
        return block;
    }
    // Cells taken so far (-1 once a count overflowed), and the size record of a counting carve.
    Cells taken() const { return taken_; }
    arena_size size() const { return make_sizer(taken_.count(), 0); }

  private:
    f64* next_;
    Cells taken_ = 0;
};

}  // namespace velm_arena

#endif
