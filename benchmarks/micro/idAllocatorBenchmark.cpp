// allocateId/deallocateId with 10,000 ids in use and the manager's hold-back of 8, beside a
// plain vector free list as the baseline of the least an id pool can cost.
#include <benchmark/benchmark.h>
#include <stdint.h>

#include <vector>

#include "commonIdAllocator.h"

namespace {

const uint32_t kInUse = 10000;

void BM_IdAllocator_AllocateDeallocate(benchmark::State& state) {
    cmn::IdAllocator allocator(8);
    for (uint32_t i = 0; i < kInUse; ++i) {
        allocator.allocateId();
    }
    for (auto _ : state) {
        uint16_t id = allocator.allocateId();
        benchmark::DoNotOptimize(id);
        allocator.deallocateId(id);
    }
}
BENCHMARK(BM_IdAllocator_AllocateDeallocate);

void BM_FreeList_PopPush(benchmark::State& state) {
    std::vector<uint16_t> freeIds;
    for (uint32_t id = 65535; id >= kInUse; --id) {
        freeIds.push_back(static_cast<uint16_t>(id));
    }
    for (auto _ : state) {
        uint16_t id = freeIds.back();
        freeIds.pop_back();
        benchmark::DoNotOptimize(id);
        freeIds.push_back(id);
    }
}
BENCHMARK(BM_FreeList_PopPush);

}  // namespace
