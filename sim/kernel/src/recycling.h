// An allocator that keeps blocks of one type for reuse instead of giving them
// back to the heap. The machine schedules, cancels and fires a timed event
// every few microseconds of a fast stream, and each one is a node and a
// record; recycling them takes the heap out of that path.
//
// Under AddressSanitizer every block goes straight back to the heap, so a use
// of an event after it was freed is still caught.
#pragma once

#include <cstddef>
#include <new>
#include <vector>

namespace sim {

#if defined(__SANITIZE_ADDRESS__)
inline constexpr bool kRecycleBlocks = false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
inline constexpr bool kRecycleBlocks = false;
#else
inline constexpr bool kRecycleBlocks = true;
#endif
#else
inline constexpr bool kRecycleBlocks = true;
#endif

// `Recycle` is for the allocator's own tests, which check the recycling path
// in the sanitized build too.
template <class T, bool Recycle = kRecycleBlocks>
class Recycling {
  public:
    using value_type = T;
    template <class U>
    struct rebind {
        using other = Recycling<U, Recycle>;
    };
    // More than a busy machine has outstanding at once; the rest go back.
    static constexpr std::size_t kKept = 4096;

    Recycling() = default;
    template <class U>
    Recycling(const Recycling<U, Recycle>&) noexcept {}

    T* allocate(std::size_t n) {
        if (Recycle && n == 1) {
            if (std::vector<void*>* spare = Spares::Mine(); spare && !spare->empty()) {
                void* block = spare->back();
                spare->pop_back();
                return static_cast<T*>(block);
            }
        }
        return static_cast<T*>(::operator new(n * sizeof(T)));
    }

    void deallocate(T* block, std::size_t n) noexcept {
        if (Recycle && n == 1) {
            std::vector<void*>* spare = Spares::Mine();
            if (spare && spare->size() < kKept) {
                try {
                    spare->push_back(block);
                    return;
                } catch (const std::bad_alloc&) {
                }
            }
        }
        ::operator delete(block);
    }

    friend bool operator==(const Recycling&, const Recycling&) { return true; }
    friend bool operator!=(const Recycling&, const Recycling&) { return false; }

    // Blocks kept for reuse by this thread.
    static std::size_t Kept() {
        const std::vector<void*>* spare = Spares::Mine();
        return spare ? spare->size() : 0;
    }

  private:
    // Per OS thread (simulations on two threads never share a block list),
    // freed when the thread ends; what is freed after that goes to the heap.
    struct Spares {
        std::vector<void*> blocks;
        bool* ended;
        explicit Spares(bool* ended) : ended(ended) {}
        ~Spares() {
            *ended = true;
            for (void* block : blocks)
                ::operator delete(block);
        }
        static std::vector<void*>* Mine() {
            thread_local bool ended = false;
            if (ended)
                return nullptr;
            thread_local Spares spares(&ended);
            return &spares.blocks;
        }
    };
};

}  // namespace sim
