// Attachments: the placements of child sites inside assembly sites, each with
// an attachment id unique within its parent, a placement matrix and a
// symbology word. The tree's AttachmentManager owns them; the parent
// AssemblySite lists them in insertion order.
#pragma once

#include <cstdio>
#include <unordered_map>

#include "quorra/host/geometry.h"
#include "quorra/host/styles.h"
#include "quorra/node_list.h"
#include "quorra/node_manager.h"
#include "quorra/user_data.h"

class AsmTree;
class AssemblySite;
class AttachmentManager;
class OccurrenceNode;
class SiteNode;

// A 4x4 placement matrix laid out as the host's tagG4x4; the identity when
// default-constructed.
class AttachmentMatrix {
 public:
  AttachmentMatrix() = default;
  explicit AttachmentMatrix(const tagG4x4& matrix) : matrix_(matrix) {}

  // Copies the sixteen values; null gives the identity.
  void BuildFromG4x4(const tagG4x4* matrix) {
    if (matrix)
      matrix_ = *matrix;
    else
      matrix_.SetIdentity();
  }
  // Converts through tagG4x4; null gives the identity.
  void BuildFromGTransf(const tagGTransf* transform) {
    if (transform)
      matrix_ = *transform;
    else
      matrix_.SetIdentity();
  }
  AttachmentMatrix& operator=(const tagG4x4& matrix) {
    matrix_ = matrix;
    return *this;
  }
  AttachmentMatrix& operator=(const tagGTransf& transform) {
    matrix_ = transform;
    return *this;
  }

  const tagG4x4& GiveAsG4x4() const { return matrix_; }
  tagG4x4& GiveAsG4x4() { return matrix_; }

 private:
  tagG4x4 matrix_;
};
static_assert(sizeof(AttachmentMatrix) == sizeof(tagG4x4));

// The record an attachment is made from; callers pass arrays of them.
struct AttachmentBundle {
  SiteNode* site = nullptr;  // the child site to place
  AttachmentMatrix matrix;   // placement in the parent's coordinates
  DWORD symbology = 0;
  DWORD attachmentId = 0;  // 0 asks for a new id where the caller checks ids first
};

class AttachmentNode {
 public:
  // Copies id, matrix, symbology and site from the bundle.
  AttachmentNode(AssemblySite* parent, const AttachmentBundle* bundle);
  AttachmentNode(const AttachmentNode&) = delete;
  AttachmentNode& operator=(const AttachmentNode&) = delete;
  // Runs Destroy.
  ~AttachmentNode();

  // Registers the node with the tree's attachment manager.
  HRESULT Init();
  // Removes the node from the attachment manager (and from its parent's
  // list, when it is still there), forgets the style library and releases
  // the user data. The manager's result; E_FAIL without a manager.
  HRESULT Destroy();

  // The attachment site's tree and that tree's attachment manager.
  AsmTree* GetAsmTree() const;
  AttachmentManager* GetAttachmentManager() const;
  SiteNode* GetAttachmentSite() const { return site_; }
  // Null for the root attachment and for an attachment whose parent is gone.
  AssemblySite* GetParentSite() const { return parent_; }

  DWORD GetAttachmentID() const { return id_; }
  HRESULT SetAttachmentID(DWORD id);
  DWORD GetSymbology() const { return symbology_; }
  // Also drops the cached style.
  HRESULT SetSymbology(DWORD symbology) {
    symbology_ = symbology;
    style_ = nullptr;
    return S_OK;
  }
  const AttachmentMatrix* GetXFormFromParent() const { return &transform_; }
  // Copies the matrix and marks the affected occurrences' transforms dirty.
  void SetXFormFromParent(const AttachmentMatrix* matrix);

  // Both pass the pointer through ValidateStyleLibrary.
  IJStyleLibrary* GetStyleLibrary() const;
  void SetStyleLibrary(IJStyleLibrary* library);
  // The style of the node's symbology (or of `key` when the node has none);
  // the style for the node's own symbology is cached.
  GGlobalStyle3D* GetStyle(DWORD key);

  // The child occurrences made from this attachment, one per occurrence of
  // the parent site: S_OK when there are some, S_FALSE when none.
  HRESULT GetOccurrences(NodeList<OccurrenceNode>* list) const;
  // The host's reference object of this placement, through the parent's
  // (or a local child's) document.
  HRESULT GetHelixReference(REFIID iid, void** out) const;

  HRESULT AddUserData(DWORD type, void* value);
  void* GetUserData(DWORD type, int* found) const { return userData_.Get(type, found); }
  HRESULT RemoveUserData(DWORD type) { return userData_.Remove(type); }
  UserDataMap* GetUserDataMap() const { return userData_.Map(); }

  // Text dump of the node, followed by its attachment site's dump.
  void Dump(FILE* file) const;

 private:
  friend class AssemblySite;
  friend class AttachmentManager;

  // Clears the parent pointer (the parent keeps count of the nodes naming it).
  void ForgetParent();

  DWORD id_;
  AttachmentMatrix transform_;
  DWORD symbology_;
  SiteNode* site_;
  AssemblySite* parent_;
  GGlobalStyle3D* style_ = nullptr;
  IJStyleLibrary* styleLibrary_ = nullptr;
  quorra::UserDataHolder userData_;
};

class AttachmentManager : public NodeManager<AttachmentNode, DWORD> {
 public:
  explicit AttachmentManager(AsmTree* tree) : NodeManager(tree) {}
  // Destroys every attachment (after detaching them from their parents).
  ~AttachmentManager();
  // True when any attachment of the tree places `site`.
  bool IsSiteAttached(const SiteNode* site) const;

  // As NodeManager's, keeping the count of placements per site up to date.
  HRESULT AddNodes(DWORD count, AttachmentNode* const* nodes);
  HRESULT RemoveNode(AttachmentNode* node);
  void Clear();

 private:
  // How many entries of the manager place each site; built on the first
  // IsSiteAttached, then kept up to date, so that judging many sites in a
  // row does not scan every attachment for each.
  mutable quorra::PointerMap<SiteNode, size_t> placements_;
  mutable bool placementsCounted_ = false;
};

extern "C" {
// E_INVALIDARG for null; otherwise destroys and frees the node.
HRESULT DeleteAttachmentNode(AttachmentNode* attachment);
}
