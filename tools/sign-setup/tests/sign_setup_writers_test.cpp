// sign-setup processes changing the settings at the same moment never lose each other's change.
#include "child_process.hpp"
#include "mock_module.hpp"
#include "trusted_module.hpp"

#include "korvan/app_dirs/config.hpp"

#include <gtest/gtest.h>

#include <thread>

namespace korvan::test {
namespace {

TEST(SignSetupWriters, PinAndApproveAtOnceBothStay) {
    TrustedModule trusted(mock_module_path());
    ASSERT_TRUE(trusted.ok()) << trusted.error();
    ChildRun pin;
    pin.args = {"pin", trusted.module_path()};
    trusted.add_to(pin);
    ChildRun approve;
    approve.args = {"approve", trusted.module_path()};
    trusted.add_to(approve);

    constexpr int pairs = 20;
    int lost = 0;
    for (int round = 0; round < pairs; ++round) {
        trusted.write_config(nlohmann::json::object());
        ChildResult pinned;
        ChildResult approved;
        std::thread other([&] { approved = run_child(program_path("sign-setup"), approve); });
        pinned = run_child(program_path("sign-setup"), pin);
        other.join();
        ASSERT_EQ(pinned.exit_code, 0) << pinned.err;
        ASSERT_EQ(approved.exit_code, 0) << approved.err;

        auto loaded = app_dirs::load_config(trusted.config_path());
        ASSERT_TRUE(std::holds_alternative<app_dirs::Config>(loaded));
        const app_dirs::Config& config = std::get<app_dirs::Config>(loaded);
        const bool both = config.pkcs11_module_sha256 == trusted.sha256() &&
                          config.pending_module_sha256 == trusted.sha256() &&
                          config.pending_module_token_sha256.has_value();
        lost += both ? 0 : 1;
    }
    EXPECT_EQ(lost, 0) << "of " << pairs << " pairs";
}

} // namespace
} // namespace korvan::test
