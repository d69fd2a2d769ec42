#pragma once

#include <string>

namespace quarvelin {

// A "name=value" option as the start exports take them, split at its first '='.
struct WorkOption {
  std::string name;
  std::string value;

  explicit WorkOption(const std::string& text)
      : name(text.substr(0, text.find('='))),
        value(text.find('=') == std::string::npos ? "" : text.substr(text.find('=') + 1)) {}

  // Sets `to` from yes/on/true or no/off/false; otherwise the error text, naming the option as
  // `kind` ("Scan option", "Imaging option") calls it.
  std::string Flag(const char* kind, bool& to) const {
    if (value == "yes" || value == "on" || value == "true") {
      to = true;
    } else if (value == "no" || value == "off" || value == "false") {
      to = false;
    } else {
      return std::string(kind) + " " + name + " takes yes or no, not '" + value + "'";
    }
    return "";
  }
};

}  // namespace quarvelin
