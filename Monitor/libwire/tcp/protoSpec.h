// The protocol-spec tree: the process-wide rules, loaded from "<install>/admin/PSpc.bin", that
// classify every captured frame by the deepest protocol node whose byte tests it passes. The
// packet decoder classifies each frame; the network statistics count per node and roll counts up
// to parents. Loaded once at start-up (before capture begins), then only read; freed at shutdown.
#pragma once

#include <cstdint>

// One node of the loaded tree. Nodes live in one array owned by the tree; links are indices into
// it (-1 for none), so a node is meaningful only while the tree that made it is loaded.
struct PSTreeNode {
  uint16_t id;
  uint16_t parentId;      // as the file gives it
  int32_t firstChild;     // children keep file order
  int32_t nextSibling;
  int32_t treeParent;     // the node this one was linked under, -1 at the top level
  uint32_t firstAlternative;
  uint16_t alternativeCount;
  uint8_t kept[3];        // body bytes 8-10: carried, not interpreted
};

// Loads the file and builds the tree, replacing any tree loaded before; returns 0. A file that
// can't be opened, is cut short or holds a record whose alternatives or tests run past its end
// ends the process through OB_Log::quit.
int protoSpec_InitProtoSpecUtils(const char* path);

// The id of the deepest node that classifies the frame, starting at root and its siblings; 0 when
// none does, root is null or no tree is loaded. length is the captured length: a test whose offset
// lies at or past it fails.
uint16_t ComparePacketProtoSpec(const unsigned char* frame, uint32_t length, const PSTreeNode* root);

// The parent id of the first node of the file with this id; 0 when no node has it. Following
// parents from any id always reaches 0: a loop in the file's parent ids is cut at load.
uint16_t protoSpec_GetParentID(uint16_t id);

// The roots: the node with id 1 for frames whose type/length field is 1500 or less (IEEE 802.3),
// the node with id 2 for Ethernet II frames. Null when the file has no such top-level node or no
// tree is loaded.
const PSTreeNode* protoSpec_GetRoot8023();
const PSTreeNode* protoSpec_GetRootEthernetII();

// Frees the tree and clears the roots; returns 0.
int protoSpec_FreeProtoSpecUtils();
