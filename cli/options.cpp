#include "options.h"

#include <algorithm>
#include <cstdio>

#include "quarvelin_cli.h"

namespace quarvelin::cli {

bool CommandLine::Has(std::string_view name) const {
  return std::any_of(options.begin(), options.end(),
                     [name](const auto& option) { return option.first == name; });
}

std::vector<std::string> CommandLine::Values(std::string_view name) const {
  std::vector<std::string> values;
  for (const auto& [option, value] : options) {
    if (option == name) values.push_back(value);
  }
  return values;
}

ParsedCommand ParseCommand(const CommandSyntax& syntax, const std::vector<std::string>& args) {
  ParsedCommand parsed;
  const auto fail = [&parsed, &syntax](const std::string& problem) {
    parsed.outcome = ParsedCommand::Outcome::UsageError;
    parsed.error = std::string(syntax.name) + ": " + problem;
    return parsed;
  };
  bool optionsEnded = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (optionsEnded || arg.size() < 2 || arg[0] != '-') {
      parsed.line.operands.push_back(arg);
      continue;
    }
    if (arg == "--") {
      optionsEnded = true;
      continue;
    }
    if (arg == "-h" || arg == "--help") {
      parsed.outcome = ParsedCommand::Outcome::Help;
      return parsed;
    }
    const size_t equals = arg.find('=');
    const std::string_view name = std::string_view(arg).substr(0, equals);
    const auto option = std::find_if(syntax.options.begin(), syntax.options.end(),
                                     [name](const OptionSyntax& o) { return o.name == name; });
    if (option == syntax.options.end()) return fail("unknown option " + arg);
    std::string value;
    if (option->valueName.empty()) {
      if (equals != std::string::npos) return fail(std::string(name) + " takes no value");
    } else if (equals != std::string::npos) {
      value = arg.substr(equals + 1);
    } else if (i + 1 < args.size()) {
      value = args[++i];
    } else {
      return fail(arg + " needs " + std::string(option->valueName));
    }
    parsed.line.options.emplace_back(name, std::move(value));
  }
  const size_t count = parsed.line.operands.size();
  if (count < syntax.minOperands || count > syntax.maxOperands) {
    parsed.outcome = ParsedCommand::Outcome::UsageError;
    parsed.error = syntax.operandError;
  }
  return parsed;
}

int ReportUsageError(std::string_view problem, std::string_view usage) {
  std::fprintf(stderr, "quarvelin-cli: %.*s\n\n%.*s", static_cast<int>(problem.size()),
               problem.data(), static_cast<int>(usage.size()), usage.data());
  return kExitUsage;
}

std::optional<CommandLine> ParseOrReport(const CommandSyntax& syntax,
                                         const std::vector<std::string>& args, int& status) {
  ParsedCommand parsed = ParseCommand(syntax, args);
  switch (parsed.outcome) {
    case ParsedCommand::Outcome::Help:
      std::fwrite(syntax.usage.data(), 1, syntax.usage.size(), stdout);
      status = kExitSuccess;
      return std::nullopt;
    case ParsedCommand::Outcome::UsageError:
      status = ReportUsageError(parsed.error, syntax.usage);
      return std::nullopt;
    case ParsedCommand::Outcome::Run:
      break;
  }
  return std::move(parsed.line);
}

}  // namespace quarvelin::cli
