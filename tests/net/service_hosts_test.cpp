#include "net/service_hosts.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <string>

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
        unsetenv(c.variable);
        const std::string fallback = c.host();
        EXPECT_EQ(fallback.rfind("https://", 0), 0u) << fallback;

        setenv(c.variable, "http://127.0.0.1:8123", 1);
        EXPECT_EQ(c.host(), "http://127.0.0.1:8123");

        setenv(c.variable, "", 1);
        EXPECT_EQ(c.host(), fallback);
        unsetenv(c.variable);
    }
}

}  // namespace
