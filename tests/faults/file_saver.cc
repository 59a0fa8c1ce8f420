// Saves the account and the world id files over and over until killed, each
// save with a new generation number, so that a kill -9 lands at any moment of
// an update. Each run goes on from the generation it finds on disk.
//
//   fault_file_saver SETTINGS_DIR
#include <iostream>
#include <string>

#include "quillpost/host/world/world.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: fault_file_saver SETTINGS_DIR\n";
    return 2;
  }
  const std::filesystem::path dir = argv[1];
  const quillpost::AccountStore store(dir / "account.json");
  // Go on from the generation on disk, so that every run moves the files on.
  long first = 0;
  if (const auto saved = store.load(); saved && saved->computer_id) first = *saved->computer_id + 1;
  for (long generation = first;; ++generation) {
    quillpost::Account account;
    // A long e-mail makes each write take more than one system call's worth
    // of data, widening the window in which a torn file could appear.
    account.email =
        "gen" + std::to_string(generation) + "-" + std::string(20000, 'x') + "@example.test";
    account.client_key = "key-" + std::to_string(generation);
    account.computer_id = generation;
    store.save(account);
    quillpost::write_file_atomically(
        dir / "world_id",
        "00000000-0000-4000-8000-" + std::to_string(100000000000 + generation) + "\n");
  }
}
