// A move-only type-erased callable, for handlers that own move-only state.
#pragma once

#include <cstddef>
#include <new>
#include <type_traits>
#include <utility>

namespace brisko::platform {

template <class Sig> class UniqueFunction;

// Callables of up to four pointers that move without throwing (most handlers: a few shared or weak
// pointers and a flag) are kept inside the object; larger ones on the heap. Posting work is then free of
// allocations for the common handler, which matters on the network thread and the queues' hot paths.
template <class R, class... Args> class UniqueFunction<R(Args...)> {
public:
    UniqueFunction() = default;
    UniqueFunction(std::nullptr_t) {}
    template <class F>
    requires(!std::is_same_v<std::decay_t<F>, UniqueFunction> && std::is_invocable_r_v<R, F&, Args...>)
        UniqueFunction(F&& f) {
        using Stored = std::decay_t<F>;
        if constexpr (fitsInline<Stored>) {
            ::new (static_cast<void*>(storage_)) Stored(std::forward<F>(f));
            ops_ = &inlineOps<Stored>;
        } else {
            *reinterpret_cast<Stored**>(storage_) = new Stored(std::forward<F>(f));
            ops_ = &heapOps<Stored>;
        }
    }

    UniqueFunction(UniqueFunction&& other) noexcept : ops_(other.ops_) {
        if (ops_) {
            ops_->relocate(storage_, other.storage_);
            other.ops_ = nullptr;
        }
    }
    UniqueFunction& operator=(UniqueFunction&& other) noexcept {
        if (this != &other) {
            reset();
            ops_ = other.ops_;
            if (ops_) {
                ops_->relocate(storage_, other.storage_);
                other.ops_ = nullptr;
            }
        }
        return *this;
    }
    UniqueFunction& operator=(std::nullptr_t) noexcept {
        reset();
        return *this;
    }
    ~UniqueFunction() { reset(); }

    R operator()(Args... args) { return ops_->call(storage_, std::forward<Args>(args)...); }
    explicit operator bool() const { return ops_ != nullptr; }

private:
    static constexpr std::size_t kInlineSize = 4 * sizeof(void*);

    template <class F>
    static constexpr bool fitsInline = sizeof(F) <= kInlineSize &&
                                       alignof(F) <= alignof(void*) && std::is_nothrow_move_constructible_v<F>;

    struct Ops {
        R (*call)(void* storage, Args&&... args);
        // Moves the callable from `from` into the empty `to` and ends it in `from`.
        void (*relocate)(void* to, void* from) noexcept;
        void (*destroy)(void* storage) noexcept;
    };

    template <class F>
    static constexpr Ops inlineOps{
        [](void* s, Args&&... args) -> R { return (*static_cast<F*>(s))(std::forward<Args>(args)...); },
        [](void* to, void* from) noexcept {
            ::new (to) F(std::move(*static_cast<F*>(from)));
            static_cast<F*>(from)->~F();
        },
        [](void* s) noexcept { static_cast<F*>(s)->~F(); },
    };

    template <class F>
    static constexpr Ops heapOps{
        [](void* s, Args&&... args) -> R { return (**static_cast<F**>(s))(std::forward<Args>(args)...); },
        [](void* to, void* from) noexcept { *static_cast<F**>(to) = *static_cast<F**>(from); },
        [](void* s) noexcept { delete *static_cast<F**>(s); },
    };

    void reset() noexcept {
        if (ops_) {
            // Cleared first: a callable whose destruction drops the last reference to this object's owner
            // must not see it still set.
            const Ops* ops = ops_;
            ops_ = nullptr;
            ops->destroy(storage_);
        }
    }

    alignas(void*) unsigned char storage_[kInlineSize];
    const Ops* ops_ = nullptr;
};

}  // namespace brisko::platform
