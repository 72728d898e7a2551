// The sign-in screen while the browser page is open: it says so, offers to cancel, goes back after a
// cancellation without a message, and says why after any other failure.
#include <doctest/doctest.h>

#include <QTest>

#include "app/CompanionViewModel.hpp"
#include "app/views/CapsuleButton.hpp"
#include "app/views/LoginView.hpp"
#include "signin/SignInError.hpp"
#include "tests/app/AppTestSupport.hpp"

using namespace brisko::app;
using namespace brisko::app::test;
namespace platform = brisko::platform;

namespace {

// The Ezevar sign-in as the app sees it, reporting its progress like the real adapter.
struct ProgressReportingEzevar : FakeEzevarSignIn {
    ProgressHandler handler;
    int cancels = 0;
    void setProgressHandler(ProgressHandler h) override { handler = std::move(h); }
    bool cancelSignIn() override {
        ++cancels;
        if (handler)
            handler(false, brisko::signin::signInError(brisko::signin::SignInErrorCode::canceled,
                                                       std::string(brisko::signin::kUserCanceledDescription)));
        return true;
    }
};

struct LoginFixture {
    RecorderFixture f;
    std::shared_ptr<ProgressReportingEzevar> ezevar = std::make_shared<ProgressReportingEzevar>();
    std::shared_ptr<AccessibilityPermissionMonitor> monitor = AccessibilityPermissionMonitor::make({
        [] { return true; },
        [] {},
        [](std::string_view) { return true; },
    });
    std::shared_ptr<AuthService> auth = AuthService::make(AuthService::Dependencies{
        .identity = f.identity,
        .ezevar = ezevar,
        .session = f.session,
        .apiBaseURL = f.service.baseURL(),
        .optionsFilePath = [] { return std::optional<std::string>(); },
        .computerName = [] { return std::string("Test Machine"); },
    });
    std::unique_ptr<CompanionViewModel> vm;
    LoginFixture() {
        qtApp();
        vm = std::make_unique<CompanionViewModel>(monitor, f.recorder, auth);
    }
};

}  // namespace

TEST_CASE("the sign-in screen waits for the browser, cancels, and returns without a message") {
    LoginFixture fixture;
    {
        LoginView view(fixture.vm.get());
        view.show();
        REQUIRE(fixture.ezevar->handler);
        CHECK(view.statusText() == QString::fromUtf8("利用するにはログインが必要です"));

        fixture.ezevar->handler(true, std::nullopt);
        CHECK(view.isWaitingForBrowser());
        CHECK(view.statusText() == QString::fromUtf8("ブラウザで Ezevar にログインしてください"));
        CHECK(view.cancelButton()->isVisible());
        CHECK_FALSE(view.signInButton()->isVisible());

        QTest::mouseClick(view.cancelButton(), Qt::LeftButton);
        CHECK(fixture.ezevar->cancels == 1);
        CHECK_FALSE(view.isWaitingForBrowser());
        CHECK(view.signInButton()->isVisible());
        CHECK(view.statusText() == QString::fromUtf8("利用するにはログインが必要です"));

        fixture.ezevar->handler(true, std::nullopt);
        fixture.ezevar->handler(
            false, platform::Error("org.oauthclient.general", -10,
                                   {{std::string(platform::kLocalizedDescriptionKey), "Unable to open the browser."}}));
        CHECK(view.statusText() == QString::fromUtf8("ログインできませんでした: Unable to open the browser."));
    }
    // A screen that is gone is not told any more.
    CHECK_FALSE(fixture.ezevar->handler);
}
