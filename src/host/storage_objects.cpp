// IStorage, IStream and IEnumSTATSTG objects over the element tree. The same
// objects serve memory storages, memory streams and open compound files.
#include <algorithm>
#include <atomic>
#include <cstring>
#include <new>

#include "host/cfb_format.h"
#include "host/fault_injection.h"
#include "host/storage_model.h"
#include "host/storage_text.h"
#include "quorra/host/trace.h"

namespace quorra::host::storage {

namespace {

constexpr const char* kTraceSource = "SERVICES/quorra/host/storage";

// Lets our objects recognise each other behind an IStorage pointer.
constexpr IID IID_ElementAccess = {0x5e1b7a52, 0x3c0d, 0x4a8f, {0x9b, 0x61, 0x2f, 0x47, 0xd8, 0x0e, 0xa3, 0x15}};

// Reads of file-backed streams smaller than this go through a per-object
// buffer, so field-by-field readers do not cost a system call each.
constexpr size_t kReadCacheSize = 32 * 1024;
constexpr size_t kCopyChunk = 1 << 20;

bool CanRead(DWORD mode) { return (mode & 3) != STGM_WRITE; }
bool CanWrite(DWORD mode) { return (mode & 3) != STGM_READ; }

HRESULT Traced(HRESULT hr, const char* operation) { return TraceIfFailed(hr, kTraceSource, __LINE__, operation); }

template <class Body>
HRESULT Guarded(const char* operation, Body body) {
  return RunGuarded(kTraceSource, __LINE__, operation, STG_E_INSUFFICIENTMEMORY, body);
}

wchar_t* CopyToTaskMemory(const std::wstring& text) {
  auto* out = static_cast<wchar_t*>(CoTaskMemAlloc((text.size() + 1) * sizeof(wchar_t)));
  if (out) std::memcpy(out, text.c_str(), (text.size() + 1) * sizeof(wchar_t));
  return out;
}

// What STATSTG reports for an element, kept apart from the node so that
// enumerators hold a snapshot.
struct ElementSummary {
  std::u16string name;
  DWORD type;
  uint64_t size;
  CLSID clsid;
  DWORD stateBits;
  FILETIME ctime;
  FILETIME mtime;

  static ElementSummary Of(const ElementNode& node) {
    return {node.name,      node.type,  node.type == STGTY_STREAM ? node.content.Size() : 0, node.clsid,
            node.stateBits, node.ctime, node.mtime};
  }
};

HRESULT FillStat(const ElementSummary& element, const std::wstring* nameOverride, DWORD mode, DWORD flags,
                 STATSTG* out) {
  std::memset(out, 0, sizeof(*out));
  if (flags != STATFLAG_DEFAULT && flags != STATFLAG_NONAME) return STG_E_INVALIDFLAG;
  if (flags == STATFLAG_DEFAULT && (nameOverride || !element.name.empty())) {
    out->pwcsName = CopyToTaskMemory(nameOverride ? *nameOverride : Utf16ToWide(element.name));
    if (!out->pwcsName) return STG_E_INSUFFICIENTMEMORY;
  }
  out->type = element.type;
  out->cbSize.QuadPart = element.size;
  out->mtime = element.mtime;
  out->ctime = element.ctime;
  out->grfMode = mode;
  out->clsid = element.clsid;
  out->grfStateBits = element.stateBits;
  return S_OK;
}

// True when `candidate` is `top` or lies below it.
bool IsWithin(const ElementNode& top, const ElementNode* candidate) {
  std::vector<const ElementNode*> pending{&top};
  while (!pending.empty()) {
    const ElementNode* n = pending.back();
    pending.pop_back();
    if (n == candidate) return true;
    for (const auto& c : n->children) pending.push_back(c.get());
  }
  return false;
}

template <class Interface>
class ComObject : public Interface {
 public:
  ULONG AddRef() override { return ++refs_; }
  ULONG Release() override {
    ULONG left = --refs_;
    if (left == 0) {
      OnFinalRelease();
      delete this;
    }
    return left;
  }

 protected:
  virtual ~ComObject() = default;
  virtual void OnFinalRelease() {}

 private:
  std::atomic<ULONG> refs_{1};
};

class ElementEnumerator final : public ComObject<IEnumSTATSTG> {
 public:
  explicit ElementEnumerator(std::shared_ptr<const std::vector<ElementSummary>> elements, size_t next = 0)
      : elements_(std::move(elements)), next_(next) {}

  HRESULT QueryInterface(REFIID iid, void** out) override {
    if (!out) return E_POINTER;
    if (iid == IID_IUnknown || iid == IID_IEnumSTATSTG) {
      *out = static_cast<IEnumSTATSTG*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }

  HRESULT Next(ULONG count, STATSTG* elements, ULONG* fetched) override {
    if (fetched) *fetched = 0;
    if (!elements || (!fetched && count != 1)) return Traced(STG_E_INVALIDPOINTER, "EnumSTATSTG::Next");
    ULONG done = 0;
    HRESULT hr = Guarded("EnumSTATSTG::Next", [&] {
      for (; done < count && next_ < elements_->size(); ++done, ++next_) {
        HRESULT filled = FillStat((*elements_)[next_], nullptr, 0, STATFLAG_DEFAULT, &elements[done]);
        if (FAILED(filled)) return filled;
      }
      return S_OK;
    });
    if (FAILED(hr)) {
      for (ULONG i = 0; i < done; ++i) CoTaskMemFree(elements[i].pwcsName);
      return hr;
    }
    if (fetched) *fetched = done;
    return done == count ? S_OK : S_FALSE;
  }

  HRESULT Skip(ULONG count) override {
    size_t left = elements_->size() - next_;
    next_ += std::min<size_t>(count, left);
    return count <= left ? S_OK : S_FALSE;
  }

  HRESULT Reset() override {
    next_ = 0;
    return S_OK;
  }

  HRESULT Clone(IEnumSTATSTG** out) override {
    if (!out) return Traced(STG_E_INVALIDPOINTER, "EnumSTATSTG::Clone");
    *out = new (std::nothrow) ElementEnumerator(elements_, next_);
    return *out ? S_OK : Traced(STG_E_INSUFFICIENTMEMORY, "EnumSTATSTG::Clone");
  }

 private:
  std::shared_ptr<const std::vector<ElementSummary>> elements_;
  size_t next_;
};

class StreamObject final : public ComObject<IStream> {
 public:
  StreamObject(std::shared_ptr<Document> document, std::shared_ptr<ElementNode> node, DWORD mode)
      : document_(std::move(document)), node_(std::move(node)), mode_(mode) {}

  HRESULT QueryInterface(REFIID iid, void** out) override {
    if (!out) return E_POINTER;
    if (iid == IID_IUnknown || iid == IID_ISequentialStream || iid == IID_IStream) {
      *out = static_cast<IStream*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }

  HRESULT Read(void* buffer, ULONG count, ULONG* read) override {
    if (read) *read = 0;
    return Guarded("Stream::Read", [&] { return DoRead(buffer, count, read); });
  }

  HRESULT Write(const void* data, ULONG count, ULONG* written) override {
    if (written) *written = 0;
    return Guarded("Stream::Write", [&] { return DoWrite(data, count, written); });
  }

  HRESULT Seek(LARGE_INTEGER move, DWORD origin, ULARGE_INTEGER* newPosition) override {
    return Guarded("Stream::Seek", [&] { return DoSeek(move.QuadPart, origin, newPosition); });
  }

  HRESULT SetSize(ULARGE_INTEGER newSize) override {
    HRESULT hr = CheckUsable();
    if (SUCCEEDED(hr) && !CanWrite(mode_)) hr = STG_E_ACCESSDENIED;
    if (SUCCEEDED(hr) && document_ && newSize.QuadPart > kMaxStreamSize) hr = STG_E_MEDIUMFULL;
    if (SUCCEEDED(hr)) hr = node_->content.SetSize(newSize.QuadPart);
    if (SUCCEEDED(hr)) MarkDirty();
    return Traced(hr, "Stream::SetSize");
  }

  HRESULT CopyTo(IStream* target, ULARGE_INTEGER count, ULARGE_INTEGER* read, ULARGE_INTEGER* written) override {
    if (read) read->QuadPart = 0;
    if (written) written->QuadPart = 0;
    return Guarded("Stream::CopyTo", [&] { return DoCopyTo(target, count.QuadPart, read, written); });
  }

  HRESULT Commit(DWORD) override { return Traced(CheckUsable(), "Stream::Commit"); }
  HRESULT Revert() override { return Traced(CheckUsable(), "Stream::Revert"); }
  HRESULT LockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override {
    return Traced(STG_E_INVALIDFUNCTION, "Stream::LockRegion");
  }
  HRESULT UnlockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override {
    return Traced(STG_E_INVALIDFUNCTION, "Stream::UnlockRegion");
  }

  HRESULT Stat(STATSTG* stat, DWORD flags) override {
    return Guarded("Stream::Stat", [&] {
      if (!stat) return STG_E_INVALIDPOINTER;
      HRESULT hr = CheckUsable();
      return SUCCEEDED(hr) ? FillStat(ElementSummary::Of(*node_), nullptr, mode_, flags, stat) : hr;
    });
  }

  HRESULT Clone(IStream** out) override {
    if (!out) return Traced(STG_E_INVALIDPOINTER, "Stream::Clone");
    *out = nullptr;
    HRESULT hr = CheckUsable();
    if (FAILED(hr)) return Traced(hr, "Stream::Clone");
    auto* clone = new (std::nothrow) StreamObject(document_, node_, mode_);
    if (!clone) return Traced(STG_E_INSUFFICIENTMEMORY, "Stream::Clone");
    clone->position_ = position_;
    *out = clone;
    return S_OK;
  }

 private:
  HRESULT CheckUsable() const {
    return (node_->detached || (document_ && document_->closed)) ? STG_E_REVERTED : S_OK;
  }

  void MarkDirty() {
    if (document_) document_->MarkDirty();
  }

  bool CacheHolds(uint64_t position) const {
    return cacheGeneration_ == node_->content.Generation() && position >= cacheStart_ &&
           position - cacheStart_ < cacheLength_;
  }

  HRESULT DoRead(void* buffer, ULONG count, ULONG* read) {
    if (!buffer) return STG_E_INVALIDPOINTER;
    HRESULT hr = CheckUsable();
    if (FAILED(hr)) return hr;
    if (!CanRead(mode_)) return STG_E_ACCESSDENIED;
    // An injected short read hands back half of what was asked for.
    if (quorra::StorageCallFails() &&
        (quorra::ArmedStorageFault() != quorra::StorageFault::kShortRead || (count /= 2) == 0))
      return STG_E_READFAULT;
    const StreamContent& content = node_->content;
    if (position_ >= content.Size() || count == 0) return S_OK;
    size_t want = static_cast<size_t>(std::min<uint64_t>(count, content.Size() - position_));
    size_t got = 0;
    if (content.InMemory() || want >= kReadCacheSize) {
      hr = content.ReadAt(position_, buffer, want, &got);
      if (FAILED(hr)) return hr;
    } else {
      auto* out = static_cast<uint8_t*>(buffer);
      while (got < want) {
        uint64_t at = position_ + got;
        if (!CacheHolds(at)) {
          if (cache_.empty()) cache_.resize(kReadCacheSize);
          size_t filled = 0;
          hr = content.ReadAt(at, cache_.data(), cache_.size(), &filled);
          if (FAILED(hr)) return hr;
          cacheStart_ = at;
          cacheLength_ = filled;
          cacheGeneration_ = content.Generation();
        }
        size_t take = static_cast<size_t>(std::min<uint64_t>(cacheStart_ + cacheLength_ - at, want - got));
        std::memcpy(out + got, cache_.data() + (at - cacheStart_), take);
        got += take;
      }
    }
    position_ += got;
    if (read) *read = static_cast<ULONG>(got);
    return S_OK;
  }

  HRESULT DoWrite(const void* data, ULONG count, ULONG* written) {
    if (!data) return STG_E_INVALIDPOINTER;
    HRESULT hr = CheckUsable();
    if (FAILED(hr)) return hr;
    if (!CanWrite(mode_)) return STG_E_ACCESSDENIED;
    if (quorra::StorageCallFails()) return STG_E_WRITEFAULT;
    if (document_ && (position_ > kMaxStreamSize || count > kMaxStreamSize - position_)) return STG_E_MEDIUMFULL;
    hr = node_->content.WriteAt(position_, data, count);
    if (FAILED(hr)) return hr;
    position_ += count;
    if (written) *written = count;
    MarkDirty();
    return S_OK;
  }

  HRESULT DoSeek(int64_t move, DWORD origin, ULARGE_INTEGER* newPosition) {
    HRESULT hr = CheckUsable();
    if (FAILED(hr)) return hr;
    uint64_t base;
    switch (origin) {
      case STREAM_SEEK_SET: base = 0; break;
      case STREAM_SEEK_CUR: base = position_; break;
      case STREAM_SEEK_END: base = node_->content.Size(); break;
      default: return STG_E_INVALIDFUNCTION;
    }
    if (base > static_cast<uint64_t>(INT64_MAX)) return STG_E_INVALIDFUNCTION;
    int64_t target;
    if (__builtin_add_overflow(static_cast<int64_t>(base), move, &target) || target < 0) return STG_E_INVALIDFUNCTION;
    position_ = static_cast<uint64_t>(target);
    if (newPosition) newPosition->QuadPart = position_;
    return S_OK;
  }

  HRESULT DoCopyTo(IStream* target, uint64_t count, ULARGE_INTEGER* read, ULARGE_INTEGER* written) {
    if (!target) return STG_E_INVALIDPOINTER;
    HRESULT hr = CheckUsable();
    if (FAILED(hr)) return hr;
    if (!CanRead(mode_)) return STG_E_ACCESSDENIED;
    const StreamContent& content = node_->content;
    uint64_t left = position_ < content.Size() ? std::min(count, content.Size() - position_) : 0;
    std::vector<uint8_t> buffer(static_cast<size_t>(std::min<uint64_t>(left, kCopyChunk)));
    uint64_t totalRead = 0, totalWritten = 0;
    while (left > 0) {
      size_t got = 0;
      hr = content.ReadAt(position_, buffer.data(), static_cast<size_t>(std::min<uint64_t>(left, buffer.size())), &got);
      if (FAILED(hr) || got == 0) break;
      position_ += got;
      totalRead += got;
      left -= got;
      ULONG put = 0;
      hr = target->Write(buffer.data(), static_cast<ULONG>(got), &put);
      totalWritten += put;
      if (FAILED(hr) || put < got) break;
    }
    if (read) read->QuadPart = totalRead;
    if (written) written->QuadPart = totalWritten;
    return FAILED(hr) ? hr : S_OK;
  }

  std::shared_ptr<Document> document_;
  std::shared_ptr<ElementNode> node_;
  DWORD mode_;
  uint64_t position_ = 0;
  std::vector<uint8_t> cache_;
  uint64_t cacheStart_ = 0;
  size_t cacheLength_ = 0;
  uint64_t cacheGeneration_ = ~0ull;
};

class StorageObject final : public ComObject<IStorage> {
 public:
  StorageObject(std::shared_ptr<Document> document, std::shared_ptr<ElementNode> node, DWORD mode, bool isRoot)
      : document_(std::move(document)), node_(std::move(node)), mode_(mode), isRoot_(isRoot) {}

  // The element this object stands for; the root follows reverts.
  const std::shared_ptr<ElementNode>& NodePtr() const { return isRoot_ ? document_->root : node_; }

  HRESULT QueryInterface(REFIID iid, void** out) override {
    if (!out) return E_POINTER;
    if (iid == IID_IUnknown || iid == IID_IStorage || iid == IID_ElementAccess) {
      *out = static_cast<IStorage*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }

  HRESULT CreateStream(const wchar_t* name, DWORD mode, DWORD reserved1, DWORD reserved2, IStream** out) override {
    if (out) *out = nullptr;
    return Guarded("Storage::CreateStream", [&] { return DoCreateStream(name, mode, reserved1, reserved2, out); });
  }

  HRESULT OpenStream(const wchar_t* name, void* reserved1, DWORD mode, DWORD reserved2, IStream** out) override {
    if (out) *out = nullptr;
    return Guarded("Storage::OpenStream", [&] { return DoOpenStream(name, reserved1, mode, reserved2, out); });
  }

  HRESULT CreateStorage(const wchar_t* name, DWORD mode, DWORD reserved1, DWORD reserved2, IStorage** out) override {
    if (out) *out = nullptr;
    return Guarded("Storage::CreateStorage", [&] { return DoCreateStorage(name, mode, reserved1, reserved2, out); });
  }

  HRESULT OpenStorage(const wchar_t* name, IStorage*, DWORD mode, SNB, DWORD reserved, IStorage** out) override {
    if (out) *out = nullptr;
    return Guarded("Storage::OpenStorage", [&] { return DoOpenStorage(name, mode, reserved, out); });
  }

  HRESULT CopyTo(DWORD excludeCount, const IID* excludeIids, SNB exclude, IStorage* target) override {
    return Guarded("Storage::CopyTo", [&] { return DoCopyTo(excludeCount, excludeIids, exclude, target); });
  }

  HRESULT MoveElementTo(const wchar_t* name, IStorage* target, const wchar_t* newName, DWORD flags) override {
    return Guarded("Storage::MoveElementTo", [&] { return DoMoveElementTo(name, target, newName, flags); });
  }

  HRESULT Commit(DWORD flags) override {
    return Guarded("Storage::Commit", [&] {
      HRESULT hr = CheckUsable();
      return SUCCEEDED(hr) && isRoot_ ? document_->Commit(flags) : hr;
    });
  }

  HRESULT Revert() override {
    return Guarded("Storage::Revert", [&] {
      HRESULT hr = CheckUsable();
      return SUCCEEDED(hr) && isRoot_ && document_->Transacted() ? document_->Revert() : hr;
    });
  }

  HRESULT EnumElements(DWORD reserved1, void* reserved2, DWORD reserved3, IEnumSTATSTG** out) override {
    if (out) *out = nullptr;
    return Guarded("Storage::EnumElements", [&] { return DoEnumElements(reserved1, reserved2, reserved3, out); });
  }

  HRESULT DestroyElement(const wchar_t* name) override {
    return Guarded("Storage::DestroyElement", [&] { return DoDestroyElement(name); });
  }

  HRESULT RenameElement(const wchar_t* oldName, const wchar_t* newName) override {
    return Guarded("Storage::RenameElement", [&] { return DoRenameElement(oldName, newName); });
  }

  HRESULT SetElementTimes(const wchar_t* name, const FILETIME* ctime, const FILETIME*,
                          const FILETIME* mtime) override {
    return Guarded("Storage::SetElementTimes", [&] {
      ElementNode* element = NodePtr().get();
      HRESULT hr = CheckWritable();
      if (SUCCEEDED(hr) && name) hr = FindElement(name, &element);
      if (FAILED(hr)) return hr;
      if (ctime) element->ctime = *ctime;
      if (mtime) element->mtime = *mtime;
      document_->MarkDirty();
      return S_OK;
    });
  }

  HRESULT SetClass(REFCLSID clsid) override {
    HRESULT hr = CheckWritable();
    if (SUCCEEDED(hr)) {
      NodePtr()->clsid = clsid;
      document_->MarkDirty();
    }
    return Traced(hr, "Storage::SetClass");
  }

  HRESULT SetStateBits(DWORD bits, DWORD mask) override {
    HRESULT hr = CheckWritable();
    if (SUCCEEDED(hr)) {
      ElementNode& node = *NodePtr();
      node.stateBits = (node.stateBits & ~mask) | (bits & mask);
      document_->MarkDirty();
    }
    return Traced(hr, "Storage::SetStateBits");
  }

  HRESULT Stat(STATSTG* stat, DWORD flags) override {
    return Guarded("Storage::Stat", [&] {
      if (!stat) return STG_E_INVALIDPOINTER;
      HRESULT hr = CheckUsable();
      if (FAILED(hr)) return hr;
      // The root of a file reports the file's path, as the system does.
      bool named = isRoot_ && !document_->displayPath.empty();
      return FillStat(ElementSummary::Of(*NodePtr()), named ? &document_->displayPath : nullptr, mode_, flags, stat);
    });
  }

 protected:
  void OnFinalRelease() override {
    if (isRoot_) document_->Close();
  }

 private:
  HRESULT CheckUsable() const { return (document_->closed || NodePtr()->detached) ? STG_E_REVERTED : S_OK; }

  HRESULT CheckWritable() const {
    HRESULT hr = CheckUsable();
    if (SUCCEEDED(hr) && !CanWrite(mode_)) hr = STG_E_ACCESSDENIED;
    return hr;
  }

  // A child's requested access must fit within this storage's access.
  HRESULT CheckChildAccess(DWORD mode) const {
    if ((CanWrite(mode) && !CanWrite(mode_)) || (CanRead(mode) && !CanRead(mode_))) return STG_E_ACCESSDENIED;
    return S_OK;
  }

  HRESULT FindElement(const wchar_t* name, ElementNode** out) const {
    std::u16string key;
    HRESULT hr = ConvertElementName(name, false, &key);
    if (FAILED(hr)) return hr;
    ptrdiff_t at = NodePtr()->FindChild(key);
    if (at < 0) return STG_E_FILENOTFOUND;
    *out = NodePtr()->children[static_cast<size_t>(at)].get();
    return S_OK;
  }

  // Shared front half of the four create/open calls.
  HRESULT PrepareChild(const wchar_t* name, DWORD mode, bool create, bool reservedOk, IUnknown** out,
                       std::u16string* key) const {
    if (!out) return STG_E_INVALIDPOINTER;
    HRESULT hr = CheckUsable();
    if (FAILED(hr)) return hr;
    if (!reservedOk) return STG_E_INVALIDPARAMETER;
    hr = ValidateMode(mode, create);
    if (FAILED(hr)) return hr;
    if (create && !CanWrite(mode_)) return STG_E_ACCESSDENIED;
    hr = CheckChildAccess(mode);
    if (FAILED(hr)) return hr;
    return ConvertElementName(name, create, key);
  }

  // Makes room for a new element: an existing one is replaced only with
  // STGM_CREATE.
  HRESULT AddChild(const std::u16string& key, DWORD type, DWORD mode, std::shared_ptr<ElementNode>* out) {
    ElementNode& parent = *NodePtr();
    ptrdiff_t at = parent.FindChild(key);
    if (at >= 0 && !(mode & STGM_CREATE)) return STG_E_FILEALREADYEXISTS;
    try {
      auto node = std::make_shared<ElementNode>();
      node->name = key;
      node->type = type;
      if (type == STGTY_STORAGE) node->ctime = node->mtime = CurrentFileTime();
      if (at >= 0) {
        DetachTree(*parent.children[static_cast<size_t>(at)]);
        parent.children.erase(parent.children.begin() + at);
      }
      parent.InsertChild(node);
      *out = std::move(node);
    } catch (const std::exception&) {
      return STG_E_INSUFFICIENTMEMORY;
    }
    document_->MarkDirty();
    return S_OK;
  }

  HRESULT DoCreateStream(const wchar_t* name, DWORD mode, DWORD reserved1, DWORD reserved2, IStream** out) {
    std::u16string key;
    HRESULT hr =
        PrepareChild(name, mode, true, reserved1 == 0 && reserved2 == 0, reinterpret_cast<IUnknown**>(out), &key);
    if (FAILED(hr)) return hr;
    std::shared_ptr<ElementNode> node;
    hr = AddChild(key, STGTY_STREAM, mode, &node);
    if (FAILED(hr)) return hr;
    return NewStreamObject(document_, std::move(node), mode & ~STGM_CREATE, out);
  }

  HRESULT DoOpenStream(const wchar_t* name, void* reserved1, DWORD mode, DWORD reserved2, IStream** out) {
    std::u16string key;
    HRESULT hr = PrepareChild(name, mode, false, reserved1 == nullptr && reserved2 == 0,
                              reinterpret_cast<IUnknown**>(out), &key);
    if (FAILED(hr)) return hr;
    ptrdiff_t at = NodePtr()->FindChild(key);
    if (at < 0 || NodePtr()->children[static_cast<size_t>(at)]->type != STGTY_STREAM) return STG_E_FILENOTFOUND;
    return NewStreamObject(document_, NodePtr()->children[static_cast<size_t>(at)], mode, out);
  }

  HRESULT DoCreateStorage(const wchar_t* name, DWORD mode, DWORD reserved1, DWORD reserved2, IStorage** out) {
    std::u16string key;
    HRESULT hr =
        PrepareChild(name, mode, true, reserved1 == 0 && reserved2 == 0, reinterpret_cast<IUnknown**>(out), &key);
    if (FAILED(hr)) return hr;
    std::shared_ptr<ElementNode> node;
    hr = AddChild(key, STGTY_STORAGE, mode, &node);
    if (FAILED(hr)) return hr;
    return NewStorageObject(document_, std::move(node), mode & ~STGM_CREATE, false, out);
  }

  HRESULT DoOpenStorage(const wchar_t* name, DWORD mode, DWORD reserved, IStorage** out) {
    std::u16string key;
    HRESULT hr = PrepareChild(name, mode, false, reserved == 0, reinterpret_cast<IUnknown**>(out), &key);
    if (FAILED(hr)) return hr;
    ptrdiff_t at = NodePtr()->FindChild(key);
    if (at < 0 || NodePtr()->children[static_cast<size_t>(at)]->type != STGTY_STORAGE) return STG_E_FILENOTFOUND;
    return NewStorageObject(document_, NodePtr()->children[static_cast<size_t>(at)], mode, false, out);
  }

  static bool IsExcluded(const ElementNode& child, DWORD excludeCount, const IID* excludeIids, SNB exclude) {
    for (DWORD i = 0; excludeIids && i < excludeCount; ++i) {
      if (excludeIids[i] == IID_IStorage && child.type == STGTY_STORAGE) return true;
      if (excludeIids[i] == IID_IStream && child.type == STGTY_STREAM) return true;
    }
    for (SNB name = exclude; name && *name; ++name) {
      std::u16string key;
      if (SUCCEEDED(ConvertElementName(*name, false, &key)) && CompareNames(key, child.name) == 0) return true;
    }
    return false;
  }

  // Copies one child element into `target` under `name`, replacing a stream
  // and merging into a storage of that name.
  HRESULT CopyElement(const std::shared_ptr<ElementNode>& child, IStorage* target, const std::wstring& name) {
    constexpr DWORD kCreateMode = STGM_CREATE | STGM_READWRITE | STGM_SHARE_EXCLUSIVE;
    if (child->type == STGTY_STREAM) {
      ComPtr<IStream> to;
      HRESULT hr = target->CreateStream(name.c_str(), kCreateMode, 0, 0, to.Put());
      if (FAILED(hr)) return hr;
      std::vector<uint8_t> buffer(static_cast<size_t>(std::min<uint64_t>(child->content.Size(), kCopyChunk)));
      for (uint64_t done = 0; done < child->content.Size();) {
        size_t got = 0;
        hr = child->content.ReadAt(done, buffer.data(), buffer.size(), &got);
        if (FAILED(hr)) return hr;
        hr = to->Write(buffer.data(), static_cast<ULONG>(got), nullptr);
        if (FAILED(hr)) return hr;
        done += got;
      }
      return S_OK;
    }
    ComPtr<IStorage> to;
    HRESULT hr = target->OpenStorage(name.c_str(), nullptr, STGM_READWRITE | STGM_SHARE_EXCLUSIVE, nullptr, 0,
                                     to.Put());
    if (FAILED(hr)) hr = target->CreateStorage(name.c_str(), kCreateMode, 0, 0, to.Put());
    if (FAILED(hr)) return hr;
    ComPtr<IStorage> from;
    hr = NewStorageObject(document_, child, STGM_READ | STGM_SHARE_EXCLUSIVE, false, from.Put());
    if (FAILED(hr)) return hr;
    return from->CopyTo(0, nullptr, nullptr, to.Get());
  }

  HRESULT DoCopyTo(DWORD excludeCount, const IID* excludeIids, SNB exclude, IStorage* target) {
    if (!target) return STG_E_INVALIDPOINTER;
    HRESULT hr = CheckUsable();
    if (FAILED(hr)) return hr;
    if (!CanRead(mode_)) return STG_E_ACCESSDENIED;
    std::shared_ptr<ElementNode> targetNode = NodeOfStorage(target);
    if (targetNode && IsWithin(*NodePtr(), targetNode.get())) return STG_E_ACCESSDENIED;
    std::vector<std::shared_ptr<ElementNode>> children = NodePtr()->children;
    for (const auto& child : children) {
      if (IsExcluded(*child, excludeCount, excludeIids, exclude)) continue;
      hr = CopyElement(child, target, Utf16ToWide(child->name));
      if (FAILED(hr)) return hr;
    }
    hr = target->SetClass(NodePtr()->clsid);
    if (SUCCEEDED(hr)) hr = target->SetStateBits(NodePtr()->stateBits, 0xFFFFFFFF);
    return hr;
  }

  HRESULT DoMoveElementTo(const wchar_t* name, IStorage* target, const wchar_t* newName, DWORD flags) {
    if (!target) return STG_E_INVALIDPOINTER;
    if (flags != STGMOVE_MOVE && flags != STGMOVE_COPY) return STG_E_INVALIDFLAG;
    HRESULT hr = flags == STGMOVE_MOVE ? CheckWritable() : CheckUsable();
    if (FAILED(hr)) return hr;
    std::u16string key, newKey;
    hr = ConvertElementName(name, false, &key);
    if (SUCCEEDED(hr)) hr = ConvertElementName(newName, true, &newKey);
    if (FAILED(hr)) return hr;
    ptrdiff_t at = NodePtr()->FindChild(key);
    if (at < 0) return STG_E_FILENOTFOUND;
    std::shared_ptr<ElementNode> child = NodePtr()->children[static_cast<size_t>(at)];
    std::shared_ptr<ElementNode> targetNode = NodeOfStorage(target);
    if (targetNode && IsWithin(*child, targetNode.get())) return STG_E_ACCESSDENIED;
    hr = CopyElement(child, target, newName);
    if (FAILED(hr) || flags == STGMOVE_COPY) return hr;
    // The copy may have replaced the source (same storage, same name).
    if (child->detached) return S_OK;
    ElementNode& parent = *NodePtr();
    at = parent.FindChild(key);
    if (at >= 0 && parent.children[static_cast<size_t>(at)] == child) {
      DetachTree(*child);
      parent.children.erase(parent.children.begin() + at);
      document_->MarkDirty();
    }
    return S_OK;
  }

  HRESULT DoEnumElements(DWORD reserved1, void* reserved2, DWORD reserved3, IEnumSTATSTG** out) {
    if (!out) return STG_E_INVALIDPOINTER;
    HRESULT hr = CheckUsable();
    if (FAILED(hr)) return hr;
    if (reserved1 || reserved2 || reserved3) return STG_E_INVALIDPARAMETER;
    try {
      auto elements = std::make_shared<std::vector<ElementSummary>>();
      elements->reserve(NodePtr()->children.size());
      for (const auto& child : NodePtr()->children) elements->push_back(ElementSummary::Of(*child));
      *out = new ElementEnumerator(std::move(elements));
    } catch (const std::exception&) {
      return STG_E_INSUFFICIENTMEMORY;
    }
    return S_OK;
  }

  HRESULT DoDestroyElement(const wchar_t* name) {
    HRESULT hr = CheckWritable();
    std::u16string key;
    if (SUCCEEDED(hr)) hr = ConvertElementName(name, false, &key);
    if (FAILED(hr)) return hr;
    ElementNode& parent = *NodePtr();
    ptrdiff_t at = parent.FindChild(key);
    if (at < 0) return STG_E_FILENOTFOUND;
    DetachTree(*parent.children[static_cast<size_t>(at)]);
    parent.children.erase(parent.children.begin() + at);
    document_->MarkDirty();
    return S_OK;
  }

  HRESULT DoRenameElement(const wchar_t* oldName, const wchar_t* newName) {
    HRESULT hr = CheckWritable();
    std::u16string oldKey, newKey;
    if (SUCCEEDED(hr)) hr = ConvertElementName(oldName, false, &oldKey);
    if (SUCCEEDED(hr)) hr = ConvertElementName(newName, true, &newKey);
    if (FAILED(hr)) return hr;
    ElementNode& parent = *NodePtr();
    ptrdiff_t at = parent.FindChild(oldKey);
    if (at < 0) return STG_E_FILENOTFOUND;
    ptrdiff_t clash = parent.FindChild(newKey);
    if (clash >= 0 && clash != at) return STG_E_FILEALREADYEXISTS;
    std::shared_ptr<ElementNode> node = parent.children[static_cast<size_t>(at)];
    parent.children.erase(parent.children.begin() + at);
    node->name = newKey;
    parent.InsertChild(std::move(node));
    document_->MarkDirty();
    return S_OK;
  }

  std::shared_ptr<Document> document_;
  std::shared_ptr<ElementNode> node_;
  DWORD mode_;
  bool isRoot_;
};

}  // namespace

HRESULT NewStorageObject(std::shared_ptr<Document> document, std::shared_ptr<ElementNode> node, DWORD mode,
                         bool isRoot, IStorage** out) {
  *out = new (std::nothrow) StorageObject(std::move(document), std::move(node), mode, isRoot);
  return *out ? S_OK : STG_E_INSUFFICIENTMEMORY;
}

HRESULT NewStreamObject(std::shared_ptr<Document> document, std::shared_ptr<ElementNode> node, DWORD mode,
                        IStream** out) {
  *out = new (std::nothrow) StreamObject(std::move(document), std::move(node), mode);
  return *out ? S_OK : STG_E_INSUFFICIENTMEMORY;
}

std::shared_ptr<ElementNode> NodeOfStorage(IStorage* storage) {
  void* object = nullptr;
  if (!storage || FAILED(storage->QueryInterface(IID_ElementAccess, &object))) return nullptr;
  auto* ours = static_cast<StorageObject*>(static_cast<IStorage*>(object));
  std::shared_ptr<ElementNode> node = ours->NodePtr();
  ours->Release();
  return node;
}

}  // namespace quorra::host::storage
