// A test suite whose tests share one throwaway domain: made once before the first
// test, removed after the last. Its tests skip where libvirt cannot be used here and
// fail where libvirt is there but does not start or the domain cannot be made.
//
//   class MySuite : public zv_test::SharedGuestSuite<MySuite> {
//   public:
//       static std::unique_ptr<zv_test::TestDomain> make_guest() { ... }
//   };
#pragma once

#include "support/libvirt_env.h"
#include "support/test_guest.h"

#include <gtest/gtest.h>

#include <exception>
#include <memory>
#include <string>

namespace zv_test {

template <class Suite>
class SharedGuestSuite : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        std::string reason;
        if (!libvirt_installed(reason)) {
            skip_reason_ = reason;
            return;
        }
        if (!ensure_libvirt(reason)) {
            failure_ = reason;
            return;
        }
        try {
            guest_ = Suite::make_guest();
        } catch (const std::exception& e) {
            failure_ = e.what();
        }
    }
    static void TearDownTestSuite() { guest_.reset(); }

    // A suite's own SetUp calls this first and returns when IsSkipped() or
    // HasFatalFailure().
    void SetUp() override {
        if (!skip_reason_.empty()) GTEST_SKIP() << skip_reason_;
        ASSERT_TRUE(guest_) << failure_;
    }

    static TestDomain& guest() { return *guest_; }

    static inline std::unique_ptr<TestDomain> guest_;
    static inline std::string skip_reason_, failure_;
};

}  // namespace zv_test
