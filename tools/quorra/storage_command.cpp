// `quorra storage`: look into compound files and change single streams.
//   ls FILE             the tree of storages and streams, sizes and class ids
//   cat FILE PATH       the raw bytes of one stream to stdout
//   put FILE PATH SRC [--force]
//                       writes SRC's bytes as that stream, creating the file
//                       and storages as needed and keeping every other
//                       element; a storage at PATH is replaced only with --force
#include <quorra/quorra.h>
#include <quorra/refhost/describe.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "command.h"

namespace quorra::tool {
namespace {

using quorra::host::ComPtr;

constexpr const char* kName = "storage";
constexpr size_t kChunk = 1 << 20;
constexpr DWORD kReadMode = STGM_READ | STGM_SHARE_EXCLUSIVE;
constexpr DWORD kWriteMode = STGM_READWRITE | STGM_SHARE_EXCLUSIVE;

std::wstring FromUtf8(const std::string& text) {
  std::wstring out;
  for (size_t i = 0; i < text.size();) {
    auto b = static_cast<unsigned char>(text[i]);
    int extra = b < 0x80 ? 0 : (b >> 5) == 6 ? 1 : (b >> 4) == 14 ? 2 : (b >> 3) == 30 ? 3 : -1;
    if (extra < 0 || i + static_cast<size_t>(extra) >= text.size()) {
      out.push_back(L'\uFFFD');
      ++i;
      continue;
    }
    char32_t c = extra ? b & (0x3F >> extra) : b;
    for (int k = 1; k <= extra; ++k) c = (c << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
    out.push_back(static_cast<wchar_t>(c));
    i += static_cast<size_t>(extra) + 1;
  }
  return out;
}

// An element name for a terminal: UTF-8, control characters as \xNN.
std::string Printable(const wchar_t* name) {
  std::string out;
  for (; *name; ++name) {
    auto c = static_cast<uint32_t>(*name);
    if (c < 0x20 || c == 0x7F) {
      char escaped[8];
      std::snprintf(escaped, sizeof(escaped), "\\x%02X", static_cast<unsigned>(c));
      out += escaped;
    } else if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

// Path elements of "IOT/Default" (either slash separates).
std::vector<std::wstring> SplitPath(const std::string& path) {
  std::vector<std::wstring> parts;
  std::string part;
  for (char c : path + "/") {
    if (c == '/' || c == '\\') {
      if (!part.empty()) parts.push_back(FromUtf8(part));
      part.clear();
    } else {
      part += c;
    }
  }
  return parts;
}

int FailWith(HRESULT hr, const char* what, const std::string& subject) {
  return Fail(kName, kExitFailure, "%s %s: %s", what, subject.c_str(), refhost::DescribeResult(hr).c_str());
}

// Opening FILE failed: what is wrong with the file says more than the code.
int FailOpen(HRESULT hr, const std::string& file) {
  const std::string problem = refhost::DescribeFileProblem(file, false);
  if (!problem.empty()) return Fail(kName, kExitFailure, "cannot open %s: %s", file.c_str(), problem.c_str());
  return FailWith(hr, "cannot open", file);
}

// The type of the element `name` of `storage`: STGTY_STREAM, STGTY_STORAGE,
// or 0 when there is none.
DWORD ElementType(IStorage* storage, const std::wstring& name) {
  ComPtr<IEnumSTATSTG> elements;
  if (FAILED(storage->EnumElements(0, nullptr, 0, elements.Put()))) return 0;
  STATSTG stat;
  DWORD type = 0;
  while (type == 0 && elements->Next(1, &stat, nullptr) == S_OK) {
    if (stat.pwcsName && quorra::host::EqualsNoCase(stat.pwcsName, name.c_str())) type = stat.type;
    CoTaskMemFree(stat.pwcsName);
  }
  return type;
}

struct Line {
  int depth;
  std::string name;
  DWORD type;
  ULONGLONG size;
  CLSID clsid;
};

HRESULT CollectTree(IStorage* storage, int depth, std::vector<Line>* lines) {
  ComPtr<IEnumSTATSTG> elements;
  HRESULT hr = storage->EnumElements(0, nullptr, 0, elements.Put());
  if (FAILED(hr)) return hr;
  STATSTG stat;
  while ((hr = elements->Next(1, &stat, nullptr)) == S_OK) {
    std::wstring name = stat.pwcsName;
    CoTaskMemFree(stat.pwcsName);
    lines->push_back({depth, Printable(name.c_str()), stat.type, stat.cbSize.QuadPart, stat.clsid});
    if (stat.type != STGTY_STORAGE) continue;
    ComPtr<IStorage> child;
    hr = storage->OpenStorage(name.c_str(), nullptr, kReadMode, nullptr, 0, child.Put());
    if (SUCCEEDED(hr)) hr = CollectTree(child.Get(), depth + 1, lines);
    if (FAILED(hr)) return hr;
  }
  return SUCCEEDED(hr) ? S_OK : hr;
}

int RunList(const std::string& file) {
  ComPtr<IStorage> root;
  HRESULT hr = StgOpenStorage(FromUtf8(file).c_str(), nullptr, kReadMode, nullptr, 0, root.Put());
  if (FAILED(hr)) return FailOpen(hr, file);
  STATSTG stat;
  hr = root->Stat(&stat, STATFLAG_NONAME);
  if (FAILED(hr)) return FailWith(hr, "cannot read", file);
  std::vector<Line> lines{{0, "/", STGTY_STORAGE, 0, stat.clsid}};
  hr = CollectTree(root.Get(), 1, &lines);
  if (FAILED(hr)) return FailWith(hr, "cannot read", file);
  size_t width = 0;
  for (const Line& line : lines) width = std::max(width, line.depth * 2 + line.name.size());
  for (const Line& line : lines) {
    std::string label = std::string(static_cast<size_t>(line.depth) * 2, ' ') + line.name;
    if (line.type == STGTY_STREAM) {
      std::printf("%-*s  stream   %12llu\n", static_cast<int>(width), label.c_str(),
                  static_cast<unsigned long long>(line.size));
    } else if (line.clsid != GUID_NULL) {
      char clsid[39];
      quorra::host::FormatGuid(line.clsid, clsid);
      std::printf("%-*s  storage  %12s  %s\n", static_cast<int>(width), label.c_str(), "", clsid);
    } else {
      std::printf("%-*s  storage\n", static_cast<int>(width), label.c_str());
    }
  }
  return kExitOk;
}

// Opens the storage holding PATH's stream; with `create`, makes the missing
// storages on the way.
HRESULT OpenParent(IStorage* root, const std::vector<std::wstring>& parts, bool create, ComPtr<IStorage>* out) {
  ComPtr<IStorage> at(root);
  for (size_t i = 0; i + 1 < parts.size(); ++i) {
    ComPtr<IStorage> next;
    DWORD mode = create ? kWriteMode : kReadMode;
    HRESULT hr = at->OpenStorage(parts[i].c_str(), nullptr, mode, nullptr, 0, next.Put());
    if (hr == STG_E_FILENOTFOUND && create) hr = at->CreateStorage(parts[i].c_str(), mode, 0, 0, next.Put());
    if (FAILED(hr)) return hr;
    at = std::move(next);
  }
  *out = std::move(at);
  return S_OK;
}

int RunCat(const std::string& file, const std::string& path) {
  std::vector<std::wstring> parts = SplitPath(path);
  if (parts.empty()) return Fail(kName, kExitUsage, "empty stream path");
  ComPtr<IStorage> root, parent;
  ComPtr<IStream> stream;
  HRESULT hr = StgOpenStorage(FromUtf8(file).c_str(), nullptr, kReadMode, nullptr, 0, root.Put());
  if (FAILED(hr)) return FailOpen(hr, file);
  hr = OpenParent(root.Get(), parts, false, &parent);
  if (SUCCEEDED(hr) && ElementType(parent.Get(), parts.back()) == STGTY_STORAGE)
    return Fail(kName, kExitFailure, "%s is a storage, not a stream (quorra storage ls %s shows its elements)",
                path.c_str(), file.c_str());
  if (SUCCEEDED(hr)) hr = parent->OpenStream(parts.back().c_str(), nullptr, kReadMode, 0, stream.Put());
  if (FAILED(hr)) return FailWith(hr, "no stream", path + " in " + file);
  std::vector<char> buffer(kChunk);
  for (;;) {
    ULONG got = 0;
    hr = stream->Read(buffer.data(), static_cast<ULONG>(buffer.size()), &got);
    if (FAILED(hr)) return FailWith(hr, "cannot read", path);
    if (got == 0) break;
    if (std::fwrite(buffer.data(), 1, got, stdout) != got) return Fail(kName, kExitFailure, "cannot write to stdout");
  }
  return std::fflush(stdout) == 0 ? kExitOk : Fail(kName, kExitFailure, "cannot write to stdout");
}

int RunPut(const std::string& file, const std::string& path, const std::string& source, bool force) {
  std::vector<std::wstring> parts = SplitPath(path);
  if (parts.empty()) return Fail(kName, kExitUsage, "empty stream path");
  FILE* in = source == "-" ? stdin : std::fopen(source.c_str(), "rb");
  if (!in) {
    const std::string problem = refhost::DescribeFileProblem(source, false);
    return Fail(kName, kExitFailure, "cannot open %s: %s", source.c_str(),
                problem.empty() ? "cannot be read" : problem.c_str());
  }
  struct Closer {
    FILE* f;
    ~Closer() {
      if (f != stdin) std::fclose(f);
    }
  } closer{in};

  std::wstring name = FromUtf8(file);
  ComPtr<IStorage> root, parent;
  HRESULT hr = StgIsStorageFile(name.c_str()) == STG_E_FILENOTFOUND
                   ? StgCreateDocfile(name.c_str(), kWriteMode | STGM_TRANSACTED, 0, root.Put())
                   : StgOpenStorage(name.c_str(), nullptr, kWriteMode | STGM_TRANSACTED, nullptr, 0, root.Put());
  if (FAILED(hr)) return FailOpen(hr, file);
  ComPtr<IStream> stream;
  hr = OpenParent(root.Get(), parts, true, &parent);
  // Nothing is written before the commit: a refusal leaves FILE as it was.
  if (SUCCEEDED(hr) && !force && ElementType(parent.Get(), parts.back()) == STGTY_STORAGE)
    return Fail(kName, kExitFailure,
                "%s in %s is a storage: writing a stream there would delete it and everything in it "
                "(give --force to replace it)",
                path.c_str(), file.c_str());
  if (SUCCEEDED(hr) && force && ElementType(parent.Get(), parts.back()) == STGTY_STORAGE)
    hr = parent->DestroyElement(parts.back().c_str());
  if (SUCCEEDED(hr)) hr = parent->CreateStream(parts.back().c_str(), kWriteMode | STGM_CREATE, 0, 0, stream.Put());
  if (FAILED(hr)) return FailWith(hr, "cannot create", path);
  std::vector<char> buffer(kChunk);
  size_t got;
  while ((got = std::fread(buffer.data(), 1, buffer.size(), in)) > 0) {
    hr = stream->Write(buffer.data(), static_cast<ULONG>(got), nullptr);
    if (FAILED(hr)) return FailWith(hr, "cannot write", path);
  }
  if (std::ferror(in)) return Fail(kName, kExitFailure, "cannot read %s", source.c_str());
  hr = root->Commit(STGC_DEFAULT);
  if (FAILED(hr)) return FailWith(hr, "cannot save", file);
  return kExitOk;
}

int RunStorage(const std::vector<std::string>& args) {
  ParsedArgs parsed;
  std::string error;
  if (!ParseArgs(args, {}, {"force"}, &parsed, &error)) return Fail(kName, kExitUsage, "%s", error.c_str());
  const std::vector<std::string>& a = parsed.positional;
  const bool force = parsed.Has("force");
  if (force && (a.empty() || a[0] != "put")) return Fail(kName, kExitUsage, "--force goes with put only");
  if (a.size() == 2 && a[0] == "ls") return RunList(a[1]);
  if (a.size() == 3 && a[0] == "cat") return RunCat(a[1], a[2]);
  if (a.size() == 4 && a[0] == "put") return RunPut(a[1], a[2], a[3], force);
  return Fail(kName, kExitUsage, "expected ls FILE, cat FILE PATH or put FILE PATH SRC (see --help)");
}

const CommandRegistrar kRegistrar({kName, "list, read and write streams of compound files",
                                   "usage: quorra storage ls FILE\n"
                                   "       quorra storage cat FILE PATH\n"
                                   "       quorra storage put FILE PATH SRC [--force]\n"
                                   "\n"
                                   "ls   prints the tree of storages and streams: one line per element,\n"
                                   "     indented by nesting, with its type, a stream's size in bytes and\n"
                                   "     a storage's class id when it has one.\n"
                                   "cat  writes the raw bytes of the stream PATH (like IOT/Default) to stdout.\n"
                                   "put  writes the bytes of the file SRC (- for stdin) as the stream PATH,\n"
                                   "     creating FILE and the storages on the way as needed; every other\n"
                                   "     element of FILE is kept. When PATH names a storage, put refuses and\n"
                                   "     leaves FILE untouched; --force replaces the storage, and everything\n"
                                   "     in it, with the stream.\n",
                                   RunStorage});

}  // namespace
}  // namespace quorra::tool
