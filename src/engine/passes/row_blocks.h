// Blocks of rows, split across threads.
#pragma once

#include <cstddef>
#include <functional>

#include "common/gam_error.h"

namespace velkan::passes {

// Calls body(part, first, count) for consecutive blocks of at most `block` rows covering
// rows [0, n). The blocks are divided into `parts` contiguous ranges (fewer when there are
// fewer blocks), each run on its own thread; the calling thread runs part 0 and, between
// its blocks and while it waits for the others, polls for interrupts. A failing block or
// an interrupt stops every part at its next block boundary; the first failure in part
// order is returned (an interrupt as interrupted_error()).
//
// Returns the number of parts actually used through `used_parts` (may be null).
Status for_each_block(std::size_t n, std::size_t block, std::size_t parts,
                      const std::function<Status(std::size_t part, std::size_t first,
                                                 std::size_t count)>& body,
                      std::size_t* used_parts = nullptr);

// The number of parts for_each_block uses for n rows in blocks of `block` with `threads`
// asked for: at least one, at most one per block. Size per-part state with it, never with
// the thread count a caller passed (which comes from the user, or from a model file).
std::size_t part_count(std::size_t n, std::size_t block, std::size_t threads);

}  // namespace velkan::passes
