// The cost of reading a typical command line: usage text assembly, parsing and
// conversion into the command-line configuration layer.
#include <benchmark/benchmark.h>

#include <sstream>

#include "quillpost/main/layering.h"
#include "quillpost/main/runtime_config.h"

namespace {

quillpost::main::Process typical_process() {
  quillpost::main::Process process;
  process.build.version = "0.1.0";
  process.build.edition = "community";
  process.args = {"--headless",
                  "--client-key=0123456789abcdef",
                  "--settings-dir=/var/lib/quillpost",
                  "--proxy-socks5",
                  "--proxy-host=proxy.internal",
                  "--proxy-port=1080",
                  "--proxy-username=svc",
                  "--proxy-password=secret",
                  "--service-discovery-param=site=berlin",
                  "--service-discovery-param=floor=2",
                  "--max-http-redirects=3",
                  "--shutdown-on-sigint"};
  return process;
}

void BM_GetRuntimeConfig(benchmark::State& state) {
  const auto process = typical_process();
  const std::optional<std::string> location = "/etc/quillpost/client.conf";
  for (auto _ : state) {
    auto result = quillpost::main::get_runtime_config(location, process.args, process);
    benchmark::DoNotOptimize(result);
  }
}
BENCHMARK(BM_GetRuntimeConfig)->Unit(benchmark::kMicrosecond);

void BM_CombineRuntimeConfigs(benchmark::State& state) {
  const auto process = typical_process();
  const auto command_line =
      quillpost::main::get_runtime_config(std::nullopt, process.args, process).first;
  const auto defaults = quillpost::main::make_partial_runtime_config(
      {{"headless", false}, {"web_interface_port", std::int64_t{8888}}, {"ntp_check", true}});
  for (auto _ : state) {
    auto merged = quillpost::main::combine_runtime_configs(
        {{"app-default", defaults}, {"command-line", command_line}});
    benchmark::DoNotOptimize(merged);
  }
}
BENCHMARK(BM_CombineRuntimeConfigs)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
