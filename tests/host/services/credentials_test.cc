// The HTTP credentials check against a stub service on loopback.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>

#include "host/services/stub_service.h"
#include "quillpost/host/comms/login.h"
#include "quillpost/host/logging/logs.h"

namespace quillpost {
namespace {

using ::testing::HasSubstr;
using testing::http_response;
using ::testing::Not;
using testing::StubService;

LoginSettings settings_for(const std::string& url) {
  return LoginSettings{url, std::chrono::milliseconds(2000), std::chrono::milliseconds(5000)};
}

// Every check runs through each engine: the same requests, the same answers.
class HttpCredentialsChecker : public ::testing::TestWithParam<std::string> {
 protected:
  HttpConfig config() const {
    HttpConfig http;
    http.engine = GetParam();
    return http;
  }
};
INSTANTIATE_TEST_SUITE_P(Engines, HttpCredentialsChecker, ::testing::Values("requests", "pycurl"),
                         [](const auto& engine) { return engine.param; });

TEST_P(HttpCredentialsChecker, AcceptedCredentialsGiveTheServicesAccount) {
  StubService service(
      http_response(200, R"({"id": 5, "email": "A@example.com", "clientKey": "ck-1"})"));
  logs::Capture capture;
  // A proxy in the environment must not be used behind the configuration's back.
  ::setenv("http_proxy", "http://127.0.0.1:1", 1);
  const Account account = make_http_credentials_checker(settings_for(service.url()))
                              ->run(Credentials{"a@example.com", "pass-word"}, config());
  ::unsetenv("http_proxy");
  EXPECT_EQ(account, (Account{"A@example.com", "ck-1", std::nullopt}));
  const std::string request = service.request();
  EXPECT_THAT(request, HasSubstr("POST /v1/login"));
  EXPECT_THAT(request, HasSubstr(R"("email":"a@example.com")"));
  EXPECT_THAT(request, HasSubstr(R"("password":"pass-word")"));
  for (const auto& record : capture.records())
    EXPECT_THAT(record.text, Not(HasSubstr("pass-word")));
}

TEST_P(HttpCredentialsChecker, ARefusalCarriesTheServicesReason) {
  StubService service(http_response(401, R"({"message": "Invalid email or password."})"));
  try {
    make_http_credentials_checker(settings_for(service.url()))
        ->run(Credentials{"a@example.com", "bad"}, config());
    FAIL();
  } catch (const ProgressFailed& e) {
    EXPECT_EQ(e.gui_msg(), "Invalid email or password.");
  }
  StubService bare(http_response(403, "not json"));
  try {
    make_http_credentials_checker(settings_for(bare.url()))
        ->run(Credentials{"a@example.com", "bad"}, config());
    FAIL();
  } catch (const ProgressFailed& e) {
    EXPECT_EQ(e.gui_msg(), "Login refused (HTTP 403)");
  }
}

TEST_P(HttpCredentialsChecker, NetworkFailuresAndNonsenseAreProgressFailed) {
  std::string closed_url;
  {
    StubService gone(http_response(200, "{}"));
    closed_url = gone.url();
  }
  try {
    make_http_credentials_checker(settings_for(closed_url))->run(Credentials{"a", "b"}, config());
    FAIL();
  } catch (const ProgressFailed& e) {
    EXPECT_THAT(e.gui_msg(), HasSubstr("Could not reach the service"));
  }
  StubService no_key(http_response(200, R"({"email": "a@example.com"})"));
  EXPECT_THROW(make_http_credentials_checker(settings_for(no_key.url()))
                   ->run(Credentials{"a", "b"}, config()),
               ProgressFailed);
}

TEST(ServiceBaseUrl, TheEnvironmentForOneRunThenTheConfigurationThenTheBuild) {
  const auto environment = [](const std::string& name) -> std::optional<std::string> {
    if (name == "QUILLPOST_SERVICE_URL") return "http://127.0.0.1:8080/";
    return std::nullopt;
  };
  RuntimeConfig configured;
  configured.service_url = "https://print.example.com/api";
  struct Case {
    RuntimeConfig config;
    Getenv getenv;
    std::string url;
    std::string source;
  };
  for (const auto& c : std::vector<Case>{
           {configured, environment, "http://127.0.0.1:8080/", "QUILLPOST_SERVICE_URL"},
           {configured, Getenv{}, "https://print.example.com/api", "service_url"},
           {RuntimeConfig{}, Getenv{}, QP_SERVICE_URL, "the build"},
       }) {
    const ServiceUrl url = service_base_url(c.config, c.getenv);
    EXPECT_EQ(url.url, c.url);
    EXPECT_EQ(url.source, c.source);
  }
}

}  // namespace
}  // namespace quillpost
