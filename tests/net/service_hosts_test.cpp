#include "net/service_hosts.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "support/scoped_env.h"

namespace {

struct HostCase {
    const char* variable;
    std::function<std::string()> host;
};

TEST(ServiceHosts, EnvironmentOverridesTheBuildDefault) {
    const HostCase cases[] = {{"CASTMILL_UPDATE_HOST", velora::st::update_host},
                              {"CASTMILL_DOWNLOAD_HOST", velora::st::download_host},
                              {"CASTMILL_LOG_HOST", velora::st::log_host},
                              {"CASTMILL_WEB_HOST", velora::st::web_host}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.variable);
        castmill::test::ScopedEnv env;
        env.set(c.variable, std::nullopt);
        const std::string fallback = c.host();
        EXPECT_EQ(fallback.rfind("https://", 0), 0u) << fallback;

        env.set(c.variable, "http://127.0.0.1:8123");
        EXPECT_EQ(c.host(), "http://127.0.0.1:8123");

        env.set(c.variable, "");
        EXPECT_EQ(c.host(), fallback);
    }
}

}  // namespace
