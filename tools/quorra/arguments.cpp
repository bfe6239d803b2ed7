// The text a user gives the tool: options, whole numbers and roadmaps. Kept
// apart from main() so that the fuzz target for this text links it alone.
#include <algorithm>
#include <climits>

#include "command.h"

namespace quorra::tool {

bool WantsHelp(const std::vector<std::string>& args) {
  return std::any_of(args.begin(), args.end(), [](const std::string& a) { return a == "-h" || a == "--help"; });
}

const std::string* ParsedArgs::Find(const char* name) const {
  for (const auto& [key, value] : options)
    if (key == name) return &value;
  return nullptr;
}

bool ParseArgs(const std::vector<std::string>& args, const std::vector<std::string>& valued,
               const std::vector<std::string>& flags, ParsedArgs* out, std::string* error,
               const std::vector<std::string>& optional, const std::vector<std::string>& repeatable) {
  auto listed = [](const std::vector<std::string>& names, const std::string& name) {
    return std::find(names.begin(), names.end(), name) != names.end();
  };
  bool optionsEnded = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (optionsEnded || a.empty() || a[0] != '-' || a == "-") {
      out->positional.push_back(a);
      continue;
    }
    if (a == "--") {
      optionsEnded = true;
      continue;
    }
    if (a.compare(0, 2, "--") != 0) {
      *error = "unknown option " + a;
      return false;
    }
    std::string name = a.substr(2);
    std::string value;
    bool inlineValue = false;
    if (size_t eq = name.find('='); eq != std::string::npos) {
      value = name.substr(eq + 1);
      name.resize(eq);
      inlineValue = true;
    }
    if (listed(valued, name)) {
      if (!inlineValue) {
        if (i + 1 >= args.size()) {
          *error = "option --" + name + " needs a value";
          return false;
        }
        value = args[++i];
      }
    } else if (listed(optional, name)) {
      // the value, when any, is the inline one
    } else if (listed(flags, name)) {
      if (inlineValue) {
        *error = "option --" + name + " takes no value";
        return false;
      }
    } else {
      *error = "unknown option --" + name;
      return false;
    }
    if (out->Has(name.c_str()) && !listed(repeatable, name)) {
      *error = "option --" + name + " is given more than once";
      return false;
    }
    out->options.emplace_back(name, value);
  }
  return true;
}

bool ParseUnsigned(const std::string& text, unsigned long long* out) {
  if (text.empty()) return false;
  unsigned long long v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    const unsigned digit = static_cast<unsigned>(c - '0');
    if (v > (ULLONG_MAX - digit) / 10) return false;
    v = v * 10 + digit;
  }
  *out = v;
  return true;
}

bool ParseNumberOption(const std::string& text, const char* option, unsigned long long low, unsigned long long high,
                       unsigned long long* out, std::string* error) {
  unsigned long long value = 0;
  if (!ParseUnsigned(text, &value) || value < low || value > high) {
    *error = "--" + std::string(option) + ": expected a whole number from " + std::to_string(low) + " to " +
             std::to_string(high) + ", got '" + text + "'";
    return false;
  }
  *out = value;
  return true;
}

bool ParseRoadmap(const std::string& text, std::vector<DWORD>* ids, std::string* error) {
  ids->clear();
  if (text.empty() || text == "/") return true;
  size_t start = 0;
  while (start <= text.size()) {
    const size_t slash = text.find('/', start);
    const std::string part = text.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
    unsigned long long id = 0;
    if (!ParseUnsigned(part, &id) || id > 0xFFFFFFFFull) {
      *error = "bad roadmap \"" + text + "\": \"" + part + "\" is no attachment id";
      return false;
    }
    ids->push_back(static_cast<DWORD>(id));
    if (slash == std::string::npos) break;
    start = slash + 1;
  }
  return true;
}

}  // namespace quorra::tool
