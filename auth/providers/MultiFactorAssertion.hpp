// The base of the proofs a user gives for a second factor: the factor's kind.
#pragma once

#include <string>
#include <string_view>

namespace brisko::auth {

class MultiFactorAssertion {
  public:
    virtual ~MultiFactorAssertion() = default;

    const std::string& factorID() const { return factorID_; }
    // A caller may overwrite it; enrolment chooses the road by it, sign-in by the assertion's class.
    void setFactorID(std::string factorID) { factorID_ = std::move(factorID); }

  protected:
    explicit MultiFactorAssertion(std::string_view factorID) : factorID_(factorID) {}

  private:
    std::string factorID_;
};

}  // namespace brisko::auth
