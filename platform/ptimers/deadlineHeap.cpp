// DeadlineHeap: sift operations of the intrusive min-heap.
#include "deadlineHeap.h"

#include <assert.h>

#include <algorithm>

namespace cmn {
namespace detail {

namespace {

// File-local, so that the sifts inline it instead of calling it through the shared object's
// procedure linkage table.
inline bool before(const HeapNode* a_p, const HeapNode* b_p) {
    if (a_p->deadlineNs_m != b_p->deadlineNs_m) {
        return a_p->deadlineNs_m < b_p->deadlineNs_m;
    }
    return a_p->sequence_m < b_p->sequence_m;
}

}  // namespace

void DeadlineHeap::place(size_t index, HeapNode* node_p) {
    nodes_m[index] = node_p;
    node_p->heapIndex_m = static_cast<uint32_t>(index);
}

void DeadlineHeap::siftUp(size_t index) {
    HeapNode* node_p = nodes_m[index];
    while (index > 0) {
        size_t parent = (index - 1) / 2;
        if (!before(node_p, nodes_m[parent])) {
            break;
        }
        place(index, nodes_m[parent]);
        index = parent;
    }
    place(index, node_p);
}

void DeadlineHeap::siftDown(size_t index) {
    HeapNode* node_p = nodes_m[index];
    const size_t count = nodes_m.size();
    for (;;) {
        size_t child = 2 * index + 1;
        if (child >= count) {
            break;
        }
        if (child + 1 < count && before(nodes_m[child + 1], nodes_m[child])) {
            ++child;
        }
        if (!before(nodes_m[child], node_p)) {
            break;
        }
        place(index, nodes_m[child]);
        index = child;
    }
    place(index, node_p);
}

void DeadlineHeap::push(HeapNode* node_p) {
    assert(node_p->heapIndex_m == HeapNode::kNotQueued);
    nodes_m.push_back(node_p);
    siftUp(nodes_m.size() - 1);
}

void DeadlineHeap::update(HeapNode* node_p) {
    assert(node_p->heapIndex_m < nodes_m.size() && nodes_m[node_p->heapIndex_m] == node_p);
    siftUp(node_p->heapIndex_m);
    siftDown(node_p->heapIndex_m);
}

void DeadlineHeap::remove(HeapNode* node_p) {
    const uint32_t index = node_p->heapIndex_m;
    if (index == HeapNode::kNotQueued) {
        return;
    }
    assert(index < nodes_m.size() && nodes_m[index] == node_p);
    node_p->heapIndex_m = HeapNode::kNotQueued;
    HeapNode* last_p = nodes_m.back();
    nodes_m.pop_back();
    if (last_p == node_p) {
        return;
    }
    place(index, last_p);
    update(last_p);
}

HeapNode* DeadlineHeap::popDue(int64_t nowNs) {
    if (nodes_m.empty() || nodes_m.front()->deadlineNs_m > nowNs) {
        return nullptr;
    }
    HeapNode* node_p = nodes_m.front();
    remove(node_p);
    return node_p;
}

uint32_t DeadlineHeap::renumber() {
    std::vector<HeapNode*> inOrder(nodes_m);
    std::sort(inOrder.begin(), inOrder.end(), before);
    uint32_t sequence = 0;
    for (HeapNode* node_p : inOrder) {
        node_p->sequence_m = ++sequence;
    }
    return sequence;
}

void DeadlineHeap::clear() {
    for (HeapNode* node_p : nodes_m) {
        node_p->heapIndex_m = HeapNode::kNotQueued;
    }
    nodes_m.clear();
}

}  // namespace detail
}  // namespace cmn
