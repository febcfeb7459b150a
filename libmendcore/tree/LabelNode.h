// The two kinds of node of the element-tree repairers: schema nodes (which
// element may stand where) and parsed nodes (what the file holds), with the
// containers that own them.
#ifndef MENDCORE_LABELNODE_H
#define MENDCORE_LABELNODE_H

#include <stddef.h>
#include <stdint.h>

#include <deque>
#include <map>
#include <unordered_map>
#include <vector>

// One schema node. Built once from a table of rows, never changed after.
template <typename IdT>
struct TStandardLabelNode {
    IdT id = 0;
    unsigned int level = 0;  // 1 for the top level
    bool mandatory = false;  // must occur at least once under its parent
    bool repeatable = false; // may directly follow an element of its own kind
    TStandardLabelNode* prev = nullptr;
    TStandardLabelNode* next = nullptr;
    TStandardLabelNode* firstChild = nullptr;  // null: content is not parsed
    TStandardLabelNode* parent = nullptr;      // set on first children only
};

// One schema row: an element's flags and its children in order (empty for
// an element whose content is not parsed as elements).
template <typename IdT>
struct TSchemaRow {
    bool mandatory = false;
    bool repeatable = false;
    std::vector<IdT> children;
};

// A schema tree and its nodes. Read-only once built, so one tree can serve
// every repairer of a format at once.
template <typename IdT>
class TSchemaTree {
public:
    using SNode = TStandardLabelNode<IdT>;
    using Rows = std::map<IdT, TSchemaRow<IdT>>;

    TSchemaTree() = default;
    // Nodes point at each other: the tree stays where it was built.
    TSchemaTree(const TSchemaTree&) = delete;
    TSchemaTree& operator=(const TSchemaTree&) = delete;

    // Builds the tree whose top level is the children of rootId's row.
    // False when a listed id has no row (or the rows nest without end).
    bool Build(IdT rootId, const Rows& rows)
    {
        m_nodes.clear();
        m_index.clear();
        m_top = nullptr;
        unsigned int level = 0;
        SNode* root = CreateSNodeTree(rootId, rows, level);
        if (!root || !root->firstChild) {
            m_nodes.clear();
            return false;
        }
        m_top = root->firstChild;
        m_top->parent = nullptr;
        // Index in pre-order so a lookup finds the first match, as a walk
        // from the top would.
        std::vector<const SNode*> stack{m_top};
        while (!stack.empty()) {
            const SNode* n = stack.back();
            stack.pop_back();
            m_index.emplace(n->id, n);
            if (n->next)
                stack.push_back(n->next);
            if (n->firstChild)
                stack.push_back(n->firstChild);
        }
        m_count = m_nodes.size() - 1;  // without the build root
        return true;
    }

    const SNode* Top() const { return m_top; }
    const SNode* Find(IdT id) const
    {
        auto it = m_index.find(id);
        return it == m_index.end() ? nullptr : it->second;
    }
    size_t Count() const { return m_count; }

private:
    // Depth follows the rows, not the input; the cap only stops a table
    // whose rows name each other.
    static constexpr unsigned int kMaxDepth = 32;

    SNode* CreateSNodeTree(IdT id, const Rows& rows, unsigned int& level)
    {
        auto it = rows.find(id);
        if (it == rows.end() || level > kMaxDepth)
            return nullptr;
        m_nodes.emplace_back();
        SNode* node = &m_nodes.back();
        node->id = id;
        node->level = level;
        node->mandatory = it->second.mandatory;
        node->repeatable = it->second.repeatable;
        ++level;
        SNode* last = nullptr;
        for (IdT childId : it->second.children) {
            SNode* child = CreateSNodeTree(childId, rows, level);
            if (!child) {
                --level;
                return nullptr;
            }
            if (last) {
                last->next = child;
                child->prev = last;
            } else {
                node->firstChild = child;
                child->parent = node;
            }
            last = child;
        }
        --level;
        return node;
    }

    std::deque<SNode> m_nodes;
    std::unordered_map<IdT, const SNode*> m_index;
    SNode* m_top = nullptr;
    size_t m_count = 0;
};

// One parsed element, or one stretch of input that did not parse.
template <typename IdT, typename SizeT>
struct TLabelNode {
    IdT id = 0;                 // 0 for a damaged stretch
    SizeT size = 0;             // payload length; recomputed for parents by UpdateAll
    SizeT declaredSize = 0;     // the payload length its header declares
    int64_t start = 0;          // input offset of the first header byte
    int64_t end = 0;            // input offset just past the element
    int64_t headerLength = 0;   // header bytes as read
    int64_t written = 0;        // bytes the rebuild writes for it (UpdateAll)
    bool valid = false;
    bool rebuilt = false;       // written with a fresh header, not copied
    // Sound, but left out of the rebuild (a block whose track is lost); its
    // parent is written afresh without it.
    bool leftOut = false;
    bool inUse = false;
    // Further elements this node stands for: sound elements of its id that
    // follow it back to back, kept as one record so that a recording of
    // millions of blocks costs a record per run, not per block. start,
    // headerLength, size and declaredSize stay those of the first; end is
    // the last one's.
    uint32_t joined = 0;
    // Where an element outside the schema stands, for the placement rule:
    // the schema node of the nearest known element before it, and whether
    // that element is its parent. Kept so the rule needs no walk back along
    // a chain of unknown elements.
    const TStandardLabelNode<IdT>* context = nullptr;
    bool contextIsParent = false;
    TLabelNode* prev = nullptr;
    TLabelNode* next = nullptr;
    TLabelNode* firstChild = nullptr;
    TLabelNode* parent = nullptr;  // set on first children only
    TLabelNode* owner = nullptr;   // the parent, on every child: climbs cost no walk along siblings
};

// Owns the parsed nodes of one repairer; released nodes are reused.
template <typename Node>
class TNodePool {
public:
    Node* New()
    {
        Node* n;
        if (!m_free.empty()) {
            n = m_free.back();
            m_free.pop_back();
            *n = Node();
        } else {
            m_nodes.emplace_back();
            n = &m_nodes.back();
        }
        n->inUse = true;
        return n;
    }
    void Release(Node* n)
    {
        if (!n || !n->inUse)
            return;
        n->inUse = false;
        m_free.push_back(n);
    }
    void Clear()
    {
        m_free.clear();
        m_nodes.clear();
    }
    size_t LiveCount() const { return m_nodes.size() - m_free.size(); }

private:
    std::deque<Node> m_nodes;
    std::vector<Node*> m_free;
};

#endif
