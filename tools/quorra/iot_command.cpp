// `quorra iot`: the override table an assembly document stores ("IOT" /
// "Default"), shown as text or copied into another document.
//   iot show FILE
//   iot copy SRC DST
#include <quorra/quorra.h>
#include <quorra/refhost.h>
#include <quorra/refhost/describe.h>
#include <quorra/refhost/persist_manager.h>

#include <cctype>
#include <cstdio>
#include <string>

#include "command.h"

namespace quorra::tool {
namespace {

constexpr const char* kName = "iot";

constexpr const char* kUsage =
    "usage: quorra iot show FILE\n"
    "       quorra iot copy SRC DST\n"
    "\n"
    "show  prints the override table stored in the assembly document FILE\n"
    "      (\"file|Member\" names a family member): a first line with the node\n"
    "      count, then one line per override node, depth first, children in\n"
    "      attachment-id order:\n"
    "        ROADMAP KIND props=0xP propsex=0xX [NAME=VALUE]...\n"
    "      ROADMAP is the path of attachment ids from the root, \"/\" for the\n"
    "      root; a node keyed by its member route shows the route as [text] or\n"
    "      [hex bytes]. KIND is asm or part. Each value the node sets follows\n"
    "      as NAME=VALUE: style, altstyle, docid, bodydocid, versions, route,\n"
    "      config, matrix (the translation x,y,z), status, body (pair count),\n"
    "      prevbody, variables, adaptable, adjustable, geomversion, savetime,\n"
    "      altroute, constraints, occprops (counts for lists).\n"
    "copy  writes the override table of SRC into the existing compound file\n"
    "      DST, replacing DST's table and keeping every other element.\n"
    "\n"
    "exit codes: 0 done, 1 failed, 2 wrong command line\n";

std::string Hex(DWORD value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", value);
  return text;
}

std::string RouteText(const JMemberRoute& route) {
  const BYTE* bytes = route.GetByteArray();
  DWORD length = route.GetLength();
  if (length > 0 && bytes[length - 1] == 0) --length;  // a text route's terminator
  bool printable = length > 0;
  for (DWORD i = 0; i < length && printable; ++i) printable = std::isprint(bytes[i]) && bytes[i] != ']';
  std::string text = "[";
  for (DWORD i = 0; i < length; ++i) {
    if (printable) {
      text += static_cast<char>(bytes[i]);
    } else {
      char hex[4];
      std::snprintf(hex, sizeof hex, "%02x", bytes[i]);
      text += hex;
    }
  }
  if (!printable && route.GetLength() != length) text += "00";
  return text + "]";
}

void AddValue(std::string* line, const char* name, const std::string& value) {
  *line += ' ';
  *line += name;
  *line += '=';
  *line += value;
}

std::string Describe(JIDSOverride* node, const std::string& roadmap) {
  std::string line = roadmap + (node->IsAssembly() ? " asm" : " part");
  const DWORD p = node->GetProps();
  const DWORD x = node->GetPropsEx();
  line += " props=" + Hex(p) + " propsex=" + Hex(x);
  if (p & IOT_STYLE) AddValue(&line, "style", std::to_string(node->GetStyle()));
  if (p & IOT_ALT_STYLE) AddValue(&line, "altstyle", std::to_string(node->GetAltStyle()));
  if (x & IOTX_DOC_ID) AddValue(&line, "docid", std::to_string(node->GetDocID()));
  if (x & IOTX_BODY_OVERRIDE_DOC_ID) AddValue(&line, "bodydocid", std::to_string(node->GetBodyOverrideDocID()));
  if (const auto* versions = node->GetBodyOverrideVersionData())
    AddValue(&line, "versions", std::to_string(versions->size()));
  if (const JMemberRoute* route = node->GetRoute()) AddValue(&line, "route", RouteText(*route));
  if (const auto* config = node->GetConfigSettingMap(false); config && !config->empty())
    AddValue(&line, "config", std::to_string(config->size()));
  if (const tagG4x4* m = node->GetMatrix()) {
    char text[96];
    std::snprintf(text, sizeof text, "%g,%g,%g", (*m)(0, 3), (*m)(1, 3), (*m)(2, 3));
    AddValue(&line, "matrix", text);
  }
  DWORD value = 0;
  if (node->GetSolverStatus(&value) == S_OK) AddValue(&line, "status", std::to_string(value));
  if (const JOverrideBodyData* body = node->GetBodyData())
    AddValue(&line, "body", std::to_string(body->GetVersionMap().size()));
  if (const JOverrideBodyData* previous = node->GetCurrentDocPreviousOverrideBodyData())
    AddValue(&line, "prevbody", std::to_string(previous->GetVersionMap().size()));
  quorra::IOTVariableMap variables;
  if (SUCCEEDED(node->GetVariables(&variables)) && !variables.empty())
    AddValue(&line, "variables", std::to_string(variables.size()));
  if (node->GetAdaptable(&value) == S_OK && (p & IOT_ADAPTABLE)) AddValue(&line, "adaptable", std::to_string(value));
  if (node->GetAdjustablePart(&value) == S_OK && (p & IOT_ADJUSTABLE_PART))
    AddValue(&line, "adjustable", std::to_string(value));
  if (x & IOTX_GEOM_VERSION) AddValue(&line, "geomversion", std::to_string(node->GetGeometricVersion()));
  FILETIME time{};
  if (SUCCEEDED(node->GetOwningCADSaveTime(&time)))
    AddValue(&line, "savetime", std::to_string((uint64_t{time.dwHighDateTime} << 32) | time.dwLowDateTime));
  JMemberRoute altRoute;
  if (SUCCEEDED(node->GetAltRoute(&altRoute))) AddValue(&line, "altroute", RouteText(altRoute));
  if (const auto* constraints = node->GetConstraints(false); constraints && !constraints->empty())
    AddValue(&line, "constraints", std::to_string(constraints->size()));
  if (const auto* occProps = node->GetOccurrencePropertyOverrides(false); occProps && !occProps->empty())
    AddValue(&line, "occprops", std::to_string(occProps->size()));
  return line;
}

void Collect(JIDSOverride* node, const std::string& roadmap, std::vector<std::string>* lines) {
  lines->push_back(Describe(node, roadmap.empty() ? "/" : roadmap));
  if (!node->IsAssembly()) return;
  auto* assembly = static_cast<JAsmOverride*>(node);
  for (DWORD i = 0; i < assembly->GetChildCount(); ++i) {
    JIDSOverride* child = assembly->GetChildByIndex(i);
    const JMemberRoute* route = child->GetRoute();
    const std::string step =
        child->GetAttachmentID() == 0 && route ? RouteText(*route) : std::to_string(child->GetAttachmentID());
    Collect(child, roadmap + "/" + step, lines);
  }
}

// Reads the table of `path` into `tree`; prints the failure and answers the
// exit code.
int ReadTable(const std::string& path, JIDSOverrideTree* tree) {
  const std::string problem = refhost::DescribeFileProblem(path, false);
  if (!problem.empty()) return Fail(kName, kExitFailure, "cannot read %s: %s", path.c_str(), problem.c_str());
  const HRESULT hr = refhost::LoadDocumentOverrideTable(host::FromUtf8(path).c_str(), tree);
  if (FAILED(hr))
    return Fail(kName, kExitFailure, "cannot read the override table of %s: %s", path.c_str(),
                refhost::DescribeResult(hr).c_str());
  return kExitOk;
}

int Show(const std::string& path) {
  JIDSOverrideTree tree;
  if (int code = ReadTable(path, &tree); code != kExitOk) return code;
  std::vector<std::string> lines;
  Collect(tree.GetAsmOverride(), std::string(), &lines);
  std::printf("%s: %zu override %s\n", path.c_str(), lines.size(), lines.size() == 1 ? "node" : "nodes");
  for (const std::string& line : lines) std::printf("%s\n", line.c_str());
  return kExitOk;
}

int Copy(const std::string& source, const std::string& target) {
  JIDSOverrideTree tree;
  if (int code = ReadTable(source, &tree); code != kExitOk) return code;
  const std::string problem = refhost::DescribeFileProblem(target, false);
  if (!problem.empty()) return Fail(kName, kExitFailure, "cannot write %s: %s", target.c_str(), problem.c_str());
  const HRESULT hr = refhost::SaveDocumentOverrideTable(host::FromUtf8(target).c_str(), &tree);
  if (FAILED(hr))
    return Fail(kName, kExitFailure, "cannot write %s: %s", target.c_str(), refhost::DescribeResult(hr).c_str());
  std::printf("copied the override table of %s to %s\n", source.c_str(), target.c_str());
  return kExitOk;
}

int RunIot(const std::vector<std::string>& args) {
  ParsedArgs parsed;
  std::string error;
  if (!ParseArgs(args, {}, {}, &parsed, &error)) return Fail(kName, kExitUsage, "%s", error.c_str());
  const auto& positional = parsed.positional;
  const std::string action = positional.empty() ? std::string() : positional[0];
  refhost::Install();
  if (action == "show") {
    if (positional.size() != 2) return Fail(kName, kExitUsage, "show expects one file (try quorra iot --help)");
    return Show(positional[1]);
  }
  if (action == "copy") {
    if (positional.size() != 3) return Fail(kName, kExitUsage, "copy expects SRC and DST (try quorra iot --help)");
    return Copy(positional[1], positional[2]);
  }
  return Fail(kName, kExitUsage, "expects show or copy (try quorra iot --help)");
}

const CommandRegistrar kRegistrar({kName, "show or copy an assembly document's override table", kUsage, RunIot});

}  // namespace
}  // namespace quorra::tool
