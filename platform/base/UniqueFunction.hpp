// A move-only type-erased callable, for handlers that own move-only state.
#pragma once

#include <memory>
#include <type_traits>
#include <utility>

namespace brisko::platform {

template <class Sig>
class UniqueFunction;

template <class R, class... Args>
class UniqueFunction<R(Args...)> {
public:
    UniqueFunction() = default;
    UniqueFunction(std::nullptr_t) {}
    template <class F>
        requires(!std::is_same_v<std::decay_t<F>, UniqueFunction> && std::is_invocable_r_v<R, F&, Args...>)
    UniqueFunction(F&& f) : impl_(std::make_unique<Model<std::decay_t<F>>>(std::forward<F>(f))) {}

    UniqueFunction(UniqueFunction&&) noexcept = default;
    UniqueFunction& operator=(UniqueFunction&&) noexcept = default;

    R operator()(Args... args) { return impl_->call(std::forward<Args>(args)...); }
    explicit operator bool() const { return static_cast<bool>(impl_); }

private:
    struct Concept {
        virtual ~Concept() = default;
        virtual R call(Args... args) = 0;
    };
    template <class F>
    struct Model final : Concept {
        explicit Model(F&& f) : f(std::move(f)) {}
        explicit Model(const F& f) : f(f) {}
        R call(Args... args) override { return f(std::forward<Args>(args)...); }
        F f;
    };
    std::unique_ptr<Concept> impl_;
};

}  // namespace brisko::platform
