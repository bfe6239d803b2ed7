// Structural edits at scale answer exactly as the plain algorithms would:
// node-manager removal against a reference array, placement answers against
// a scan, child order, cycle checks over many bundles, branch replacement
// and the occurrences a failed build leaves behind.
#include <gtest/gtest.h>
#include <quorra/quorra.h>

#include <algorithm>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "support/assembly_builder.h"

using namespace quorra::test;

namespace {

struct Probe {
  int value = 0;
};

// Random adds (with repeats and nulls), removals and looks, the manager's
// answers compared with a plain array after every step.
void CompareManagerWithArray(size_t poolSize, unsigned seed, int steps) {
  std::vector<Probe> pool(poolSize);
  NodeManager<Probe, DWORD> manager(nullptr);
  std::vector<Probe*> model;
  size_t position = 0;
  std::mt19937 random(seed);
  auto pick = [&]() -> Probe* {
    const size_t i = random() % (poolSize + 1);
    return i == poolSize ? nullptr : &pool[i];
  };
  for (int step = 0; step < steps; ++step) {
    const unsigned what = random() % 10;
    if (what < 4) {
      std::vector<Probe*> added(1 + random() % 4);
      for (Probe*& node : added) node = pick();
      ASSERT_EQ(manager.AddNodes(static_cast<DWORD>(added.size()), added.data()), S_OK);
      model.insert(model.end(), added.begin(), added.end());
    } else if (what < 8) {
      Probe* node = pick();
      auto end = std::remove(model.begin(), model.end(), node);
      const HRESULT expected = end == model.end() ? S_FALSE : S_OK;
      model.erase(end, model.end());
      ASSERT_EQ(manager.RemoveNode(node), expected) << "step " << step;
    } else if (what == 8) {
      if (random() % 4 == 0) {
        manager.RewindIterator();
        position = 0;
      }
      Probe* expected = position < model.size() ? model[position++] : nullptr;
      ASSERT_EQ(manager.GetNextNode(), expected) << "step " << step;
    } else {
      ASSERT_EQ(std::vector<Probe*>(manager.GetNodes(), manager.GetNodes() + manager.GetCount()), model);
    }
    ASSERT_EQ(manager.GetCount(), model.size()) << "step " << step;
  }
  EXPECT_EQ(manager.Nodes(), model);
}

// The entries of a list as its raw view shows them, vacancies left out
// (reading the list itself would close them).
template <class T>
std::vector<T*> LiveEntries(const NodeList<T>& list) {
  std::vector<T*> live;
  for (DWORD i = 0; i < list.GetRawCount(); ++i)
    if (!NodeList<T>::IsVacancy(list.GetRawData()[i])) live.push_back(list.GetRawData()[i]);
  return live;
}

// Random appends, inserts and removals from anywhere (the front half
// especially, which moves the start of the list), and removals through the
// raw view that leave vacancies; the list compared with a plain array after
// every step, mostly through the raw view so that vacancies pile up between
// the reads that close them.
void CompareNodeListWithArray(size_t poolSize, unsigned seed, int steps) {
  std::vector<Probe> pool(poolSize);
  NodeList<Probe> list;
  std::vector<Probe*> model;
  std::mt19937 random(seed);
  auto pick = [&]() { return &pool[random() % poolSize]; };
  for (int step = 0; step < steps; ++step) {
    const unsigned what = random() % 20;
    if (what >= 16 && !model.empty()) {
      // Through the raw view: by raw slot, or by node with a hint that is
      // right half of the time.
      std::vector<DWORD> liveSlots;
      for (DWORD i = 0; i < list.GetRawCount(); ++i)
        if (!NodeList<Probe>::IsVacancy(list.GetRawData()[i])) liveSlots.push_back(i);
      ASSERT_EQ(liveSlots.size(), model.size()) << "step " << step;
      const size_t at = random() % model.size();
      if (what < 18) {
        list.RemoveRawAt(liveSlots[at], static_cast<DWORD>(random()));
        model.erase(model.begin() + static_cast<ptrdiff_t>(at));
      } else {
        Probe* node = model[at];
        if (std::count(model.begin(), model.end(), node) > 1) continue;  // either entry may go
        const DWORD hint = random() % 2 ? liveSlots[at] : static_cast<DWORD>(random() % (list.GetRawCount() + 2));
        ASSERT_EQ(list.RemoveUniqueRaw(node, [hint] { return hint; }), S_OK);
        model.erase(model.begin() + static_cast<ptrdiff_t>(at));
      }
      ASSERT_LE(list.GetRawCount(), 2 * model.size() + 1) << "vacancies are closed once they are half the list";
      if (step % 7 != 0) {
        ASSERT_EQ(LiveEntries(list), model) << "step " << step;
        continue;
      }
    } else if (what >= 16) {
      continue;
    } else if (what < 5) {
      std::vector<Probe*> added(1 + random() % 6);
      for (Probe*& node : added) node = pick();
      ASSERT_EQ(list.AddNodes(static_cast<DWORD>(added.size()), added.data()), S_OK);
      model.insert(model.end(), added.begin(), added.end());
    } else if (what == 5) {
      const DWORD at = static_cast<DWORD>(random() % (model.size() + 1));
      Probe* node = pick();
      ASSERT_EQ(list.InsertAt(at, node), S_OK);
      model.insert(model.begin() + at, node);
    } else if (what < 9 && !model.empty()) {
      // Positions near the front most of the time.
      const size_t at = random() % 2 ? random() % std::min<size_t>(model.size(), 3) : random() % model.size();
      list.RemoveAt(static_cast<DWORD>(at));
      model.erase(model.begin() + static_cast<ptrdiff_t>(at));
    } else if (what < 11) {
      Probe* node = pick();
      auto it = std::find(model.begin(), model.end(), node);
      ASSERT_EQ(list.Remove(node), it == model.end() ? S_FALSE : S_OK);
      if (it != model.end()) model.erase(it);
    } else if (what < 13) {
      Probe* node = pick();
      auto it = std::find(model.rbegin(), model.rend(), node);
      ASSERT_EQ(list.RemoveLast(node), it == model.rend() ? S_FALSE : S_OK);
      if (it != model.rend()) model.erase(std::next(it).base());
    } else if (what < 15) {
      // RemoveUnique may take either of repeated entries: judge it on a
      // node listed at most once.
      Probe* node = pick();
      const auto listed = std::count(model.begin(), model.end(), node);
      if (listed > 1) continue;
      ASSERT_EQ(list.RemoveUnique(node), listed ? S_OK : S_FALSE);
      model.erase(std::remove(model.begin(), model.end(), node), model.end());
    } else if (random() % 8 == 0) {
      list.RemoveAll();
      model.clear();
    } else {
      const DWORD wanted = static_cast<DWORD>(model.size() + random() % 50);
      ASSERT_EQ(list.Reserve(wanted), S_OK);
      ASSERT_GE(list.GetCapacity(), wanted);
    }
    ASSERT_EQ(list.GetCount(), model.size()) << "step " << step;
    ASSERT_EQ(std::vector<Probe*>(list.begin(), list.end()), model) << "step " << step;
    ASSERT_EQ(list.GetAt(static_cast<DWORD>(model.size())), nullptr);
  }
}

}  // namespace

TEST(NodeManagerRemoval, AnswersAsAPlainArrayUnderRandomEdits) {
  // Small managers remove in place; large ones through the slot index.
  struct Case {
    size_t pool;
    unsigned seed;
    int steps;
  };
  for (const Case& c : {Case{8, 1, 2000}, Case{60, 2, 4000}, Case{400, 3, 20000}, Case{3000, 4, 12000}}) {
    SCOPED_TRACE(c.pool);
    CompareManagerWithArray(c.pool, c.seed, c.steps);
  }
}

// The flat pointer map behind slot indexes and placement counts, against
// std::map: keys packed as node arrays pack them (runs of neighbouring
// addresses) and scattered, inserted while the table grows and erased in
// random order, so probe runs wrap past the end of the table and entries
// move back over erased ones.
TEST(PointerMapEdits, AnswersAsAStdMapUnderRandomEdits) {
  for (const size_t stride : {size_t{1}, size_t{24}, size_t{4096}}) {
    SCOPED_TRACE(stride);
    std::vector<char> memory(5000 * stride);
    quorra::PointerMap<char, size_t> map;
    std::map<const char*, size_t> model;
    std::mt19937 random(static_cast<unsigned>(stride));
    for (int step = 0; step < 60000; ++step) {
      const char* key = &memory[(random() % 5000) * stride];
      const unsigned what = random() % 3;
      if (what == 0) {
        bool inserted = false;
        size_t& value = map.FindOrInsert(key, step, &inserted);
        ASSERT_EQ(inserted, model.count(key) == 0) << step;
        if (inserted) model[key] = static_cast<size_t>(step);
        ++value;
        ++model[key];
      } else if (what == 1) {
        map.Erase(key);
        model.erase(key);
      } else {
        const size_t* value = map.Find(key);
        auto it = model.find(key);
        ASSERT_EQ(value != nullptr, it != model.end()) << step;
        if (value) {
          ASSERT_EQ(*value, it->second) << step;
        }
      }
      ASSERT_EQ(map.Size(), model.size());
    }
    for (const auto& [key, value] : model) {
      const size_t* found = map.Find(key);
      ASSERT_TRUE(found);
      EXPECT_EQ(*found, value);
    }
  }
}

TEST(NodeListEdits, AnswerAsAPlainArrayUnderRandomEdits) {
  struct Case {
    size_t pool;
    unsigned seed;
    int steps;
  };
  for (const Case& c : {Case{4, 1, 3000}, Case{50, 2, 6000}, Case{5000, 3, 6000}}) {
    SCOPED_TRACE(c.pool);
    CompareNodeListWithArray(c.pool, c.seed, c.steps);
  }
}

TEST(NodeListEdits, KeySearchesSeeThroughVacancies) {
  // A list sorted by key (here the probe's value), emptied from the middle
  // in a random order: every live entry stays found at its raw slot, and a
  // removed one is not found, whichever vacancies lie on the search's way.
  std::vector<Probe> pool(300);
  NodeList<Probe> list;
  for (size_t i = 0; i < pool.size(); ++i) {
    pool[i].value = static_cast<int>(5 * i + 2);  // sparse: the dense slot never answers
    ASSERT_EQ(list.Add(&pool[i]), S_OK);
  }
  const auto keyOf = [](const Probe* probe) { return static_cast<DWORD>(probe->value); };
  std::vector<Probe*> order;
  for (Probe& probe : pool) order.push_back(&probe);
  std::shuffle(order.begin(), order.end(), std::mt19937(11));
  std::vector<bool> gone(pool.size(), false);
  for (size_t removed = 0; removed < order.size() / 2; ++removed) {
    Probe* target = order[removed];
    const DWORD at = list.FindRawByKey(keyOf(target), keyOf, [target](const Probe* p) { return p == target; });
    ASSERT_LT(at, list.GetRawCount()) << "step " << removed;
    list.RemoveRawAt(at, keyOf(target));
    gone[static_cast<size_t>(target - pool.data())] = true;
    for (size_t i = 0; i < pool.size(); ++i) {
      Probe* probe = &pool[i];
      const DWORD found = list.FindRawByKey(keyOf(probe), keyOf, [probe](const Probe* p) { return p == probe; });
      if (gone[i])
        ASSERT_EQ(found, list.GetRawCount()) << "step " << removed;
      else
        ASSERT_EQ(list.GetRawData()[found], probe) << "step " << removed;
    }
  }
  EXPECT_GT(list.GetRawCount(), pool.size() / 2) << "removals left vacancies";
  EXPECT_EQ(list.GetCount(), pool.size() - order.size() / 2);
  EXPECT_EQ(list.GetRawCount(), list.GetCount()) << "a read closed them";
}

TEST(NodeListEdits, ReadersOnSeveralThreadsCloseVacanciesOnce) {
  // Walkers may read one list from several threads after a removal: the
  // first reader closes the vacancies, the others wait for it and see the
  // same list.
  std::vector<Probe> pool(2000);
  for (int round = 0; round < 20; ++round) {
    NodeList<Probe> list;
    for (Probe& probe : pool) ASSERT_EQ(list.Add(&probe), S_OK);
    std::vector<Probe*> model;
    for (size_t i = 0; i < pool.size(); ++i) {
      if (i % 3 == 1 && i > 20 && i + 20 < pool.size())
        list.RemoveRawAt(list.FindRawByKey(
                             static_cast<DWORD>(i), [&](const Probe* p) { return static_cast<DWORD>(p - pool.data()); },
                             [&](const Probe* p) { return p == &pool[i]; }),
                         static_cast<DWORD>(i));
      else
        model.push_back(&pool[i]);
    }
    std::vector<Probe*> seen[4];
    std::vector<std::thread> readers;
    for (std::vector<Probe*>& out : seen)
      readers.emplace_back([&list, &out] { out.assign(list.begin(), list.end()); });
    for (std::thread& reader : readers) reader.join();
    for (const std::vector<Probe*>& out : seen) ASSERT_EQ(out, model) << "round " << round;
  }
}

TEST(NodeListEdits, FrontRemovalsThenAppendsReuseTheFreedRoom) {
  std::vector<Probe> pool(64);
  NodeList<Probe> list;
  for (Probe& probe : pool) ASSERT_EQ(list.Add(&probe), S_OK);
  const DWORD capacity = list.GetCapacity();
  // Emptied from the front, then filled again: the freed slots serve the
  // new entries without a larger array.
  for (Probe& probe : pool) ASSERT_EQ(list.RemoveUnique(&probe), S_OK);
  EXPECT_TRUE(list.IsEmpty());
  for (Probe& probe : pool) ASSERT_EQ(list.Add(&probe), S_OK);
  EXPECT_EQ(list.GetCapacity(), capacity);
  for (size_t i = 0; i < pool.size(); ++i) EXPECT_EQ(list[static_cast<DWORD>(i)], &pool[i]);
  // RemoveAll after front removals gives the whole array back.
  for (size_t i = 0; i < 10; ++i) list.RemoveAt(0);
  EXPECT_EQ(list.GetCapacity(), capacity - 10);
  list.RemoveAll();
  EXPECT_EQ(list.GetCapacity(), capacity);
}

TEST(NodeManagerRemoval, LargeRemovalKeepsOrderAndIterator) {
  std::vector<Probe> pool(1000);
  NodeManager<Probe, DWORD> manager(nullptr);
  for (Probe& probe : pool) {
    Probe* node = &probe;
    manager.AddNodes(1, &node);
  }
  // Walk half way, drop every even node, then go on: the position counts in
  // the array as it now is.
  manager.RewindIterator();
  for (int i = 0; i < 10; ++i) EXPECT_EQ(manager.GetNextNode(), &pool[i]);
  for (size_t i = 0; i < pool.size(); i += 2) EXPECT_EQ(manager.RemoveNode(&pool[i]), S_OK);
  EXPECT_EQ(manager.RemoveNode(&pool[0]), S_FALSE);
  EXPECT_EQ(manager.GetCount(), 500u);
  EXPECT_EQ(manager.GetNextNode(), &pool[21]);
  for (DWORD i = 0; i < manager.GetCount(); ++i) EXPECT_EQ(manager.GetNodes()[i], &pool[2 * i + 1]);
  // A node listed twice leaves with both entries.
  Probe* twice = &pool[1];
  manager.AddNodes(1, &twice);
  EXPECT_EQ(manager.RemoveNode(twice), S_OK);
  EXPECT_EQ(manager.GetCount(), 499u);
  EXPECT_EQ(manager.GetNodes()[0], &pool[3]);
}

TEST(AttachmentManagerPlacements, IsSiteAttachedAgreesWithAScanUnderRandomEdits) {
  AssemblyBuilder b;
  AsmTree* tree = b.Tree();
  std::vector<AssemblySite*> parents{b.Assembly(L"a"), b.Assembly(L"b"), b.Assembly(L"c")};
  std::vector<SiteNode*> parts;
  for (int i = 0; i < 40; ++i) parts.push_back(b.Part(L"p" + std::to_wstring(i)));
  AttachmentManager* manager = tree->GetAttachmentManager();
  auto scan = [&](const SiteNode* site) {
    for (AttachmentNode* node : manager->Nodes())
      if (node->GetAttachmentSite() == site) return true;
    return false;
  };
  std::vector<AttachmentNode*> listed, unlisted;
  std::mt19937 random(7);
  for (int step = 0; step < 3000; ++step) {
    const unsigned what = random() % 8;
    AssemblySite* parent = parents[random() % parents.size()];
    if (what < 4 || listed.empty()) {
      listed.push_back(b.Place(parent, parts[random() % parts.size()]));
    } else {
      const size_t i = random() % listed.size();
      AttachmentNode* node = listed[i];
      listed.erase(listed.begin() + i);
      if (what == 4) {
        ASSERT_EQ(node->GetParentSite()->RemoveAndDestroyAttachment(node), S_OK);
      } else if (what == 5) {
        ASSERT_EQ(node->GetParentSite()->RemoveAttachment(node), S_OK);
        unlisted.push_back(node);  // still the manager's
      } else {
        ASSERT_EQ(DeleteAttachmentNode(node), S_OK);
      }
    }
    if (what == 7 && !unlisted.empty()) {
      ASSERT_EQ(DeleteAttachmentNode(unlisted.back()), S_OK);
      unlisted.pop_back();
    }
    for (SiteNode* part : parts) ASSERT_EQ(manager->IsSiteAttached(part), scan(part)) << "step " << step;
  }
  EXPECT_FALSE(manager->IsSiteAttached(parents[0]));
  // Sites placed by no attachment go; the others stay, in manager order.
  std::vector<SiteNode*> kept;
  for (SiteNode* part : parts)
    if (scan(part)) kept.push_back(part);
  EXPECT_EQ(tree->GetPartSiteManager()->DeleteUnusedSites(), S_OK);
  EXPECT_EQ(tree->GetPartSiteManager()->Nodes(), kept);
}

TEST(StructuralEdits, DeleteUnusedSitesOverManySitesKeepsTheUsedInOrder) {
  AssemblyBuilder b;
  AssemblySite* root = b.Assembly(L"root");
  std::vector<SiteNode*> used;
  for (int i = 0; i < 300; ++i) {
    PartSite* part = b.Part(L"part" + std::to_wstring(i));
    if (i % 3 == 0) {
      b.Place(root, part);
      used.push_back(part);
    }
  }
  // A sub-assembly placed nowhere takes the only placements of its parts.
  AssemblySite* dropped = b.Assembly(L"dropped");
  PartSite* onlyInDropped = b.Part(L"only");
  b.Place(dropped, onlyInDropped);
  b.Build(root);
  EXPECT_EQ(b.Tree()->DeleteUnusedSites(), S_OK);
  SiteManager* parts = b.Tree()->GetPartSiteManager();
  EXPECT_EQ(parts->Nodes(), used);
  parts->RewindIterator();
  for (SiteNode* site : used) EXPECT_EQ(parts->GetNextNode(), site);
  EXPECT_EQ(parts->GetNextNode(), nullptr);
  SiteNode* found = nullptr;
  EXPECT_EQ(b.Tree()->FindSite(L"only.par", &found), S_FALSE);
  EXPECT_EQ(b.Tree()->FindSite(L"dropped.asm", &found), S_FALSE);
  EXPECT_EQ(b.Tree()->GetAssemblySiteManager()->GetCount(), 1u);
}

namespace {
struct DeletionLog : TreeModificationCallback {
  HRESULT CreateOccurrence(OccurrenceNode*) override {
    ++created;
    return created == failAt ? E_ACCESSDENIED : S_OK;
  }
  HRESULT DeleteOccurrence(OccurrenceNode* occurrence) override {
    ++deleted;
    ids.push_back(occurrence->GetAttachmentID());
    return S_OK;
  }
  int created = 0;
  int deleted = 0;
  int failAt = -1;
  std::vector<DWORD> ids;
};
}  // namespace

TEST(StructuralEdits, ReplaceBranchOfAManyTimesPlacedSiteDestroysLastFirst) {
  AssemblyBuilder b;
  AssemblySite* root = b.Assembly(L"root");
  PartSite* placed = b.Part(L"placed");
  constexpr DWORD kPlacements = 200;
  for (DWORD i = 0; i < kPlacements; ++i) b.Place(root, placed);
  AssemblyOccurrence* top = b.Build(root);
  DeletionLog log;
  b.Tree()->AddTreeModificationCallback(&log);
  PartSite* replacement = b.Part(L"replacement");
  AttachmentBundle bundles[2];
  bundles[0].site = replacement;
  bundles[0].attachmentId = 7;
  bundles[1].site = replacement;
  bundles[1].attachmentId = 3;
  AttachmentNode* made[2] = {};
  ASSERT_EQ(root->ReplaceBranch(2, bundles, made), S_OK);
  b.Tree()->RemoveTreeModificationCallback(&log);
  std::vector<DWORD> expected;
  for (DWORD id = kPlacements; id >= 1; --id) expected.push_back(id);
  EXPECT_EQ(log.ids, expected);
  // New nodes in bundle order in the site, children in id order.
  ASSERT_EQ(root->GetAttachmentList().GetCount(), 2u);
  EXPECT_EQ(root->GetAttachmentList()[0], made[0]);
  EXPECT_EQ(root->GetAttachmentList()[1], made[1]);
  ASSERT_EQ(top->GetChildCount(), 2u);
  EXPECT_EQ(top->GetChildByIndex(0)->GetAttachmentID(), 3u);
  EXPECT_EQ(top->GetChildByIndex(1)->GetAttachmentID(), 7u);
  // The old part is placed nowhere: gone. Root attachment plus two remain.
  SiteNode* found = nullptr;
  EXPECT_EQ(b.Tree()->FindSite(L"placed.par", &found), S_FALSE);
  EXPECT_EQ(b.Tree()->GetAttachmentManager()->GetCount(), 3u);
  EXPECT_EQ(replacement->GetOccurrencesList()->GetCount(), 2u);
}

TEST(StructuralEdits, ChildrenStayInIdOrderAndAreSortedAgainOnceAnIdChanged) {
  AssemblyBuilder b;
  AssemblySite* root = b.Assembly(L"root");
  std::vector<AttachmentNode*> nodes;
  for (DWORD id : {5u, 1u, 9u, 3u, 7u, 2u, 8u, 4u, 6u})
    nodes.push_back(b.Place(root, b.Part(L"p" + std::to_wstring(id)), tagG4x4(), id));
  AssemblyOccurrence* top = b.Build(root);
  auto childIds = [&] {
    std::vector<DWORD> ids;
    for (OccurrenceNode* child : top->GetChildList()) ids.push_back(child->GetAttachmentID());
    return ids;
  };
  EXPECT_EQ(childIds(), (std::vector<DWORD>{1, 2, 3, 4, 5, 6, 7, 8, 9}));
  ASSERT_EQ(root->RemoveAndDestroyAttachment(nodes[0]), S_OK);  // id 5
  ASSERT_EQ(root->RemoveAndDestroyAttachment(nodes[2]), S_OK);  // id 9
  EXPECT_EQ(childIds(), (std::vector<DWORD>{1, 2, 3, 4, 6, 7, 8}));
  EXPECT_EQ(top->RemoveChild(top), S_FALSE);
  // An id changed under a built tree: removal sorts by the ids as they are.
  AssemblyBuilder c;
  AssemblySite* other = c.Assembly(L"root");
  AttachmentNode* first = c.Place(other, c.Part(L"x"), tagG4x4(), 1);
  AttachmentNode* second = c.Place(other, c.Part(L"y"), tagG4x4(), 2);
  AttachmentNode* third = c.Place(other, c.Part(L"w"), tagG4x4(), 3);
  AssemblyOccurrence* otherTop = c.Build(other);
  first->SetAttachmentID(10);
  ASSERT_EQ(other->RemoveAndDestroyAttachment(second), S_OK);
  ASSERT_EQ(otherTop->GetChildCount(), 2u);
  EXPECT_EQ(otherTop->GetChildByIndex(0)->GetWritableAttachment(), third);
  EXPECT_EQ(otherTop->GetChildByIndex(1)->GetWritableAttachment(), first);
}

TEST(StructuralEdits, ManyBundlesAreRefusedAsOneByOneWouldBe) {
  AssemblyBuilder b;
  AsmTree* tree = b.Tree();
  AssemblySite* top = b.Assembly(L"top");
  AssemblySite* middle = b.Assembly(L"middle");
  AssemblySite* bottom = b.Assembly(L"bottom");
  b.Place(top, middle);
  b.Place(middle, bottom);
  std::vector<SiteNode*> parts;
  for (int i = 0; i < 50; ++i) parts.push_back(b.Part(L"p" + std::to_wstring(i)));
  AssemblyBuilder other;
  AssemblySite* foreign = other.Assembly(L"foreign");
  struct Case {
    const char* name;
    SiteNode* odd;  // placed among the parts; null: a null site
    bool accepted;
  };
  for (const Case& c : {Case{"parts and a sibling", b.Assembly(L"sibling"), true},
                        Case{"itself", bottom, false},
                        Case{"its grandparent", top, false},
                        Case{"its parent", middle, false},
                        Case{"another tree's site", foreign, false},
                        Case{"a null site", nullptr, false}}) {
    SCOPED_TRACE(c.name);
    std::vector<AttachmentBundle> bundles;
    for (SiteNode* part : parts) {
      AttachmentBundle bundle;
      bundle.site = part;
      bundles.push_back(bundle);
    }
    bundles[30].site = c.odd;
    const DWORD before = tree->GetAttachmentManager()->GetCount();
    bool oneByOne = true;
    for (const AttachmentBundle& bundle : bundles) oneByOne = oneByOne && bottom->IsAttachmentCompatible(bundle.site);
    EXPECT_EQ(oneByOne, c.accepted);
    EXPECT_EQ(bottom->AddAttachments(static_cast<DWORD>(bundles.size()), bundles.data(), nullptr),
              c.accepted ? S_OK : E_INVALIDARG);
    EXPECT_EQ(tree->GetAttachmentManager()->GetCount(), before + (c.accepted ? bundles.size() : 0));
  }
}

TEST(StructuralEdits, OccurrencesLeftByAFailedBuildStayListedAndGoWithTheTree) {
  // The creation callback refuses the 6th occurrence: the root, a, a's two
  // parts and b are made first; b's first part is refused.
  DeletionLog log;
  log.failAt = 6;
  {
    AssemblyBuilder b;
    AssemblySite* root = b.Assembly(L"root");
    AssemblySite* a = b.Assembly(L"a");
    AssemblySite* bAssembly = b.Assembly(L"b");
    PartSite* part = b.Part(L"part");
    b.Place(a, part);
    b.Place(a, part);
    b.Place(bAssembly, part);
    b.Place(bAssembly, part);
    b.Place(root, a);
    b.Place(root, bAssembly);
    b.Tree()->AddTreeModificationCallback(&log);
    EXPECT_EQ(b.Tree()->CreateOccurrenceTree(root), E_ACCESSDENIED);
    AssemblyOccurrence* top = b.Tree()->GetRootAssembly();
    ASSERT_NE(top, nullptr);
    // Nothing was added below the root, yet every occurrence made (the
    // refused one included) is still in its site's list.
    EXPECT_EQ(top->GetChildCount(), 0u);
    EXPECT_EQ(a->GetOccurrencesList()->GetCount(), 1u);
    EXPECT_EQ(bAssembly->GetOccurrencesList()->GetCount(), 1u);
    EXPECT_EQ(part->GetOccurrencesList()->GetCount(), 3u);
    EXPECT_EQ(log.created, 6);
    EXPECT_EQ(log.deleted, 0);
    // The tree goes with the callback still registered: each one made is
    // destroyed exactly once.
  }
  EXPECT_EQ(log.deleted, 6);
}

TEST(StructuralEdits, RemovingAttachmentsFromBothEndsKeepsListsInStep) {
  // One part placed many times: the site's occurrence list, the root's
  // children and the attachment list all lose entries at their ends.
  AssemblyBuilder b;
  AssemblySite* root = b.Assembly(L"root");
  PartSite* placed = b.Part(L"placed");
  constexpr DWORD kPlacements = 300;
  std::vector<AttachmentNode*> model;
  for (DWORD i = 0; i < kPlacements; ++i) model.push_back(b.Place(root, placed));
  AssemblyOccurrence* top = b.Build(root);
  for (int step = 0; !model.empty(); ++step) {
    // Oldest first twice, then newest once, then one from the middle.
    const size_t at = step % 4 == 2 ? model.size() - 1 : step % 4 == 3 ? model.size() / 2 : 0;
    ASSERT_EQ(root->RemoveAndDestroyAttachment(model[at]), S_OK) << "step " << step;
    model.erase(model.begin() + static_cast<ptrdiff_t>(at));
    const NodeList<AttachmentNode>& attachments = root->GetAttachmentList();
    ASSERT_EQ(std::vector<AttachmentNode*>(attachments.begin(), attachments.end()), model) << "step " << step;
    ASSERT_EQ(top->GetChildCount(), model.size());
    ASSERT_EQ(placed->GetOccurrencesList()->GetCount(), model.size());
    for (DWORD i = 0; i < model.size(); ++i) {
      OccurrenceNode* child = top->GetChildByIndex(i);
      ASSERT_EQ(child->GetWritableAttachment(), model[i]) << "step " << step;
      ASSERT_EQ(placed->GetOccurrencesList()->GetAt(i), child) << "step " << step;
    }
  }
  EXPECT_EQ(b.Tree()->GetAttachmentManager()->GetCount(), 1u);  // the root's own
  AttachmentNode* gone = nullptr;
  EXPECT_EQ(root->RemoveAndDestroyAttachment(gone), E_INVALIDARG);
}

TEST(StructuralEdits, RemovingAttachmentsInAnyOrderKeepsTheListInOrder) {
  // Removal looks an attachment up by its id; lists out of id order, with
  // sparse ids or with ids a caller repeated must lose exactly the entry
  // named, and the tree exactly its branch. Long lists removed from the
  // middle leave vacancies behind: they are read only now and then here, so
  // that the searches meet the vacancies of many removals.
  std::vector<DWORD> dense(400), sparse(300);
  for (DWORD i = 0; i < dense.size(); ++i) dense[i] = i + 1;
  for (DWORD i = 0; i < sparse.size(); ++i) sparse[i] = 7 * i + 3;
  const std::vector<std::vector<DWORD>> idLists = {
      {1, 2, 3, 4, 5, 6, 7, 8},         // as handed out
      {10, 20, 30, 40, 50, 60},         // sparse, ascending
      {8, 7, 6, 5, 4, 3, 2, 1},         // descending
      {3, 12, 4, 1, 2, 11, 9, 5},       // unsorted
      {3, 3, 3, 1, 2, 2, 9, 1},         // repeated and unsorted
      {2, 1, 4, 3, 6, 5, 8, 7, 10, 9},  // pairwise swapped: the dense slot misleads
      dense,                            // long, as handed out
      sparse,                           // long and sparse
  };
  for (const std::vector<DWORD>& ids : idLists) {
    SCOPED_TRACE(testing::Message() << ids.size() << " ids from " << ids[0]);
    AssemblyBuilder b;
    AssemblySite* root = b.Assembly(L"root");
    PartSite* placed = b.Part(L"placed");
    std::vector<AttachmentNode*> model;
    for (DWORD id : ids) model.push_back(b.Place(root, placed, tagG4x4(), id));
    AssemblyOccurrence* top = b.Build(root);
    std::mt19937 random(static_cast<unsigned>(ids.size() * 31 + ids[0]));
    bool vacated = false;
    for (int step = 0; !model.empty(); ++step) {
      const size_t at = random() % model.size();
      ASSERT_EQ(root->RemoveAndDestroyAttachment(model[at]), S_OK) << "step " << step;
      model.erase(model.begin() + static_cast<ptrdiff_t>(at));
      vacated = vacated || root->GetAttachmentList().GetRawCount() > model.size();
      if (model.size() > 40 && step % 23 != 0) continue;
      const NodeList<AttachmentNode>& attachments = root->GetAttachmentList();
      ASSERT_EQ(std::vector<AttachmentNode*>(attachments.begin(), attachments.end()), model) << "step " << step;
      ASSERT_EQ(top->GetChildCount(), model.size());
      ASSERT_EQ(placed->GetOccurrencesList()->GetCount(), model.size());
      // The part lists the same occurrences as the root's children (in
      // creation order, which is id order only for ascending ids).
      const NodeList<OccurrenceNode>& children = top->GetChildList();
      const NodeList<OccurrenceNode>& listed = *placed->GetOccurrencesList();
      std::vector<OccurrenceNode*> a(children.begin(), children.end()), c(listed.begin(), listed.end());
      for (OccurrenceNode* child : a)
        ASSERT_NE(std::find(model.begin(), model.end(), child->GetWritableAttachment()), model.end())
            << "a branch outlived its attachment; step " << step;
      std::sort(a.begin(), a.end());
      std::sort(c.begin(), c.end());
      ASSERT_EQ(a, c) << "step " << step;
    }
    if (ids.size() > 100) {
      EXPECT_TRUE(vacated) << "the long lists left vacancies";
    }
  }
}
