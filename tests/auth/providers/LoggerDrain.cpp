// Lets the shared logger finish its queued lines before the test process ends: they are written on the
// logger's own queue, which would otherwise still run while the process tears down its statics.
#include <doctest/doctest.h>

#include "core/UtilitiesLogger.hpp"

namespace {

struct LoggerDrain : doctest::IReporter {
    explicit LoggerDrain(const doctest::ContextOptions&) {}
    void report_query(const doctest::QueryData&) override {}
    void test_run_start() override {}
    void test_run_end(const doctest::TestRunStats&) override { brisko::core::UtilitiesLogger::waitUntilWritten(); }
    void test_case_start(const doctest::TestCaseData&) override {}
    void test_case_reenter(const doctest::TestCaseData&) override {}
    void test_case_end(const doctest::CurrentTestCaseStats&) override {}
    void test_case_exception(const doctest::TestCaseException&) override {}
    void subcase_start(const doctest::SubcaseSignature&) override {}
    void subcase_end() override {}
    void log_assert(const doctest::AssertData&) override {}
    void log_message(const doctest::MessageData&) override {}
    void test_case_skipped(const doctest::TestCaseData&) override {}
};

REGISTER_LISTENER("logger-drain", 1, LoggerDrain);

}  // namespace
