#pragma once

// The command-line grammar of every quarvelin-cli command:
//
//   quarvelin-cli COMMAND [ARGUMENT]...
//
//   --NAME           a flag the command knows, such as --json; giving it twice is giving it once
//   --NAME VALUE     an option the command knows that takes a value, such as --types LIST; the next
//   --NAME=VALUE     argument is the value whatever it looks like, or the text after '=' (may be
//                    empty); given twice, both values are kept in order
//   -h, --help       the command's usage on standard output, exit status 0
//   --               ends the options: every later argument is an operand, even -src.img
//   -                alone, an operand
//   other -X, --X    an unknown option
//   anything else    an operand; options and operands may come in any order
//
// Arguments are read left to right and the first that decides wins: help, or a usage error (an
// unknown option, an option without its value, a value given to a flag). The operand count is
// checked after the last argument. A usage error prints a message and the command's usage on
// standard error, exit status 2.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quarvelin::cli {

struct OptionSyntax {
  std::string_view name;       // with its dashes: "--types"
  std::string_view valueName;  // what it takes, for messages ("a list"); empty for a flag
};

// What a command accepts, and how it names its operands when their count is wrong.
struct CommandSyntax {
  std::string_view name;  // "scan"
  std::string_view usage;
  std::vector<OptionSyntax> options;
  size_t minOperands = 0;
  size_t maxOperands = 0;
  std::string_view operandError;  // "scan: expected SOURCE and OUTDIR"
};

struct CommandLine {
  std::vector<std::string> operands;
  // Every option given, in order: its name, and its value for an option that takes one.
  std::vector<std::pair<std::string, std::string>> options;

  bool Has(std::string_view name) const;
  std::vector<std::string> Values(std::string_view name) const;
};

struct ParsedCommand {
  enum class Outcome { Run, Help, UsageError };
  Outcome outcome = Outcome::Run;
  CommandLine line;
  std::string error;  // for UsageError: what was wrong, without the usage
};

// Reads `args` (the arguments after the command's name) by the grammar above.
ParsedCommand ParseCommand(const CommandSyntax& syntax, const std::vector<std::string>& args);

// Prints a usage error for `usage` on standard error; returns exit status 2.
int ReportUsageError(std::string_view problem, std::string_view usage);

// Parses, and on help or a usage error prints what it must: nothing comes back then, and `status`
// holds the exit status.
std::optional<CommandLine> ParseOrReport(const CommandSyntax& syntax,
                                         const std::vector<std::string>& args, int& status);

}  // namespace quarvelin::cli
