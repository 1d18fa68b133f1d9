// link_bench_allocations.cpp - counts the heap allocations of the client
// processes while a measurement runs, with the allocation test's counter.
#include "allocation_counter.h"
#include "link_bench.h"

namespace bench {

void start_counting_allocations() {
    g_allocations.store(0, std::memory_order_relaxed);
    g_counting.store(true, std::memory_order_seq_cst);
}

// -1 in a build whose sanitizer keeps the allocator: nothing was counted.
int64_t stop_counting_allocations() {
    g_counting.store(false, std::memory_order_seq_cst);
    return MCU_AGENT_COUNT_ALLOCATIONS ? g_allocations.load(std::memory_order_relaxed) : -1;
}

}  // namespace bench
