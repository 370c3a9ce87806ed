// Entry point of the test programs that need a desktop: a private Xvfb display and session bus
// are started before the QApplication and end with the process.
#include "DisplaySession.h"
#include "Isolation.h"

#include <gtest/gtest.h>

#include <QApplication>

#include <memory>

namespace {
class DesktopEnvironment : public testing::Environment {
public:
    DesktopEnvironment(int& argc, char** argv) : argc_(argc), argv_(argv) {}
    void SetUp() override {
        session_ = std::make_unique<shotlark::test::DisplaySession>();
        ASSERT_TRUE(session_->start()) << "no private display";
        app_ = std::make_unique<QApplication>(argc_, argv_);
    }
    void TearDown() override {
        app_.reset();
        session_.reset();
    }

private:
    int& argc_;
    char** argv_;
    std::unique_ptr<shotlark::test::DisplaySession> session_;
    std::unique_ptr<QApplication> app_;
};
} // namespace

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    shotlark::test::installPerTestIsolation();
    testing::AddGlobalTestEnvironment(new DesktopEnvironment(argc, argv));
    return RUN_ALL_TESTS();
}
