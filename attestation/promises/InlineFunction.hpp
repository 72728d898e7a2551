// A move-only callable kept inline when small, on the heap otherwise: the promise library's observers
// and the tasks it submits to its queues.
#pragma once

#include <cstddef>
#include <new>
#include <type_traits>
#include <utility>

namespace brisko::promises::detail {

// A move-only callable kept inline when small (observers usually are), on the heap otherwise.
template <class Sig, std::size_t Size = 64> class InlineFunction;

template <class R, class... Args, std::size_t Size> class InlineFunction<R(Args...), Size> {
public:
    InlineFunction() = default;
    template <class F>
    requires(!std::is_same_v<std::decay_t<F>, InlineFunction>)
        InlineFunction(F&& f) {  // NOLINT: implicit like std::function
        using D = std::decay_t<F>;
        if constexpr (sizeof(D) <= Size && alignof(D) <= alignof(std::max_align_t) &&
                      std::is_nothrow_move_constructible_v<D>) {
            new (storage_) D(std::forward<F>(f));
            ops_ = &inlineOps<D>;
        } else {
            *reinterpret_cast<D**>(storage_) = new D(std::forward<F>(f));
            ops_ = &heapOps<D>;
        }
    }
    InlineFunction(InlineFunction&& other) noexcept : ops_(other.ops_) {
        if (ops_) ops_->move(other.storage_, storage_);
        other.ops_ = nullptr;
    }
    InlineFunction& operator=(InlineFunction&& other) noexcept {
        if (this != &other) {
            reset();
            ops_ = other.ops_;
            if (ops_) ops_->move(other.storage_, storage_);
            other.ops_ = nullptr;
        }
        return *this;
    }
    InlineFunction(const InlineFunction&) = delete;
    InlineFunction& operator=(const InlineFunction&) = delete;
    ~InlineFunction() { reset(); }

    R operator()(Args... args) { return ops_->call(storage_, std::forward<Args>(args)...); }
    explicit operator bool() const { return ops_ != nullptr; }

private:
    struct Ops {
        R (*call)(void*, Args&&...);
        void (*move)(void* from, void* to);
        void (*destroy)(void*);
    };
    template <class D>
    static constexpr Ops inlineOps = {
        [](void* s, Args&&... a) -> R { return (*static_cast<D*>(s))(std::forward<Args>(a)...); },
        [](void* from, void* to) {
            new (to) D(std::move(*static_cast<D*>(from)));
            static_cast<D*>(from)->~D();
        },
        [](void* s) { static_cast<D*>(s)->~D(); }};
    template <class D>
    static constexpr Ops heapOps = {
        [](void* s, Args&&... a) -> R { return (**static_cast<D**>(s))(std::forward<Args>(a)...); },
        [](void* from, void* to) { *static_cast<D**>(to) = *static_cast<D**>(from); },
        [](void* s) { delete *static_cast<D**>(s); }};

    void reset() {
        if (ops_) ops_->destroy(storage_);
        ops_ = nullptr;
    }
    alignas(std::max_align_t) unsigned char storage_[Size];
    const Ops* ops_ = nullptr;
};

}  // namespace brisko::promises::detail
