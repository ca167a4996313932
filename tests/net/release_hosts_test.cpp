// The service hosts as a release build compiles them (CASTMILL_ENV_OVERRIDES=0): nothing in
// the environment may point a user's setup at another server or another CA.
#include <gtest/gtest.h>
#include <stdlib.h>

#include "net/service_hosts.h"

namespace {

TEST(ReleaseBuildHosts, EnvironmentRedirectsNothing) {
    ASSERT_FALSE(velora::st::environment_overrides_allowed());
    for (const char* variable : {"CASTMILL_UPDATE_HOST", "CASTMILL_DOWNLOAD_HOST",
                                 "CASTMILL_LOG_HOST", "CASTMILL_WEB_HOST", "CASTMILL_CA_BUNDLE"})
        setenv(variable, "http://127.0.0.1:8123", 1);

    EXPECT_EQ(velora::st::update_host(), CASTMILL_DEFAULT_UPDATE_HOST);
    EXPECT_EQ(velora::st::download_host(), CASTMILL_DEFAULT_DOWNLOAD_HOST);
    EXPECT_EQ(velora::st::log_host(), CASTMILL_DEFAULT_LOG_HOST);
    EXPECT_EQ(velora::st::web_host(), CASTMILL_DEFAULT_WEB_HOST);
    EXPECT_FALSE(velora::st::ca_bundle_override());
}

}  // namespace
