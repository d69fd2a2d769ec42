#pragma once

#include <string>
#include <vector>

namespace quarvelin::cli {

// Exit statuses, the same for every command.
constexpr int kExitSuccess = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;
constexpr int kExitCancelled = 130;

// Runs the command line (without the program name) and returns the exit status.
int RunCli(const std::vector<std::string>& args);

}  // namespace quarvelin::cli
