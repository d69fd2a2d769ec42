#include <string>
#include <vector>

#include "quarvelin_cli.h"

int main(int argc, char** argv) {
  return quarvelin::cli::RunCli(std::vector<std::string>(argv + 1, argv + argc));
}
