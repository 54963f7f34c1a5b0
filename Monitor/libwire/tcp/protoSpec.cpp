#include "tcp/protoSpec.h"

#include <cstdio>
#include <memory>
#include <new>
#include <vector>

#include "OB_Log.h"

namespace {

constexpr uint16_t kEndOfChain = 0xFFFF;
constexpr int kHashSize = 257;
constexpr uint32_t kRecordHeadSize = 4;
constexpr uint32_t kBodyHeadSize = 12;  // parentId, 6 + 3 uninterpreted bytes, alternative count
constexpr uint32_t kAlternativeHeadSize = 4;
constexpr uint32_t kTestSize = 4;

struct PSAlternative {
  uint32_t firstTest;
  uint16_t testCount;
};

struct PSTest {
  uint16_t offset;  // 0..2047
  uint8_t mask;
  uint8_t value;
};

// One entry per record, in file order; chains through `next` hold the entries of one bucket.
struct IndexEntry {
  uint16_t next;
  uint16_t id;
  uint16_t parentId;
};

struct Tree {
  std::vector<PSTreeNode> nodes;
  std::vector<PSAlternative> alternatives;
  std::vector<PSTest> tests;
  std::vector<IndexEntry> index;
  uint16_t heads[kHashSize];
  int32_t root8023 = -1;
  int32_t rootEthernetII = -1;
};

Tree tree;

struct FileCloser {
  void operator()(FILE* f) const { fclose(f); }
};

uint16_t le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

[[noreturn]] void readFailure(const char* path) {
  OB_Log::quit("protoSpec_InitProtoSpecUtils: problem reading file %s\n", path);
}

// Preorder from the first node (a node, its first child's subtree, then its next sibling): the
// first node with this id, or -1.
int32_t findInTree(const Tree& t, uint16_t id) {
  int32_t cur = t.nodes.empty() ? -1 : 0;
  while (cur != -1) {
    const PSTreeNode& node = t.nodes[cur];
    if (node.id == id) return cur;
    if (node.firstChild != -1) {
      cur = node.firstChild;
      continue;
    }
    while (cur != -1 && t.nodes[cur].nextSibling == -1) cur = t.nodes[cur].treeParent;
    if (cur != -1) cur = t.nodes[cur].nextSibling;
  }
  return -1;
}

// The first node of the file goes on top and is never linked; a node whose parent id names no
// node becomes a top-level node directly after the first.
void linkNode(Tree& t, int32_t self) {
  if (self == 0) return;
  PSTreeNode& node = t.nodes[self];
  int32_t parent = findInTree(t, node.parentId);
  if (parent == -1) {
    node.nextSibling = t.nodes[0].nextSibling;
    t.nodes[0].nextSibling = self;
    return;
  }
  node.treeParent = parent;
  int32_t child = t.nodes[parent].firstChild;
  if (child == -1) {
    t.nodes[parent].firstChild = self;
    return;
  }
  while (t.nodes[child].nextSibling != -1) child = t.nodes[child].nextSibling;
  t.nodes[child].nextSibling = self;
}

int32_t firstEntry(const Tree& t, uint16_t id) {
  for (uint16_t e = t.heads[id % kHashSize]; e != kEndOfChain; e = t.index[e].next)
    if (t.index[e].id == id) return e;
  return -1;
}

// Statistics climb from a node to its ancestors through protoSpec_GetParentID until 0. A file
// whose parent ids form a loop (a node its own parent, or two naming each other) would make that
// climb endless, so the entry that closes a loop answers 0 instead.
void cutParentLoops(Tree& t, const char* path) {
  enum : uint8_t { kUnseen, kOnPath, kDone };
  std::vector<uint8_t> state(t.index.size(), kUnseen);
  std::vector<int32_t> walk;
  for (size_t i = 0; i < t.index.size(); ++i) {
    if (state[i] != kUnseen || firstEntry(t, t.index[i].id) != static_cast<int32_t>(i)) continue;
    walk.clear();
    int32_t cur = static_cast<int32_t>(i);
    for (;;) {
      state[cur] = kOnPath;
      walk.push_back(cur);
      uint16_t parentId = t.index[cur].parentId;
      if (parentId == 0) break;
      int32_t up = firstEntry(t, parentId);
      if (up == -1 || state[up] == kDone) break;
      if (state[up] == kOnPath) {
        OB_Log::log("protoSpec_InitProtoSpecUtils: %s: parent of id %u loops, taken as 0\n", path,
                    t.index[cur].id);
        t.index[cur].parentId = 0;
        break;
      }
      cur = up;
    }
    for (int32_t e : walk) state[e] = kDone;
  }
}

bool nodeMatches(const Tree& t, const PSTreeNode& node, const unsigned char* frame,
                 uint32_t length) {
  if (node.alternativeCount == 0) return true;
  for (uint32_t a = 0; a < node.alternativeCount; ++a) {
    const PSAlternative& alt = t.alternatives[node.firstAlternative + a];
    bool passed = true;
    for (uint32_t k = 0; k < alt.testCount && passed; ++k) {
      const PSTest& test = t.tests[alt.firstTest + k];
      passed = test.offset < length && (frame[test.offset] & test.mask) == test.value;
    }
    if (passed) return true;
  }
  return false;
}

}  // namespace

int protoSpec_InitProtoSpecUtils(const char* path) {
  std::unique_ptr<FILE, FileCloser> file(fopen(path, "rb"));
  if (!file) {
    perror("protoSpec_InitProtoSpecUtils");
    OB_Log::log("protoSpec_InitProtoSpecUtils: problem opening file %s\n", path);
    OB_Log::quit("protoSpec_InitProtoSpecUtils: ProtoSpec defs not loaded!!\n");
  }
  protoSpec_FreeProtoSpecUtils();

  uint8_t head[6];
  if (fread(head, 1, sizeof head, file.get()) != sizeof head) readFailure(path);
  const uint32_t count = le16(head + 4);

  Tree& t = tree;
  try {
    t.nodes.reserve(count);
  } catch (const std::bad_alloc&) {
    OB_Log::quit("protoSpec_InitProtoSpecUtils: no memory 1\n");
  }
  try {
    t.index.reserve(count);
  } catch (const std::bad_alloc&) {
    OB_Log::quit("protoSpec_InitProtoSpecUtils: no memory 3\n");
  }
  for (uint16_t& h : t.heads) h = kEndOfChain;
  uint16_t tails[kHashSize];

  std::vector<uint8_t> body;
  for (uint32_t i = 0; i < count; ++i) {
    uint8_t recordHead[kRecordHeadSize];
    if (fread(recordHead, 1, sizeof recordHead, file.get()) != sizeof recordHead)
      readFailure(path);
    const uint16_t id = le16(recordHead);
    const uint32_t bodyLength = le16(recordHead + 2);
    if (bodyLength < kBodyHeadSize) readFailure(path);
    try {
      body.resize(bodyLength);
    } catch (const std::bad_alloc&) {
      OB_Log::quit("protoSpec_InitProtoSpecUtils: no memory 4\n");
    }
    if (fread(body.data(), 1, bodyLength, file.get()) != bodyLength) readFailure(path);

    PSTreeNode node{};
    node.id = id;
    node.parentId = le16(body.data());
    node.firstChild = node.nextSibling = node.treeParent = -1;
    node.kept[0] = body[8];
    node.kept[1] = body[9];
    node.kept[2] = body[10];
    node.firstAlternative = static_cast<uint32_t>(t.alternatives.size());
    node.alternativeCount = body[11];
    // Every alternative and every test must lie inside this record's body.
    uint32_t pos = kBodyHeadSize;
    for (uint32_t a = 0; a < node.alternativeCount; ++a) {
      if (bodyLength - pos < kAlternativeHeadSize) readFailure(path);
      const uint32_t testCount = body[pos + 3];
      pos += kAlternativeHeadSize;
      if ((bodyLength - pos) / kTestSize < testCount) readFailure(path);
      t.alternatives.push_back({static_cast<uint32_t>(t.tests.size()),
                                static_cast<uint16_t>(testCount)});
      for (uint32_t k = 0; k < testCount; ++k, pos += kTestSize) {
        const uint8_t* raw = body.data() + pos;
        uint16_t offset = static_cast<uint16_t>(raw[1] | ((raw[0] >> 5) << 8));
        t.tests.push_back({offset, raw[2], raw[3]});
      }
    }
    t.nodes.push_back(node);
    linkNode(t, static_cast<int32_t>(i));

    t.index.push_back({kEndOfChain, id, node.parentId});
    const int bucket = id % kHashSize;
    if (t.heads[bucket] == kEndOfChain)
      t.heads[bucket] = static_cast<uint16_t>(i);
    else
      t.index[tails[bucket]].next = static_cast<uint16_t>(i);
    tails[bucket] = static_cast<uint16_t>(i);
  }
  cutParentLoops(t, path);

  // Both roots are looked for along the top-level chain only; the Ethernet II root then becomes
  // the one sibling after the 802.3 root, so a frame that no 802.3 node takes is tried there.
  int32_t root1 = -1, root2 = -1;
  for (int32_t c = t.nodes.empty() ? -1 : 0; c != -1 && root1 == -1; c = t.nodes[c].nextSibling)
    if (t.nodes[c].id == 1) root1 = c;
  if (root1 == -1) return 0;
  t.root8023 = root1;
  for (int32_t c = 0; c != -1 && root2 == -1; c = t.nodes[c].nextSibling)
    if (t.nodes[c].id == 2) root2 = c;
  if (root2 == -1) return 0;
  t.rootEthernetII = root2;
  t.nodes[root1].nextSibling = root2;
  t.nodes[root2].nextSibling = -1;
  return 0;
}

uint16_t ComparePacketProtoSpec(const unsigned char* frame, uint32_t length,
                                const PSTreeNode* root) {
  const Tree& t = tree;
  if (root == nullptr || frame == nullptr || t.nodes.empty()) return 0;
  const uintptr_t first = reinterpret_cast<uintptr_t>(t.nodes.data());
  const uintptr_t at = reinterpret_cast<uintptr_t>(root);
  if (at < first || at >= first + t.nodes.size() * sizeof(PSTreeNode)) return 0;

  // Descend into the first matching node of each sibling chain; the last node that matched is the
  // answer. The walk visits each node at most once, so it is bounded by the node count.
  uint16_t result = 0;
  int32_t cur = static_cast<int32_t>(root - t.nodes.data());
  for (size_t steps = 0; cur != -1 && steps < t.nodes.size(); ++steps) {
    const PSTreeNode& node = t.nodes[cur];
    if (nodeMatches(t, node, frame, length)) {
      result = node.id;
      cur = node.firstChild;
    } else {
      cur = node.nextSibling;
    }
  }
  return result;
}

uint16_t protoSpec_GetParentID(uint16_t id) {
  if (tree.index.empty()) return 0;
  int32_t e = firstEntry(tree, id);
  return e == -1 ? 0 : tree.index[e].parentId;
}

const PSTreeNode* protoSpec_GetRoot8023() {
  return tree.root8023 == -1 ? nullptr : &tree.nodes[tree.root8023];
}

const PSTreeNode* protoSpec_GetRootEthernetII() {
  return tree.rootEthernetII == -1 ? nullptr : &tree.nodes[tree.rootEthernetII];
}

int protoSpec_FreeProtoSpecUtils() {
  Tree& t = tree;
  std::vector<PSTreeNode>().swap(t.nodes);
  std::vector<PSAlternative>().swap(t.alternatives);
  std::vector<PSTest>().swap(t.tests);
  std::vector<IndexEntry>().swap(t.index);
  for (uint16_t& h : t.heads) h = kEndOfChain;
  t.root8023 = t.rootEthernetII = -1;
  return 0;
}
