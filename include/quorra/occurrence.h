// Occurrences: one per path of attachments from the root assembly down.
#pragma once

#include "quorra/host/geometry.h"
#include "quorra/node_list.h"
#include "quorra/user_data.h"

class AssemblyOccurrence;
class AttachmentNode;
class SiteNode;
class TreeWalkCallback;

// Occurrence flags.
constexpr DWORD OCC_PART = 0x1;
constexpr DWORD OCC_ASSEMBLY = 0x2;
constexpr DWORD OCC_DIRTY = 0x8;
constexpr DWORD OCC_POSSIBLY_DIRTY = 0x10;
constexpr DWORD OCC_XFORM_DIRTY = 0x40;
constexpr DWORD OCC_IPA = 0x100;
constexpr DWORD OCC_SIMPLIFIED = 0x4000;
constexpr DWORD OCC_OVERRIDDEN = 0xF0000;

class OccurrenceNode {
 public:
  OccurrenceNode(DWORD flags, AttachmentNode* attachment, AssemblyOccurrence* parent);
  OccurrenceNode(const OccurrenceNode&) = delete;
  OccurrenceNode& operator=(const OccurrenceNode&) = delete;
  virtual ~OccurrenceNode();

  DWORD GetFlags() const { return flags_; }
  bool IsDirty() const { return flags_ & OCC_DIRTY; }
  bool IsPossiblyDirty() const { return flags_ & (OCC_DIRTY | OCC_POSSIBLY_DIRTY); }
  void SetPossiblyDirty() { flags_ |= OCC_POSSIBLY_DIRTY; }
  void SetDirty() { flags_ |= OCC_DIRTY; }
  void SetXformDirty() { flags_ |= OCC_DIRTY | OCC_XFORM_DIRTY; }
  bool IsSimplified() const { return flags_ & OCC_SIMPLIFIED; }
  bool IsIPA() const { return flags_ & OCC_IPA; }
  bool IsOverridden() const { return flags_ & OCC_OVERRIDDEN; }
  bool IsRootAssembly() const { return parent_ == nullptr; }
  AttachmentNode* GetAttachment() const { return attachment_; }
  SiteNode* GetSite() const;
  HRESULT GetTypedGraphic(DWORD* type, void** graphic, DWORD key);
  const tagGBox* GetRange();
  HRESULT SetRange(const tagGBox* box);
  AssemblyOccurrence* GetParent() const { return parent_; }
  HRESULT Walk(TreeWalkCallback* callback, void* data, int flags);
  HRESULT Destroy(BOOL calledFromParent);

 protected:
  DWORD flags_;
  AttachmentNode* attachment_;
  tagGBox range_;
  AssemblyOccurrence* parent_;
  quorra::UserDataHolder userData_;
};

class AssemblyOccurrence : public OccurrenceNode {
 public:
  AssemblyOccurrence(AttachmentNode* attachment, AssemblyOccurrence* parent);
  ~AssemblyOccurrence() override;

  HRESULT CreateOccurrences(DWORD n, AttachmentNode* const* attachments);
  OccurrenceNode* FindOccurrenceOfAttachment(AttachmentNode* attachment) const;

 private:
  NodeList<OccurrenceNode> children_;
};

class PartOccurrence : public OccurrenceNode {
 public:
  PartOccurrence(AttachmentNode* attachment, AssemblyOccurrence* parent)
      : OccurrenceNode(OCC_PART, attachment, parent) {}
};
