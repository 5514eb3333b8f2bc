// DeadlineHeap: a binary min-heap of timer nodes ordered by (deadline, arming sequence).
//
// Intrusive: every node stores its own position, so removing or re-keying an armed node costs
// O(log n) with no search, and a node knows whether it is queued (heapIndex_m != kNotQueued).
// Equal deadlines come out in the order of their sequence numbers, i.e. in arming order. The
// numbers are 32 bits; before they run out, the owner renumbers the queued nodes from 1 in the
// same order (renumber()), which leaves the heap's order as it was.
// Ownership: the heap holds plain pointers and owns no node.
// Thread: not synchronised; the driver instance guards each heap with its mutex.
#ifndef PLATFORM_PTIMERS_DEADLINEHEAP_H
#define PLATFORM_PTIMERS_DEADLINEHEAP_H

#include <stddef.h>
#include <stdint.h>

#include <vector>

namespace cmn {
namespace detail {

struct HeapNode {
    static const uint32_t kNotQueued = UINT32_MAX;

    int64_t deadlineNs_m = 0;  // on the clock of the heap that holds the node
    uint32_t sequence_m = 0;   // arming order within one driver instance
    // The node's position; 32 bits, since a heap never holds more records than the handle
    // table has slots. While the record's slot is free, the table keeps its free list here.
    uint32_t heapIndex_m = kNotQueued;
};

class DeadlineHeap {
public:
    DeadlineHeap() {}

    bool empty() const { return nodes_m.empty(); }
    size_t size() const { return nodes_m.size(); }
    // The earliest node; the heap must not be empty.
    HeapNode* top() const { return nodes_m.front(); }

    // Queues a node that is not queued.
    void push(HeapNode* node_p);
    // Restores the order after the keys of a queued node changed.
    void update(HeapNode* node_p);
    // Takes a queued node out; does nothing for a node that is not queued.
    void remove(HeapNode* node_p);
    // Takes the earliest node out when its deadline is at or before nowNs; null otherwise.
    HeapNode* popDue(int64_t nowNs);
    // Forgets every node (each is marked not queued).
    void clear();
    // Gives the queued nodes the sequence numbers 1 to size() in their (deadline, sequence)
    // order and returns size().
    uint32_t renumber();

private:
    DeadlineHeap(const DeadlineHeap&) = delete;
    DeadlineHeap& operator=(const DeadlineHeap&) = delete;

    void place(size_t index, HeapNode* node_p);
    void siftUp(size_t index);
    void siftDown(size_t index);

    std::vector<HeapNode*> nodes_m;
};

}  // namespace detail
}  // namespace cmn

#endif  // PLATFORM_PTIMERS_DEADLINEHEAP_H
