// File, item and composite monikers in their standard persisted forms
// ([MS-OLEDS]), and the object load/save pair over streams.
//
// File moniker:  u16 cAnti, u32 ansiLength (with its zero), the ANSI path and
//                its zero, u16 endServer 0xFFFF, u16 version 0xDEAD, 20 zero
//                bytes, u32 cbUnicodePathSize, and when that is not 0: u32
//                byte count, u16 key 3, the UTF-16 path without terminator.
// Item moniker:  for the delimiter and then the item: u32 byte count, the
//                ANSI text and its zero, then optionally the UTF-16 text.
// Composite:     u32 count, then each part as class id and persisted data.
#include <algorithm>
#include <atomic>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "host/cfb_format.h"
#include "host/storage_text.h"
#include "quorra/host/moniker.h"
#include "quorra/host/trace.h"

namespace quorra::host {

namespace {

constexpr const char* kTraceSource = "SERVICES/quorra/host/moniker";

// Lets monikers recognise each other, for composing and flattening.
constexpr IID IID_MonikerAccess = {0x2f6c1a90, 0x7d3e, 0x4b55, {0x8e, 0x02, 0x61, 0xc4, 0x9a, 0x1d, 0x5b, 0x37}};

// Bounds on persisted sizes, so damaged data cannot ask for huge buffers.
constexpr uint32_t kMaxTextBytes = 64 * 1024;
constexpr uint32_t kMaxParts = 4096;
constexpr int kMaxNesting = 8;

constexpr uint16_t kEndServerNone = 0xFFFF;
constexpr uint16_t kFileMonikerVersion = 0xDEAD;
constexpr uint16_t kUnicodeKey = 3;

HRESULT Traced(HRESULT hr, const char* operation) { return TraceIfFailed(hr, kTraceSource, __LINE__, operation); }

template <class Body>
HRESULT Guarded(const char* operation, Body body) {
  return RunGuarded(kTraceSource, __LINE__, operation, E_OUTOFMEMORY, body);
}

// Little-endian reads and writes on a stream; a short read is a failure.
HRESULT ReadBytes(IStream* stream, void* buffer, ULONG count) {
  ULONG got = 0;
  HRESULT hr = stream->Read(buffer, count, &got);
  if (FAILED(hr)) return hr;
  return got == count ? S_OK : STG_E_READFAULT;
}

template <class Word>
HRESULT ReadWord(IStream* stream, Word* value) {
  uint8_t bytes[sizeof(Word)];
  HRESULT hr = ReadBytes(stream, bytes, sizeof(bytes));
  if (FAILED(hr)) return hr;
  Word v = 0;
  for (size_t i = 0; i < sizeof(Word); ++i) v = static_cast<Word>(v | static_cast<Word>(bytes[i]) << (8 * i));
  *value = v;
  return S_OK;
}

class Writer {
 public:
  template <class Word>
  void Put(Word value) {
    for (size_t i = 0; i < sizeof(Word); ++i) bytes_.push_back(static_cast<uint8_t>(value >> (8 * i)));
  }
  void Put(const std::string& raw) { bytes_.insert(bytes_.end(), raw.begin(), raw.end()); }
  void PutUtf16(const std::u16string& text) {
    for (char16_t unit : text) Put<uint16_t>(unit);
  }
  void Zeros(size_t count) { bytes_.insert(bytes_.end(), count, 0); }
  HRESULT WriteTo(IStream* stream) const {
    return stream->Write(bytes_.data(), static_cast<ULONG>(bytes_.size()), nullptr);
  }
  size_t Size() const { return bytes_.size(); }

 private:
  std::vector<uint8_t> bytes_;
};

// The ANSI form of a text: ASCII as is, anything else as '?'. Whether the
// UTF-16 form must follow to keep the text whole.
std::string ToAnsi(const std::wstring& text, bool* lossy) {
  std::string out;
  *lossy = false;
  for (wchar_t c : text) {
    bool ascii = c > 0 && c < 0x80;
    out.push_back(ascii ? static_cast<char>(c) : '?');
    if (!ascii) *lossy = true;
  }
  return out;
}

// ANSI bytes read back: the Latin-1 reading of each byte.
std::wstring FromAnsi(const std::string& bytes) {
  std::wstring out;
  for (char c : bytes) out.push_back(static_cast<wchar_t>(static_cast<unsigned char>(c)));
  return out;
}

std::u16string Utf16FromBytes(const uint8_t* bytes, size_t count) {
  std::u16string out;
  for (size_t i = 0; i + 1 < count; i += 2) out.push_back(static_cast<char16_t>(bytes[i] | bytes[i + 1] << 8));
  return out;
}

wchar_t* ToTaskMemory(const std::wstring& text) {
  auto* out = static_cast<wchar_t*>(CoTaskMemAlloc((text.size() + 1) * sizeof(wchar_t)));
  if (out) std::memcpy(out, text.c_str(), (text.size() + 1) * sizeof(wchar_t));
  return out;
}

class MonikerBase : public IMoniker {
 public:
  HRESULT QueryInterface(REFIID iid, void** out) override {
    if (!out) return E_POINTER;
    if (iid == IID_IUnknown || iid == IID_IPersist || iid == IID_IPersistStream || iid == IID_IMoniker ||
        iid == IID_MonikerAccess) {
      *out = static_cast<IMoniker*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG AddRef() override { return ++refs_; }
  ULONG Release() override {
    ULONG left = --refs_;
    if (left == 0) delete this;
    return left;
  }

  HRESULT GetClassID(CLSID* clsid) override {
    if (!clsid) return E_POINTER;
    *clsid = ClassId();
    return S_OK;
  }
  HRESULT IsDirty() override { return S_FALSE; }

  HRESULT Load(IStream* stream) override {
    if (!stream) return Traced(E_POINTER, Names().load);
    HRESULT hr;
    try {
      hr = LoadAt(stream, 0);
    } catch (const std::exception&) {
      hr = E_OUTOFMEMORY;
    }
    return Traced(hr, Names().load);
  }

  HRESULT Save(IStream* stream, BOOL) override {
    if (!stream) return Traced(E_POINTER, Names().save);
    Writer out;
    HRESULT hr = Serialize(&out);
    if (SUCCEEDED(hr)) hr = out.WriteTo(stream);
    return Traced(hr, Names().save);
  }

  HRESULT GetSizeMax(ULARGE_INTEGER* size) override {
    if (!size) return E_POINTER;
    Writer out;
    HRESULT hr = Serialize(&out);
    size->QuadPart = out.Size();
    return hr;
  }

  HRESULT GetDisplayName(void*, IMoniker*, wchar_t** name) override {
    if (!name) return Traced(E_POINTER, Names().displayName);
    *name = ToTaskMemory(DisplayName());
    return *name ? S_OK : Traced(E_OUTOFMEMORY, Names().displayName);
  }

  HRESULT IsSystemMoniker(DWORD* kind) override {
    if (!kind) return E_POINTER;
    *kind = SystemKind();
    return S_OK;
  }

  virtual CLSID ClassId() const = 0;
  virtual DWORD SystemKind() const = 0;
  virtual std::wstring DisplayName() const = 0;
  // Reads the persisted data; `depth` counts enclosing composites.
  virtual HRESULT LoadAt(IStream* stream, int depth) = 0;
  virtual HRESULT Serialize(Writer* out) const = 0;

 protected:
  virtual ~MonikerBase() = default;
  // Operation names for traces.
  struct TraceNames {
    const char* load;
    const char* save;
    const char* displayName;
  };
  virtual const TraceNames& Names() const = 0;

 private:
  std::atomic<ULONG> refs_{1};
};

MonikerBase* AsOurs(IMoniker* moniker) {
  void* object = nullptr;
  if (!moniker || FAILED(moniker->QueryInterface(IID_MonikerAccess, &object))) return nullptr;
  auto* ours = static_cast<MonikerBase*>(static_cast<IMoniker*>(object));
  ours->Release();
  return ours;
}

class FileMoniker final : public MonikerBase {
 public:
  FileMoniker() = default;
  explicit FileMoniker(std::wstring path) : path_(std::move(path)) {}

  CLSID ClassId() const override { return CLSID_FileMoniker; }
  DWORD SystemKind() const override { return MKSYS_FILEMONIKER; }
  std::wstring DisplayName() const override {
    std::wstring out;
    for (int i = 0; i < antiCount_; ++i) out += L"..\\";
    return out + path_;
  }

  HRESULT LoadAt(IStream* stream, int) override {
    uint16_t antiCount, endServer, version;
    uint32_t ansiLength, unicodeSize;
    HRESULT hr = ReadWord(stream, &antiCount);
    if (SUCCEEDED(hr)) hr = ReadWord(stream, &ansiLength);
    if (FAILED(hr)) return hr;
    if (ansiLength > kMaxTextBytes) return STG_E_DOCFILECORRUPT;
    std::string ansi(ansiLength, '\0');
    hr = ReadBytes(stream, ansi.data(), ansiLength);
    if (SUCCEEDED(hr)) hr = ReadWord(stream, &endServer);
    if (SUCCEEDED(hr)) hr = ReadWord(stream, &version);
    if (FAILED(hr)) return hr;
    if (version != kFileMonikerVersion) return STG_E_DOCFILECORRUPT;
    uint8_t reserved[20];
    hr = ReadBytes(stream, reserved, sizeof(reserved));
    if (SUCCEEDED(hr)) hr = ReadWord(stream, &unicodeSize);
    if (FAILED(hr)) return hr;
    ansi.resize(std::min(ansi.size(), ansi.find('\0')));
    std::wstring path = FromAnsi(ansi);
    if (unicodeSize != 0) {
      uint32_t unicodeBytes;
      uint16_t key;
      hr = ReadWord(stream, &unicodeBytes);
      if (SUCCEEDED(hr)) hr = ReadWord(stream, &key);
      if (FAILED(hr)) return hr;
      if (unicodeBytes > kMaxTextBytes || unicodeBytes % 2 || unicodeSize != unicodeBytes + 6)
        return STG_E_DOCFILECORRUPT;
      std::vector<uint8_t> bytes(unicodeBytes);
      hr = ReadBytes(stream, bytes.data(), unicodeBytes);
      if (FAILED(hr)) return hr;
      path = storage::Utf16ToWide(Utf16FromBytes(bytes.data(), bytes.size()));
    }
    antiCount_ = antiCount;
    path_ = std::move(path);
    return S_OK;
  }

  HRESULT Serialize(Writer* out) const override {
    bool lossy;
    std::string ansi = ToAnsi(path_, &lossy);
    out->Put<uint16_t>(static_cast<uint16_t>(antiCount_));
    out->Put<uint32_t>(static_cast<uint32_t>(ansi.size() + 1));
    out->Put(ansi);
    out->Put<uint8_t>(0);
    out->Put<uint16_t>(kEndServerNone);
    out->Put<uint16_t>(kFileMonikerVersion);
    out->Zeros(20);
    if (!lossy) {
      out->Put<uint32_t>(0);
      return S_OK;
    }
    std::u16string unicode = storage::WideToUtf16(path_);
    out->Put<uint32_t>(static_cast<uint32_t>(unicode.size() * 2 + 6));
    out->Put<uint32_t>(static_cast<uint32_t>(unicode.size() * 2));
    out->Put<uint16_t>(kUnicodeKey);
    out->PutUtf16(unicode);
    return S_OK;
  }

 protected:
  const TraceNames& Names() const override {
    static constexpr TraceNames kNames{"FileMoniker::Load", "FileMoniker::Save", "FileMoniker::GetDisplayName"};
    return kNames;
  }

 private:
  int antiCount_ = 0;
  std::wstring path_;
};

class ItemMoniker final : public MonikerBase {
 public:
  ItemMoniker() = default;
  ItemMoniker(std::wstring delimiter, std::wstring item) : delimiter_(std::move(delimiter)), item_(std::move(item)) {}

  CLSID ClassId() const override { return CLSID_ItemMoniker; }
  DWORD SystemKind() const override { return MKSYS_ITEMMONIKER; }
  std::wstring DisplayName() const override { return delimiter_ + item_; }

  HRESULT LoadAt(IStream* stream, int) override {
    std::wstring delimiter, item;
    HRESULT hr = ReadText(stream, &delimiter);
    if (SUCCEEDED(hr)) hr = ReadText(stream, &item);
    if (FAILED(hr)) return hr;
    delimiter_ = std::move(delimiter);
    item_ = std::move(item);
    return S_OK;
  }

  HRESULT Serialize(Writer* out) const override {
    WriteText(out, delimiter_);
    WriteText(out, item_);
    return S_OK;
  }

 protected:
  const TraceNames& Names() const override {
    static constexpr TraceNames kNames{"ItemMoniker::Load", "ItemMoniker::Save", "ItemMoniker::GetDisplayName"};
    return kNames;
  }

 private:
  // A byte count, the ANSI text with its zero, then the UTF-16 text when
  // the ANSI form loses characters.
  static HRESULT ReadText(IStream* stream, std::wstring* text) {
    uint32_t length;
    HRESULT hr = ReadWord(stream, &length);
    if (FAILED(hr)) return hr;
    if (length > kMaxTextBytes) return STG_E_DOCFILECORRUPT;
    std::vector<uint8_t> bytes(length);
    hr = ReadBytes(stream, bytes.data(), length);
    if (FAILED(hr)) return hr;
    size_t zero = std::find(bytes.begin(), bytes.end(), 0) - bytes.begin();
    *text = FromAnsi(std::string(bytes.begin(), bytes.begin() + static_cast<ptrdiff_t>(zero)));
    size_t rest = zero < length ? length - zero - 1 : 0;
    if (rest >= 2) *text = storage::Utf16ToWide(Utf16FromBytes(bytes.data() + zero + 1, rest));
    return S_OK;
  }

  static void WriteText(Writer* out, const std::wstring& text) {
    bool lossy;
    std::string ansi = ToAnsi(text, &lossy);
    std::u16string unicode = lossy ? storage::WideToUtf16(text) : std::u16string();
    out->Put<uint32_t>(static_cast<uint32_t>(ansi.size() + 1 + unicode.size() * 2));
    out->Put(ansi);
    out->Put<uint8_t>(0);
    out->PutUtf16(unicode);
  }

  std::wstring delimiter_;
  std::wstring item_;
};

HRESULT LoadMoniker(IStream* stream, int depth, ComPtr<IMoniker>* out);

class CompositeMoniker final : public MonikerBase {
 public:
  CompositeMoniker() = default;
  explicit CompositeMoniker(std::vector<ComPtr<IMoniker>> parts) : parts_(std::move(parts)) {}

  CLSID ClassId() const override { return CLSID_CompositeMoniker; }
  DWORD SystemKind() const override { return MKSYS_GENERICCOMPOSITE; }
  std::wstring DisplayName() const override {
    std::wstring out;
    for (const auto& part : parts_) out += AsOurs(part.Get())->DisplayName();
    return out;
  }

  HRESULT LoadAt(IStream* stream, int depth) override {
    if (depth >= kMaxNesting) return STG_E_DOCFILECORRUPT;
    uint32_t count;
    HRESULT hr = ReadWord(stream, &count);
    if (FAILED(hr)) return hr;
    if (count > kMaxParts) return STG_E_DOCFILECORRUPT;
    std::vector<ComPtr<IMoniker>> parts;
    for (uint32_t i = 0; i < count; ++i) {
      ComPtr<IMoniker> part;
      hr = LoadMoniker(stream, depth + 1, &part);
      if (FAILED(hr)) return hr;
      parts.push_back(std::move(part));
    }
    parts_ = std::move(parts);
    return S_OK;
  }

  HRESULT Serialize(Writer* out) const override {
    out->Put<uint32_t>(static_cast<uint32_t>(parts_.size()));
    for (const auto& part : parts_) {
      const MonikerBase* ours = AsOurs(part.Get());
      CLSID clsid = ours->ClassId();
      uint8_t bytes[16];
      storage::StoreGuid(bytes, clsid);
      out->Put(std::string(bytes, bytes + 16));
      HRESULT hr = ours->Serialize(out);
      if (FAILED(hr)) return hr;
    }
    return S_OK;
  }

  const std::vector<ComPtr<IMoniker>>& Parts() const { return parts_; }

 protected:
  const TraceNames& Names() const override {
    static constexpr TraceNames kNames{"CompositeMoniker::Load", "CompositeMoniker::Save", "CompositeMoniker::GetDisplayName"};
    return kNames;
  }

 private:
  std::vector<ComPtr<IMoniker>> parts_;  // always ours
};

MonikerBase* NewMonikerOfClass(const CLSID& clsid) {
  if (clsid == CLSID_FileMoniker) return new (std::nothrow) FileMoniker();
  if (clsid == CLSID_ItemMoniker) return new (std::nothrow) ItemMoniker();
  if (clsid == CLSID_CompositeMoniker) return new (std::nothrow) CompositeMoniker();
  return nullptr;
}

HRESULT LoadMoniker(IStream* stream, int depth, ComPtr<IMoniker>* out) {
  CLSID clsid;
  HRESULT hr = ReadClassStm(stream, &clsid);
  if (FAILED(hr)) return hr;
  bool known = clsid == CLSID_FileMoniker || clsid == CLSID_ItemMoniker || clsid == CLSID_CompositeMoniker;
  if (!known) return REGDB_E_CLASSNOTREG;
  MonikerBase* moniker = NewMonikerOfClass(clsid);
  if (!moniker) return E_OUTOFMEMORY;
  *out = ComPtr<IMoniker>::Adopt(moniker);
  return moniker->LoadAt(stream, depth);
}

}  // namespace

}  // namespace quorra::host

using quorra::host::ComPtr;

extern "C" HRESULT ReadClassStm(IStream* stream, CLSID* clsid) {
  if (!stream || !clsid) return quorra::host::Traced(E_POINTER, "ReadClassStm");
  uint8_t bytes[16];
  HRESULT hr = quorra::host::ReadBytes(stream, bytes, sizeof(bytes));
  if (FAILED(hr)) return quorra::host::Traced(hr, "ReadClassStm");
  *clsid = quorra::host::storage::LoadGuid(bytes);
  return S_OK;
}

extern "C" HRESULT WriteClassStm(IStream* stream, REFCLSID clsid) {
  if (!stream) return quorra::host::Traced(E_POINTER, "WriteClassStm");
  uint8_t bytes[16];
  quorra::host::storage::StoreGuid(bytes, clsid);
  return quorra::host::Traced(stream->Write(bytes, sizeof(bytes), nullptr), "WriteClassStm");
}

extern "C" HRESULT OleLoadFromStream(IStream* stream, REFIID iid, void** out) {
  return quorra::host::Guarded("OleLoadFromStream", [&] {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (!stream) return E_POINTER;
    ComPtr<IMoniker> moniker;
    HRESULT hr = quorra::host::LoadMoniker(stream, 0, &moniker);
    return SUCCEEDED(hr) ? moniker->QueryInterface(iid, out) : hr;
  });
}

extern "C" HRESULT OleSaveToStream(IPersistStream* object, IStream* stream) {
  return quorra::host::Guarded("OleSaveToStream", [&] {
    if (!stream) return E_POINTER;
    // No object is saved as the null class id, as the system does.
    if (!object) return WriteClassStm(stream, GUID_NULL);
    CLSID clsid;
    HRESULT hr = object->GetClassID(&clsid);
    if (SUCCEEDED(hr)) hr = WriteClassStm(stream, clsid);
    return SUCCEEDED(hr) ? object->Save(stream, TRUE) : hr;
  });
}

extern "C" HRESULT CreateFileMoniker(const wchar_t* path, IMoniker** out) {
  return quorra::host::Guarded("CreateFileMoniker", [&] {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (!path) return E_INVALIDARG;
    *out = new quorra::host::FileMoniker(path);
    return S_OK;
  });
}

extern "C" HRESULT CreateItemMoniker(const wchar_t* delimiter, const wchar_t* item, IMoniker** out) {
  return quorra::host::Guarded("CreateItemMoniker", [&] {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (!item) return E_INVALIDARG;
    *out = new quorra::host::ItemMoniker(delimiter ? delimiter : L"", item);
    return S_OK;
  });
}

extern "C" HRESULT CreateGenericComposite(IMoniker* first, IMoniker* rest, IMoniker** out) {
  return quorra::host::Guarded("CreateGenericComposite", [&] {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (!first && !rest) return E_INVALIDARG;
    if (!first || !rest) {
      *out = first ? first : rest;
      (*out)->AddRef();
      return S_OK;
    }
    std::vector<ComPtr<IMoniker>> parts;
    for (IMoniker* side : {first, rest}) {
      quorra::host::MonikerBase* ours = quorra::host::AsOurs(side);
      if (!ours) return E_INVALIDARG;
      if (ours->SystemKind() == MKSYS_GENERICCOMPOSITE) {
        for (const auto& part : static_cast<quorra::host::CompositeMoniker*>(ours)->Parts()) parts.push_back(part);
      } else {
        parts.push_back(ComPtr<IMoniker>(side));
      }
    }
    *out = new quorra::host::CompositeMoniker(std::move(parts));
    return S_OK;
  });
}
