// Fuzz target for the text a user gives the tool: the input is split at
// zero bytes into a command line, which is parsed with the options of the
// tool's commands; every word is also read as a roadmap and as a number
// option. What is accepted must mean what it says: a roadmap's ids print
// back to the same words (leading zeros aside), a number lies within its
// limits and prints back to its digits, and a parse that fails explains
// itself.
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "command.h"

using namespace quorra::tool;

namespace {

// `text` without leading zeros (one zero stays).
std::string Canonical(const std::string& text) {
  size_t first = text.find_first_not_of('0');
  return first == std::string::npos ? (text.empty() ? text : "0") : text.substr(first);
}

void CheckRoadmap(const std::string& text) {
  std::vector<uint32_t> ids;
  std::string error;
  if (!ParseRoadmap(text, &ids, &error)) {
    if (error.empty()) std::abort();
    return;
  }
  if (text.empty() || text == "/") {
    if (!ids.empty()) std::abort();
    return;
  }
  std::string printed, canonical;
  for (size_t i = 0; i < ids.size(); ++i) printed += (i ? "/" : "") + std::to_string(ids[i]);
  size_t start = 0;
  for (;;) {
    const size_t slash = text.find('/', start);
    canonical += Canonical(text.substr(start, slash == std::string::npos ? std::string::npos : slash - start));
    if (slash == std::string::npos) break;
    canonical += '/';
    start = slash + 1;
  }
  if (printed != canonical) std::abort();
}

void CheckNumber(const std::string& text, unsigned long long low, unsigned long long high) {
  unsigned long long value = 0;
  std::string error;
  if (!ParseNumberOption(text, "n", low, high, &value, &error)) {
    if (error.rfind("--n: expected a whole number from ", 0) != 0) std::abort();
    return;
  }
  if (value < low || value > high || std::to_string(value) != Canonical(text)) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 4096) return 0;
  std::vector<std::string> args(1);
  for (size_t i = 0; i < size; ++i) {
    if (data[i] == 0)
      args.emplace_back();
    else
      args.back() += static_cast<char>(data[i]);
  }
  for (const std::string& word : args) {
    CheckRoadmap(word);
    CheckNumber(word, 0, UINT32_MAX);
    CheckNumber(word, 1, 64);
    CheckNumber(word, 0, ULLONG_MAX);
  }
  // The option sets of load and of sample.
  ParsedArgs parsed;
  std::string error;
  if (ParseArgs(args, {"search-path"}, {"threaded", "json"}, &parsed, &error, {"outline"}, {"search-path"})) {
    // Every option kept is a known one, and flags carry no value.
    for (const auto& [name, value] : parsed.options) {
      if (name != "search-path" && name != "threaded" && name != "json" && name != "outline") std::abort();
      if ((name == "threaded" || name == "json") && !value.empty()) std::abort();
    }
    if (parsed.positional.size() + parsed.options.size() > args.size()) std::abort();
  } else if (error.empty()) {
    std::abort();
  }
  ParsedArgs sample;
  error.clear();
  if (!ParseArgs(args, {"depth", "fanout", "parts", "seed", "names"}, {"gearbox", "force"}, &sample, &error) &&
      error.empty())
    std::abort();
  WantsHelp(args);
  return 0;
}
