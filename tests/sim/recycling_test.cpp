// The allocator timed events and their map nodes come from: freed blocks of one
// type are handed out again, up to a bound, and a thread's kept blocks go back
// to the heap when it ends (the sanitized build's leak check would see them
// otherwise). The sanitized build gives blocks straight back; these tests ask
// for the recycling path explicitly so that it is checked there too.
#include "sim/kernel/src/recycling.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <map>
#include <thread>
#include <vector>

namespace {

struct Block {
    uint64_t words[6];
};
using Kept = sim::Recycling<Block, true>;
using Direct = sim::Recycling<Block, false>;

TEST(RecyclingAllocator, AFreedBlockIsHandedOutAgainAndArraysGoToTheHeap) {
    Kept alloc;
    Block* a = alloc.allocate(1);
    a->words[0] = 1;
    const size_t before = Kept::Kept();  // after the allocation, which may take a kept block
    alloc.deallocate(a, 1);
    EXPECT_EQ(Kept::Kept(), before + 1);
    Block* b = alloc.allocate(1);
    EXPECT_EQ(b, a);  // the last block kept is the first handed out
    EXPECT_EQ(Kept::Kept(), before);
    Block* array = alloc.allocate(4);
    alloc.deallocate(array, 4);
    EXPECT_EQ(Kept::Kept(), before);  // arrays are never kept
    alloc.deallocate(b, 1);

    Direct direct;
    Block* c = direct.allocate(1);
    direct.deallocate(c, 1);
    EXPECT_EQ(Direct::Kept(), 0u);
}

TEST(RecyclingAllocator, KeepsNoMoreThanItsBoundAndTheRestGoBack) {
    Kept alloc;
    std::vector<Block*> blocks;
    for (size_t i = 0; i < Kept::kKept + 100; ++i)
        blocks.push_back(alloc.allocate(1));
    for (Block* block : blocks)
        alloc.deallocate(block, 1);
    EXPECT_EQ(Kept::Kept(), Kept::kKept);
    // Every block handed out is a distinct one, kept or new.
    std::vector<Block*> again;
    for (size_t i = 0; i < Kept::kKept + 10; ++i)
        again.push_back(alloc.allocate(1));
    std::sort(again.begin(), again.end());
    EXPECT_EQ(std::adjacent_find(again.begin(), again.end()), again.end());
    for (Block* block : again)
        alloc.deallocate(block, 1);
}

TEST(RecyclingAllocator, AMapOfEventsKeepsItsContentsThroughChurn) {
    // As the machine's event queue is used: inserted in time order, the first
    // taken, some cancelled from the middle.
    using Events = std::map<std::pair<int64_t, uint64_t>, uint64_t, std::less<std::pair<int64_t, uint64_t>>,
                            sim::Recycling<std::pair<const std::pair<int64_t, uint64_t>, uint64_t>, true>>;
    Events events;
    std::map<std::pair<int64_t, uint64_t>, uint64_t> expected;
    uint64_t id = 0;
    for (int round = 0; round < 2000; ++round) {
        for (int k = 0; k < 3; ++k) {
            const std::pair<int64_t, uint64_t> key{round * 7 % 101 + k, ++id};
            events.emplace(key, id * 3);
            expected.emplace(key, id * 3);
        }
        events.erase(events.begin());
        expected.erase(expected.begin());
        if (round % 5 == 0 && events.size() > 2) {
            auto middle = std::next(events.begin(), static_cast<long>(events.size() / 2));
            expected.erase(middle->first);
            events.erase(middle);
        }
    }
    ASSERT_EQ(events.size(), expected.size());
    EXPECT_TRUE(std::equal(events.begin(), events.end(), expected.begin()));
}

TEST(RecyclingAllocator, EachThreadKeepsItsOwnBlocks) {
    Kept alloc;
    Block* mine = alloc.allocate(1);
    alloc.deallocate(mine, 1);
    const size_t keptHere = Kept::Kept();
    size_t keptThere = 0;
    Block* theirs = nullptr;
    std::thread other([&] {
        Kept local;
        theirs = local.allocate(1);  // not this thread's kept block
        local.deallocate(theirs, 1);
        keptThere = Kept::Kept();
    });
    other.join();
    EXPECT_NE(theirs, mine);
    EXPECT_EQ(keptThere, 1u);
    EXPECT_EQ(Kept::Kept(), keptHere);
}

}  // namespace
