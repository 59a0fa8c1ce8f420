// The seed of a test that chooses its moments by chance: QP_TEST_SEED when it
// is set, else a fresh one. The test prints it, so that a failure can be run
// again with the same choices: QP_TEST_SEED=<seed> ctest -R <test>.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <iostream>
#include <random>
#include <stdexcept>
#include <string>

namespace quillpost::testing {

inline std::uint32_t test_seed() {
  std::uint32_t seed = 0;
  if (const char* given = std::getenv("QP_TEST_SEED"); given && *given) {
    std::size_t used = 0;
    const unsigned long value = std::stoul(given, &used);
    if (given[used] != '\0' || value > 0xffffffffUL) {
      throw std::invalid_argument(std::string("QP_TEST_SEED is not a 32-bit number: ") + given);
    }
    seed = static_cast<std::uint32_t>(value);
  } else {
    seed = std::random_device{}();
  }
  std::cout << "QP_TEST_SEED=" << seed << std::endl;
  ::testing::Test::RecordProperty("seed", std::to_string(seed));
  return seed;
}

}  // namespace quillpost::testing
