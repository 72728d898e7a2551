// Recycled memory blocks for promise states: each thread keeps a few, and threads that free more than
// they allocate hand them on, a batch at a time, to the threads that allocate more than they free.
#pragma once

#include <cstddef>
#include <mutex>
#include <new>
#include <vector>

namespace brisko::promises::detail {

// Promises are usually made on one thread and let go on another. Through malloc alone, the freeing
// thread's small cache soon fills, and every further block goes back through the lock of the arena
// the making thread allocates from. Here a freeing thread gathers blocks and passes a whole batch
// under one short lock; the making thread takes a batch the same way.
template <std::size_t Size> class BlockPool {
public:
    static void* allocate() {
        Local& local = localCache();
        if (!local.head && !local.gone) refill(local);
        if (Node* node = local.head) {
            local.head = node->next;
            --local.count;
            return node;
        }
        return ::operator new(Size);
    }

    static void deallocate(void* block) noexcept {
        Local& local = localCache();
        if (local.gone) {
            // The thread is ending and has given its blocks back: this one goes straight to malloc.
            ::operator delete(block);
            return;
        }
        auto* node = static_cast<Node*>(block);
        node->next = local.head;
        local.head = node;
        if (++local.count >= 2 * kBatch) release(local);
    }

private:
    static constexpr std::size_t kBatch = 32;
    // At most this many batches wait to be reused; beyond that blocks go back to malloc.
    static constexpr std::size_t kMaxSharedBatches = 32;

    struct Node {
        Node* next;
    };
    static_assert(Size >= sizeof(Node));

    // Plain data, valid until the thread ends, so that a block freed while the thread's storage is
    // being torn down still finds it.
    struct Local {
        Node* head = nullptr;
        std::size_t count = 0;
        bool gone = false;
    };
    // Gives the thread's blocks back to malloc when the thread ends.
    struct Drain {
        ~Drain() {
            Local& local = localCache();
            local.gone = true;
            freeList(local.head);
            local.head = nullptr;
            local.count = 0;
        }
    };
    struct Shared {
        std::mutex mutex;
        std::vector<Node*> batches;  // each a list of kBatch blocks
    };

    static Local& localCache() {
        thread_local Local local;
        thread_local Drain drain;
        (void)drain;
        return local;
    }
    static Shared& shared() {
        // Kept for the whole process: threads may still free blocks while it is shutting down.
        static auto* s = new Shared;
        return *s;
    }
    static void refill(Local& local) {
        auto& s = shared();
        std::lock_guard lock(s.mutex);
        if (s.batches.empty()) return;
        local.head = s.batches.back();
        s.batches.pop_back();
        local.count = kBatch;
    }
    // Passes the kBatch blocks at the head of the thread's list on.
    static void release(Local& local) {
        Node* batch = local.head;
        Node* last = batch;
        for (std::size_t i = 1; i < kBatch; ++i) last = last->next;
        local.head = last->next;
        last->next = nullptr;
        local.count -= kBatch;
        auto& s = shared();
        {
            std::lock_guard lock(s.mutex);
            if (s.batches.size() < kMaxSharedBatches) {
                s.batches.push_back(batch);
                return;
            }
        }
        freeList(batch);
    }
    static void freeList(Node* node) noexcept {
        while (node) {
            Node* next = node->next;
            ::operator delete(node);
            node = next;
        }
    }
};

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define BRISKO_PROMISES_PLAIN_ALLOCATION 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define BRISKO_PROMISES_PLAIN_ALLOCATION 1
#endif

// The allocator of promise states and of the queue tasks of the promise library: one block from the
// pool of its size. Under AddressSanitizer blocks
// come straight from malloc, so that a use after free is still caught.
template <class T> class PoolAllocator {
public:
    using value_type = T;
    PoolAllocator() = default;
    template <class U> PoolAllocator(const PoolAllocator<U>&) noexcept {}  // NOLINT: rebinding

    T* allocate(std::size_t n) {
        static_assert(alignof(T) <= __STDCPP_DEFAULT_NEW_ALIGNMENT__);
#ifndef BRISKO_PROMISES_PLAIN_ALLOCATION
        if (n == 1) return static_cast<T*>(BlockPool<blockSize()>::allocate());
#endif
        return static_cast<T*>(::operator new(n * sizeof(T)));
    }
    void deallocate(T* p, std::size_t n) noexcept {
#ifndef BRISKO_PROMISES_PLAIN_ALLOCATION
        if (n == 1) {
            BlockPool<blockSize()>::deallocate(p);
            return;
        }
#endif
        (void)n;
        ::operator delete(p);
    }
    template <class U> bool operator==(const PoolAllocator<U>&) const noexcept {
        return true;
    }

private:
    // Types of nearly the same size share a pool.
    static constexpr std::size_t blockSize() {
        return (sizeof(T) + 15) / 16 * 16;
    }
};

}  // namespace brisko::promises::detail
