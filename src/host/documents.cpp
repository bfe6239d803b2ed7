// The host's document services: sub-storage components in file names, family
// documents, the path search, and opening a document's component.
#include "quorra/host/documents.h"

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "quorra/host/compound_file.h"
#include "quorra/host/kernel.h"
#include "quorra/host/text.h"
#include "quorra/host/trace.h"

namespace quorra::host {
namespace {

constexpr const char* kTraceSource = "SERVICES/quorra/host/documents";

constexpr char kFamilySignature[4] = {'Q', 'F', 'A', 'M'};
constexpr DWORD kMaxFamilyMembers = 4096;
// Largest "FamilyInfo" stream: header and every member at full length.
constexpr size_t kMaxFamilyInfoBytes = 16 + kMaxFamilyMembers * (2 + 2 * FAMILY_MEMBER_NAME_MAX);

constexpr wchar_t kMasterComponent[] = {L'M', L'a', L's', L't', L'e', L'r', 1, 0};

// The parsed "FamilyInfo" stream.
struct FamilyInfo {
  std::vector<std::wstring> members;
  DWORD seed = 0;
};

DWORD ReadWord(const BYTE* p) {
  return static_cast<DWORD>(p[0]) | static_cast<DWORD>(p[1]) << 8 | static_cast<DWORD>(p[2]) << 16 |
         static_cast<DWORD>(p[3]) << 24;
}

// True when `storage` holds an element of that name and type. Asked by
// enumeration, so that probing for an absent element traces nothing.
bool HasElement(IStorage* storage, const wchar_t* name, DWORD type) {
  ComPtr<IEnumSTATSTG> elements;
  if (FAILED(storage->EnumElements(0, nullptr, 0, elements.Put()))) return false;
  bool found = false;
  STATSTG stat;
  while (!found && elements->Next(1, &stat, nullptr) == S_OK) {
    found = stat.type == type && stat.pwcsName && EqualsNoCase(stat.pwcsName, name);
    CoTaskMemFree(stat.pwcsName);
  }
  return found;
}

// Reads and checks the family stream of `storage`. STG_E_FILENOTFOUND when
// there is none, STG_E_DOCFILECORRUPT when it is damaged.
HRESULT ReadFamilyInfo(IStorage* storage, FamilyInfo* info) {
  if (!HasElement(storage, FAMILY_INFO_STREAM, STGTY_STREAM)) return STG_E_FILENOTFOUND;
  ComPtr<IStream> stream;
  HRESULT hr = storage->OpenStream(FAMILY_INFO_STREAM, nullptr, STGM_READ | STGM_SHARE_EXCLUSIVE, 0, stream.Put());
  if (FAILED(hr)) return hr;
  STATSTG stat{};
  hr = stream->Stat(&stat, STATFLAG_NONAME);
  if (FAILED(hr)) return hr;
  if (stat.cbSize.QuadPart < 16 || stat.cbSize.QuadPart > kMaxFamilyInfoBytes) return STG_E_DOCFILECORRUPT;
  std::vector<BYTE> bytes(static_cast<size_t>(stat.cbSize.QuadPart));
  ULONG got = 0;
  hr = stream->Read(bytes.data(), static_cast<ULONG>(bytes.size()), &got);
  if (FAILED(hr)) return hr;
  if (got != bytes.size()) return STG_E_READFAULT;

  const BYTE* p = bytes.data();
  const BYTE* end = p + bytes.size();
  if (std::memcmp(p, kFamilySignature, 4) != 0 || ReadWord(p + 4) != FAMILY_INFO_VERSION) return STG_E_DOCFILECORRUPT;
  DWORD count = ReadWord(p + 8);
  info->seed = ReadWord(p + 12);
  if (count == 0 || count > kMaxFamilyMembers || info->seed >= count) return STG_E_DOCFILECORRUPT;
  p += 16;
  info->members.clear();
  info->members.reserve(count);
  for (DWORD i = 0; i < count; ++i) {
    if (end - p < 2) return STG_E_DOCFILECORRUPT;
    size_t units = static_cast<size_t>(p[0] | p[1] << 8);
    p += 2;
    if (units == 0 || units > FAMILY_MEMBER_NAME_MAX || static_cast<size_t>(end - p) < units * 2)
      return STG_E_DOCFILECORRUPT;
    std::u16string name(units, u'\0');
    for (size_t k = 0; k < units; ++k) name[k] = static_cast<char16_t>(p[2 * k] | p[2 * k + 1] << 8);
    p += units * 2;
    if (name.find(u'\0') != std::u16string::npos) return STG_E_DOCFILECORRUPT;
    info->members.push_back(FromUtf16(name));
  }
  return p == end ? S_OK : STG_E_DOCFILECORRUPT;
}

// --- Path search -------------------------------------------------------------

bool HasDriveLetter(std::wstring_view name) {
  return name.size() >= 2 && name[1] == L':' &&
         ((name[0] >= L'A' && name[0] <= L'Z') || (name[0] >= L'a' && name[0] <= L'z'));
}

bool IsWindowsStyle(std::wstring_view name) {
  return HasDriveLetter(name) || name.find(L'\\') != std::wstring_view::npos;
}

// A path for the file system: UTF-8 with '\' turned into '/'.
std::string ToFileSystemPath(std::wstring_view path) {
  std::string out = ToUtf8(path);
  for (char& c : out)
    if (c == '\\') c = '/';
  return out;
}

std::string JoinPath(const std::string& directory, const std::string& name) {
  if (directory.empty() || directory == ".") return name;
  std::string joined;
  joined.reserve(directory.size() + 1 + name.size());
  joined.append(directory);
  if (joined.back() != '/') joined.push_back('/');
  joined.append(name);
  return joined;
}

bool IsFile(const std::string& path) {
  struct stat info;
  return ::stat(path.c_str(), &info) == 0 && !S_ISDIR(info.st_mode);
}

// An absolute form of `path` without "." segments.
std::string MakeAbsolute(const std::string& path) {
  std::string full = path;
  if (full.empty() || full[0] != '/') {
    std::string cwd;
    std::vector<char> buffer(4096);
    if (::getcwd(buffer.data(), buffer.size())) cwd = buffer.data();
    full = cwd.empty() ? path : JoinPath(cwd, path);
  }
  std::string out;
  out.reserve(full.size());
  size_t i = 0;
  while (i < full.size()) {
    size_t next = full.find('/', i);
    if (next == std::string::npos) next = full.size();
    std::string_view segment(full.data() + i, next - i);
    if (i == 0 && segment.empty()) {
      out.push_back('/');
    } else if (!segment.empty() && segment != ".") {
      if (!out.empty() && out.back() != '/') out += '/';
      out.append(segment);
    }
    i = next + 1;
  }
  return out.empty() ? full : out;
}

std::vector<std::string> SearchDirectories(LPCWSTR path) {
  std::vector<std::string> directories;
  if (path) {
    std::wstring_view list(path);
    size_t start = 0;
    while (start <= list.size()) {
      size_t end = list.find(L';', start);
      if (end == std::wstring_view::npos) end = list.size();
      if (end > start) directories.push_back(ToFileSystemPath(list.substr(start, end - start)));
      start = end + 1;
    }
  }
  if (directories.empty()) directories.push_back(".");
  return directories;
}

// Finds the file in the directories; empty when it is not there.
std::string FindFileIn(const std::vector<std::string>& directories, std::wstring_view name) {
  std::string given = ToFileSystemPath(name);
  if (!given.empty() && given[0] == '/') {
    if (IsFile(given)) return given;
  } else if (HasDriveLetter(name)) {
    // A drive path has no meaning here; only its base name is looked for.
  } else {
    for (const std::string& directory : directories) {
      std::string candidate = JoinPath(directory, given);
      if (IsFile(candidate)) return candidate;
    }
  }
  if (IsWindowsStyle(name)) {
    std::string base = ToFileSystemPath(PathBaseName(name, true));
    if (!base.empty())
      for (const std::string& directory : directories) {
        std::string candidate = JoinPath(directory, base);
        if (IsFile(candidate)) return candidate;
      }
  }
  return {};
}

// The host's extra search directories (SetExtraSearchDirectories), set
// before loads start and read by every search.
std::mutex g_extraDirectoriesMutex;
std::vector<std::string> g_extraDirectories;

// True when the last directory of the list is the current directory.
bool EndsWithCurrentDirectory(const std::vector<std::string>& directories) {
  return !directories.empty() && (directories.back() == "." || directories.back() == "./");
}

// Finds the file; empty when it is not there.
std::string FindFile(LPCWSTR path, std::wstring_view name) {
  std::vector<std::string> directories = SearchDirectories(path);
  if (EndsWithCurrentDirectory(directories)) {
    std::lock_guard<std::mutex> lock(g_extraDirectoriesMutex);
    if (!g_extraDirectories.empty()) {
      // The extra directories come after everything the caller named; a
      // name not found as given is then looked for by its base name there.
      std::string found = FindFileIn(directories, name);
      if (!found.empty()) return found;
      std::string given = ToFileSystemPath(name);
      std::string base = ToFileSystemPath(PathBaseName(name, true));
      for (const std::string& directory : g_extraDirectories) {
        if (!given.empty() && given[0] != '/' && !HasDriveLetter(name)) {
          std::string candidate = JoinPath(directory, given);
          if (IsFile(candidate)) return candidate;
        }
        if (!base.empty()) {
          std::string candidate = JoinPath(directory, base);
          if (IsFile(candidate)) return candidate;
        }
      }
      return {};
    }
  }
  return FindFileIn(directories, name);
}

// --- A document's component ----------------------------------------------------

// A sub-storage handed out for a file name with a component: the document's
// root is held with it, so the document stays open as long as the caller
// keeps the sub-storage. Everything else goes to the sub-storage.
class ComponentStorage final : public IStorage {
 public:
  ComponentStorage(ComPtr<IStorage> root, ComPtr<IStorage> component)
      : root_(std::move(root)), component_(std::move(component)) {}

  HRESULT QueryInterface(REFIID iid, void** out) override {
    if (!out) return E_POINTER;
    if (iid == IID_IUnknown || iid == IID_IStorage) {
      *out = static_cast<IStorage*>(this);
      AddRef();
      return S_OK;
    }
    // The engine's own interfaces see the sub-storage itself.
    return component_->QueryInterface(iid, out);
  }
  ULONG AddRef() override { return ++refs_; }
  ULONG Release() override {
    ULONG left = --refs_;
    if (left == 0) delete this;
    return left;
  }

  HRESULT CreateStream(const wchar_t* name, DWORD mode, DWORD r1, DWORD r2, IStream** out) override {
    return component_->CreateStream(name, mode, r1, r2, out);
  }
  HRESULT OpenStream(const wchar_t* name, void* r1, DWORD mode, DWORD r2, IStream** out) override {
    return component_->OpenStream(name, r1, mode, r2, out);
  }
  HRESULT CreateStorage(const wchar_t* name, DWORD mode, DWORD r1, DWORD r2, IStorage** out) override {
    return component_->CreateStorage(name, mode, r1, r2, out);
  }
  HRESULT OpenStorage(const wchar_t* name, IStorage* priority, DWORD mode, SNB exclude, DWORD reserved,
                      IStorage** out) override {
    return component_->OpenStorage(name, priority, mode, exclude, reserved, out);
  }
  HRESULT CopyTo(DWORD count, const IID* iids, SNB exclude, IStorage* target) override {
    return component_->CopyTo(count, iids, exclude, target);
  }
  HRESULT MoveElementTo(const wchar_t* name, IStorage* target, const wchar_t* newName, DWORD flags) override {
    return component_->MoveElementTo(name, target, newName, flags);
  }
  HRESULT Commit(DWORD flags) override { return component_->Commit(flags); }
  HRESULT Revert() override { return component_->Revert(); }
  HRESULT EnumElements(DWORD r1, void* r2, DWORD r3, IEnumSTATSTG** out) override {
    return component_->EnumElements(r1, r2, r3, out);
  }
  HRESULT DestroyElement(const wchar_t* name) override { return component_->DestroyElement(name); }
  HRESULT RenameElement(const wchar_t* oldName, const wchar_t* newName) override {
    return component_->RenameElement(oldName, newName);
  }
  HRESULT SetElementTimes(const wchar_t* name, const FILETIME* c, const FILETIME* a, const FILETIME* m) override {
    return component_->SetElementTimes(name, c, a, m);
  }
  HRESULT SetClass(REFCLSID clsid) override { return component_->SetClass(clsid); }
  HRESULT SetStateBits(DWORD bits, DWORD mask) override { return component_->SetStateBits(bits, mask); }
  HRESULT Stat(STATSTG* stat, DWORD flags) override { return component_->Stat(stat, flags); }

 private:
  ~ComponentStorage() = default;

  std::atomic<ULONG> refs_{1};
  // Released in reverse order: the sub-storage before the document.
  ComPtr<IStorage> root_;
  ComPtr<IStorage> component_;
};

}  // namespace

void SplitSubstorageComponent(std::wstring_view fileName, std::wstring_view* file, std::wstring_view* component) {
  size_t bar = fileName.find(SUBSTORAGE_COMPONENT_SEPARATOR);
  if (bar == std::wstring_view::npos) {
    *file = fileName;
    *component = {};
    return;
  }
  *file = fileName.substr(0, bar);
  *component = fileName.substr(bar + 1);
}

bool IsMasterComponent(std::wstring_view component) { return component == std::wstring_view(kMasterComponent, 7); }

HRESULT OpenSubstorageComponent(const wchar_t* fileName, DWORD mode, SNB exclude, IStorage** out) {
  if (!out) return STG_E_INVALIDPOINTER;
  *out = nullptr;
  if (!fileName) return STG_E_INVALIDNAME;
  if ((mode & 3) != STGM_READ || (mode & STGM_CREATE)) return QUORRA_TRACE_FAIL(STG_E_INVALIDFLAG, "JStgOpenStorage");
  try {
    std::wstring_view file, component;
    SplitSubstorageComponent(fileName, &file, &component);
    std::wstring documentName(file);
    std::wstring componentName(component);
    ComPtr<IStorage> root;
    HRESULT hr = StgOpenStorage(documentName.c_str(), nullptr, mode, exclude, 0, root.Put());
    if (FAILED(hr)) return hr;
    ComPtr<IStorage> sub;
    hr = root->OpenStorage(componentName.c_str(), nullptr, STGM_READ | STGM_SHARE_EXCLUSIVE | (mode & STGM_PRIORITY),
                           nullptr, 0, sub.Put());
    if (FAILED(hr)) return QUORRA_TRACE_FAIL(hr, "JStgOpenStorage");
    *out = new ComponentStorage(std::move(root), std::move(sub));
    return S_OK;
  } catch (const std::exception&) {
    return QUORRA_TRACE_FAIL(E_OUTOFMEMORY, "JStgOpenStorage");
  }
}

HRESULT GetFamilyMembers(IStorage* storage, std::vector<std::wstring>* members, DWORD* seed) {
  if (!storage || !members) return E_POINTER;
  try {
    FamilyInfo info;
    HRESULT hr = ReadFamilyInfo(storage, &info);
    if (FAILED(hr)) return hr;
    *members = std::move(info.members);
    if (seed) *seed = info.seed;
    return S_OK;
  } catch (const std::exception&) {
    return E_OUTOFMEMORY;
  }
}

void SetExtraSearchDirectories(const std::vector<std::string>& directories) {
  std::lock_guard<std::mutex> lock(g_extraDirectoriesMutex);
  g_extraDirectories = directories;
}

}  // namespace quorra::host

using namespace quorra::host;

extern "C" HRESULT GetSubstorageComponentFromFileName(const wchar_t* fileName, wchar_t* component, DWORD capacity) {
  if (!fileName || !component) return E_POINTER;
  if (capacity == 0) return QUORRA_TRACE_FAIL(E_INVALIDARG, "GetSubstorageComponentFromFileName");
  component[0] = L'\0';
  std::wstring_view file, part;
  SplitSubstorageComponent(fileName, &file, &part);
  if (part.empty()) return S_FALSE;
  if (part.size() >= capacity) return QUORRA_TRACE_FAIL(E_INVALIDARG, "GetSubstorageComponentFromFileName");
  std::wmemcpy(component, part.data(), part.size());
  component[part.size()] = L'\0';
  return S_OK;
}

extern "C" HRESULT RemoveSubstorageComponentFromFileName(wchar_t* fileName) {
  if (!fileName) return E_POINTER;
  wchar_t* bar = std::wcschr(fileName, SUBSTORAGE_COMPONENT_SEPARATOR);
  if (!bar) return S_FALSE;
  *bar = L'\0';
  return S_OK;
}

extern "C" BOOL IsFileFamilyByStorage(IStorage* storage) {
  if (!storage) return FALSE;
  try {
    FamilyInfo info;
    return SUCCEEDED(ReadFamilyInfo(storage, &info)) ? TRUE : FALSE;
  } catch (const std::exception&) {
    return FALSE;
  }
}

extern "C" HRESULT GetFamilySeedNameByStorage(IStorage* storage, wchar_t* seedName, DWORD capacity) {
  if (!storage || !seedName) return QUORRA_TRACE_FAIL(E_POINTER, "GetFamilySeedNameByStorage");
  if (capacity == 0) return QUORRA_TRACE_FAIL(E_INVALIDARG, "GetFamilySeedNameByStorage");
  seedName[0] = L'\0';
  try {
    FamilyInfo info;
    HRESULT hr = ReadFamilyInfo(storage, &info);
    if (FAILED(hr)) return QUORRA_TRACE_FAIL(hr, "GetFamilySeedNameByStorage");
    const std::wstring& seed = info.members[info.seed];
    if (seed.size() >= capacity) return QUORRA_TRACE_FAIL(E_INVALIDARG, "GetFamilySeedNameByStorage");
    std::wmemcpy(seedName, seed.data(), seed.size());
    seedName[seed.size()] = L'\0';
    return S_OK;
  } catch (const std::exception&) {
    return QUORRA_TRACE_FAIL(E_OUTOFMEMORY, "GetFamilySeedNameByStorage");
  }
}

extern "C" DWORD SearchPathW(LPCWSTR path, LPCWSTR fileName, LPCWSTR extension, DWORD bufferLength, LPWSTR buffer,
                             LPWSTR* filePart) {
  if (filePart) *filePart = nullptr;
  if (!fileName || !*fileName || (bufferLength && !buffer)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  try {
    std::wstring_view file, component;
    SplitSubstorageComponent(fileName, &file, &component);
    std::wstring name(file);
    if (extension && *extension && PathExtension(name).empty()) name += extension;
    std::string found = name.empty() ? std::string() : FindFile(path, name);
    if (found.empty()) {
      SetLastError(ERROR_FILE_NOT_FOUND);
      return 0;
    }
    std::wstring result = FromUtf8(MakeAbsolute(found));
    size_t baseAt = result.rfind(L'/');
    baseAt = baseAt == std::wstring::npos ? 0 : baseAt + 1;
    if (!component.empty()) {
      result += SUBSTORAGE_COMPONENT_SEPARATOR;
      result += component;
    }
    if (result.size() + 1 > bufferLength) return static_cast<DWORD>(result.size() + 1);
    std::wmemcpy(buffer, result.c_str(), result.size() + 1);
    if (filePart) *filePart = buffer + baseAt;
    SetLastError(ERROR_SUCCESS);
    return static_cast<DWORD>(result.size());
  } catch (const std::exception&) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return 0;
  }
}
