// The base of the element-tree repairers: containers that are trees of
// self-describing elements (an id and a size in every header). It reads the
// input element by element into a parsed tree, checks each element against
// a schema tree, turns stretches that do not parse into invalid nodes,
// resynchronises byte by byte, records the damage, and offers the writing
// operations with which a format rewrites the file from the tree.
//
// A format supplies the schema, the header reader and writer, the format
// test and the repair levels. Nothing here knows any one container.
#ifndef MENDCORE_TBASEREPAIR_H
#define MENDCORE_TBASEREPAIR_H

#include <stdint.h>

#include <algorithm>
#include <memory>
#include <type_traits>
#include <vector>

#include "core/BaseStream.h"
#include "core/ErrorList.h"
#include "core/Guarded.h"
#include "core/RepairCommon.h"
#include "core/IBaseRepair.h"
#include "core/ResultCodes.h"
#include "core/TaskState.h"
#include "tree/LabelNode.h"

// Results of the parse steps: an element was read (the position stands
// after it), the input is exhausted, or nothing valid stands here.
// Sizes of one instantiation are unsigned: nothing to refuse there.
template <typename T>
constexpr bool IsNegativeSize(T v)
{
    if constexpr (std::is_signed<T>::value)
        return v < 0;
    else
        return (void)v, false;
}

enum TreeStepResult : int {
    TREE_STEP_READ = 0,
    TREE_STEP_END = 1,
    TREE_STEP_INVALID = 2,
};

template <typename IdT, typename SizeT>
class TBaseRepair : public CRepairCommon {
public:
    using Node = TLabelNode<IdT, SizeT>;
    using SNode = TStandardLabelNode<IdT>;

    explicit TBaseRepair(IBaseStream* in);
    ~TBaseRepair() override;
    TBaseRepair(const TBaseRepair&) = delete;
    TBaseRepair& operator=(const TBaseRepair&) = delete;

    int ParseStream(VPFileErrorCallback onError, void* user) override;
    void Close() override;

    // The parsed top level (the root's next chain); for inspection.
    const Node* FirstTopNode() const { return m_root->next; }
    uint64_t StepCount() const { return m_stepCount; }
    // Records the parsed tree holds (elements, runs and damaged stretches).
    size_t NodeCount() const { return m_pool.LiveCount(); }
    int64_t StepLimit() const { return m_stepLimit; }

protected:
    // --- what a format supplies ---------------------------------------
    // Reads the file's first element(s) and says whether this is the format.
    virtual bool CheckFileFormat() = 0;
    // Reads one header at the position: 0 with the position after it, 1 at
    // the end of the input (position at the end), 2 with the position back
    // at the header's first byte, or a negative internal code.
    virtual int ReadIdAndSize(IdT& id, SizeT& size) = 0;
    // 0 when the id may stand in the file, else nonzero.
    virtual int CheckIdAndSizeValid(const IdT& id, const SizeT& size) const;
    // Writes one element header to the output; 0 or a negative code.
    virtual int AddIDAndSize(IdT id, SizeT size) = 0;
    // Bytes AddIDAndSize writes for this header, or negative when it cannot.
    virtual int GetHeaderLength(IdT id, SizeT size) const = 0;

    // Checks after a complete parse; may add records. A negative internal
    // code is the parse's result, the tree and records staying in place.
    virtual int CheckParsed() { return 0; }
    // Elements that may stand anywhere without a schema entry (padding,
    // checksums). They never end a damaged run.
    virtual bool IsFreeId(IdT) const { return false; }
    // Parents whose declared size is only a hint: their children may run on
    // past it, as long as children of theirs follow directly.
    virtual bool SizeIsHint(IdT) const { return false; }
    // A child that a parent written with a fresh header leaves out (a
    // checksum over the old payload would be wrong).
    virtual bool KeepInRebuiltParent(const Node*) const { return true; }
    // Last word on a parent that the schema refuses (a mandatory child
    // missing, or a damaged child): true keeps it as it is. endsInDamage:
    // its scan gave up in damage (see DamageCrossed), which counts as one
    // more damaged child.
    virtual bool KeepDamagedParent(Node*, bool /*endsInDamage*/) { return false; }
    // A format's own test of a parent whose children parsed and satisfy the
    // schema: false refuses it as if a mandatory child were missing (its
    // content describes something that cannot be used).
    virtual bool ParentUsable(Node*) { return true; }
    // How long a damaged run the scan of this parent's children crosses.
    // A parent whose extent is only a guess (one the format stands in for
    // a lost header) gets a bound: were it to scan on through long damage,
    // be refused there and have the level above scan the same stretch
    // again, each such guess would cost the whole stretch once more. Past
    // the bound its scan gives up, the run goes on at the level above from
    // where it began, and the parent ends before it.
    virtual int64_t DamageCrossed(const Node*) const { return INT64_MAX; }
    // Whether a header that cannot stand in this parent, at `at`, begins
    // children of a lost parent that the format can stand in for. When it
    // says yes, the next header read at `at` is that stand-in parent's.
    virtual bool OrphansStartAt(IdT /*parentId*/, IdT /*id*/, SizeT /*size*/, int64_t /*at*/) { return false; }
    // Damage is scanned in memory, a block at a time, where a stream call
    // per byte would cost far more than the test. HeaderReach: the bytes
    // from a position that a header read there can touch (the header and
    // anything the reader demands after it); 0 turns the scan in memory
    // off. Positions closer than that to the end are always read in full.
    virtual int HeaderReach() const { return 0; }
    // The first index i below n at which the scan in m_parent (null: the
    // top level) could take the header that begins at bytes[i], or n.
    // bytes[0] stands at input offset `at`; `avail` bytes are in memory from
    // there, at least HeaderReach() - 1 after bytes[n - 1]. An index passed
    // over must be one at which a full read takes nothing; `steps` gets the
    // steps those reads would count.
    virtual size_t FirstCandidate(const uint8_t* /*bytes*/, size_t /*n*/, size_t /*avail*/, int64_t /*at*/,
                                  uint64_t* steps)
    {
        *steps = 0;
        return 0;
    }
    // Leaves that may be kept as runs (see TLabelNode::joined): sound
    // elements of this kind that follow each other are one record. Only
    // for elements that are copied as they stand and that nothing after
    // the parse needs one by one, or reads again from the input.
    virtual bool JoinsRuns(const Node*) const { return false; }
    virtual int ParseLabelChild(IdT id, SizeT size, int64_t start, Node*& node, const SNode* snode);
    virtual int ParseLabelFather(IdT id, SizeT size, int64_t start, Node*& node, const SNode* snode);

    // --- the parse ------------------------------------------------------
    int ParseLabel();
    int CheckNodeRelation(const IdT& prevId, const IdT& newId) const;
    const SNode* FindByIdS(const IdT& id) const { return m_schema ? m_schema->Find(id) : nullptr; }
    // Pre-order search from `from`: the node, its subtree, its later
    // siblings and their subtrees.
    Node* FindById(const IdT& id, Node* from) const;
    Node* AddNewNode(IdT id, int64_t start, int64_t end, SizeT size);
    Node* AddInvalidNode(int64_t start, int64_t end);
    Node* FindFather(Node* n, int levels) const;
    const SNode* FindFatherS(const SNode* s, int levels) const;
    bool IsBrotherS(const SNode* a, const SNode* b) const;
    bool CheckNodeValid(Node* node) const;
    bool CheckMandatoryTopTag() const;
    // Totals and damage records of a parsed subtree; the bytes the rebuild
    // writes for it.
    int64_t UpdateAll(Node* node);
    // Releases node, its subtree and every later sibling, and unlinks it.
    void DeleteNode(Node* node);

    // --- writing --------------------------------------------------------
    int WriteRightNode(Node* node);
    int WriteNode(Node* node);
    // Writes the kept nodes of a sibling chain, in order.
    int WriteChildren(Node* first);

    // --- budget ---------------------------------------------------------
    // One step of work; false once the budget is spent.
    bool Step() { return ++m_stepCount <= static_cast<uint64_t>(m_stepLimit); }
    // n steps at once; false where Step would have been, one at a time.
    bool Steps(uint64_t n);

    Node* m_root = nullptr;
    const TSchemaTree<IdT>* m_schema = nullptr;  // the format's, shared, not owned
    bool m_runClosed = true;
    int64_t m_runStart = 0;
    IdT m_lastId = 0;
    Node* m_currentNode = nullptr;
    uint64_t m_stepCount = 0;
    int64_t m_stepLimit = 0;
    // The parent whose children are being parsed (null at the top level),
    // the end of its declared payload, and how far its children may reach.
    Node* m_parent = nullptr;
    int64_t m_parentEnd = 0;
    int64_t m_scopeEnd = 0;

private:
    // Free elements the look-ahead reads past: a real file holds one or two
    // in a row, and the bound keeps the cost of one element constant.
    static constexpr int kMaxLookAheadHops = 8;

    int RunParse();
    void ResetTree();
    void SetContext(Node* n);
    void JoinToRun(Node* n);
    void LinkAfter(Node* anchor, Node* n);
    int LookAhead(IdT id, int64_t pos, SizeT size, const SNode* snode);
    int64_t PassOverDamage(int64_t from, int64_t to);
    bool LoadScanBlock(int64_t at, int64_t reach);

    // Blocks of the scan in memory start small and grow while the scan goes
    // on where the last one ended, so a short stretch of damage costs a
    // small read and a long one few large reads.
    static constexpr int64_t kScanBlockMin = 4096;
    static constexpr int64_t kScanBlockMax = 1 << 20;

    TNodePool<Node> m_pool;
    std::vector<uint8_t> m_scanBlock;
    int64_t m_scanStart = 0;
    int64_t m_scanChunk = kScanBlockMin;
};

template <typename IdT, typename SizeT>
TBaseRepair<IdT, SizeT>::TBaseRepair(IBaseStream* in) : CRepairCommon(in)
{
    // Damage costs about a step per byte, more where its positions look
    // like element headers and are read in full or a parent opened in it is
    // refused and scanned again; an intact recording followed by long noise
    // must still have room to be walked to its end. Four steps per byte keep
    // the walk linear.
    m_stepLimit = 4 * m_inputLength + 4096;
    ResetTree();
}

template <typename IdT, typename SizeT>
TBaseRepair<IdT, SizeT>::~TBaseRepair()
{
    m_input.reset();
    m_inputLength = 0;
    TBaseRepair::Close();
}

template <typename IdT, typename SizeT>
void TBaseRepair<IdT, SizeT>::ResetTree()
{
    m_pool.Clear();
    m_root = m_pool.New();
    m_currentNode = m_root;
    m_lastId = 0;
    m_runClosed = true;
    m_runStart = 0;
    m_parent = nullptr;
    m_parentEnd = m_inputLength;
    m_scopeEnd = m_inputLength;
    m_scanBlock.clear();
    m_scanStart = 0;
    m_scanChunk = kScanBlockMin;
}

template <typename IdT, typename SizeT>
void TBaseRepair<IdT, SizeT>::Close()
{
    ResetTree();
    CloseCommon();
}

template <typename IdT, typename SizeT>
int TBaseRepair<IdT, SizeT>::ParseStream(VPFileErrorCallback onError, void* user)
{
    // An abort asked for before the parse began (the repair object may
    // install a repairer and start it in two steps) must survive the reset.
    bool abortPending = m_state.TestAbort();
    Close();
    m_stepCount = 0;
    if (abortPending) {
        m_state.SetStatus(JRVP_STATUS_IDLE);
        return JRVP_ERR_ABORTED;
    }
    m_state.SetStatus(JRVP_STATUS_PARSING);
    if (!m_input) {
        m_state.SetStatus(JRVP_STATUS_PARSE_FAILED);
        return JRVP_ERR_OPEN_FAILED;
    }
    int r = GuardedCall(MEND_ERR_NO_MEMORY, [this] { return RunParse(); });
    // A read error is not the end of a file.
    if (m_input->Failed())
        r = MEND_ERR_READ;
    if (r >= 0) {
        // Checks of a complete tree: their result is the parse's, but the
        // tree and its records stay, so the file counts as parsed.
        int checked = GuardedCall(MEND_ERR_NO_MEMORY, [this] { return CheckParsed(); });
        if (m_input->Failed())
            checked = MEND_ERR_READ;
        m_state.SetStatus(JRVP_STATUS_PARSED);
        m_state.ClearAbort();
        m_errors.FECallBack(onError, user);
        return checked < 0 ? TranslateResult(checked) : JRVP_OK;
    }
    Close();
    // Refused (not this format, budget spent, a mandatory element missing)
    // reads as a failed parse; an abort or an internal failure leaves
    // nothing parsed.
    bool refused = r == MEND_ERR_NOT_CONTAINER || r == MEND_ERR_UNREPAIRABLE;
    m_state.SetStatus(refused ? JRVP_STATUS_PARSE_FAILED : JRVP_STATUS_IDLE);
    return TranslateResult(r);
}

template <typename IdT, typename SizeT>
int TBaseRepair<IdT, SizeT>::RunParse()
{
    if (!CheckFileFormat())
        return TestAbort() ? MEND_ERR_ABORTED : MEND_ERR_NOT_CONTAINER;
    for (;;) {
        if (m_input->GetPos() >= m_inputLength)
            break;
        if (!Step())
            return MEND_ERR_UNREPAIRABLE;
        if (TestAbort())
            return MEND_ERR_ABORTED;
        int r = ParseLabel();
        if (r < 0)
            return r;
        if (r == TREE_STEP_INVALID) {
            int64_t next = PassOverDamage(m_input->JumpOver(1), m_inputLength);
            if (next < 0)
                return static_cast<int>(next);
        }
    }
    // Damage that runs to the end of the input without a header that could
    // even be started.
    if (!m_runClosed) {
        m_runClosed = true;
        AddInvalidNode(m_runStart, m_inputLength);
    }
    if (!CheckMandatoryTopTag())
        return MEND_ERR_UNREPAIRABLE;
    for (Node* n = m_root->next; n; n = n->next)
        UpdateAll(n);
    return 0;
}

template <typename IdT, typename SizeT>
int TBaseRepair<IdT, SizeT>::CheckIdAndSizeValid(const IdT& id, const SizeT&) const
{
    return FindByIdS(id) ? 0 : 1;
}

template <typename IdT, typename SizeT>
int TBaseRepair<IdT, SizeT>::ParseLabel()
{
    if (!m_input)
        return MEND_ERR_NO_STREAM;
    if (TestAbort())
        return MEND_ERR_ABORTED;
    IdT savedId = m_lastId;
    Node* savedNode = m_currentNode;
    int64_t start = m_input->GetPos();
    IdT id = 0;
    SizeT size = 0;
    bool isParent = false;
    Node* node = nullptr;
    int r = ReadIdAndSize(id, size);
    if (r < 0)
        return r;
    if (r == TREE_STEP_READ) {
        int64_t pos = m_input->GetPos();
        const SNode* snode = FindByIdS(id);
        if (CheckNodeRelation(m_lastId, id) < 0) {
            r = TREE_STEP_INVALID;
        } else if (!m_parent && snode && snode->level != 1) {
            // Outside every parent only top-level elements stand.
            r = TREE_STEP_INVALID;
        } else if (!SizeIsHint(id) && (IsNegativeSize(size) || static_cast<int64_t>(size) > m_scopeEnd - pos)) {
            // An element reaches no further than the parent it stands in.
            r = TREE_STEP_INVALID;
        } else {
            isParent = snode && snode->firstChild;
            r = isParent ? ParseLabelFather(id, size, start, node, snode)
                         : ParseLabelChild(id, size, start, node, snode);
            if (r < 0)
                return r;
        }
    }
    if (r == TREE_STEP_READ) {
        // A parent closed the run before its children; a run open now lies
        // inside or after it and goes on.
        if (!isParent && !m_runClosed) {
            m_runClosed = true;
            if (start > m_runStart && !AddInvalidNode(m_runStart, start))
                return MEND_ERR_NO_MEMORY;
        }
        if (!isParent && node)
            JoinToRun(node);
    } else if (r == TREE_STEP_END) {
        if (!m_runClosed) {
            m_runClosed = true;
            if (!AddInvalidNode(m_runStart, m_inputLength))
                return MEND_ERR_NO_MEMORY;
        }
        m_lastId = savedId;
        m_currentNode = savedNode;
    } else {
        r = TREE_STEP_INVALID;
        if (m_runClosed) {
            m_runClosed = false;
            m_runStart = start;
        }
        m_input->SeekTo(start);
        m_lastId = savedId;
        m_currentNode = savedNode;
    }
    return r;
}

template <typename IdT, typename SizeT>
int TBaseRepair<IdT, SizeT>::ParseLabelChild(IdT id, SizeT size, int64_t start, Node*& node, const SNode* snode)
{
    if (!Step())
        return MEND_ERR_UNREPAIRABLE;
    // A free element is weak evidence: inside damage it is taken for part
    // of the damage.
    if (IsFreeId(id) && !m_runClosed)
        return TREE_STEP_INVALID;
    int64_t pos = m_input->GetPos();
    if (IsNegativeSize(size) || static_cast<int64_t>(size) > m_inputLength - pos)
        return TREE_STEP_INVALID;
    int64_t end = pos + static_cast<int64_t>(size);
    // Added before the look-ahead, so that the placement of what follows is
    // judged from where this element stands.
    node = AddNewNode(id, start, end, size);
    if (!node)
        return TREE_STEP_INVALID;
    // Ending exactly where its parent's payload ends confirms it; otherwise
    // what follows must read as elements that may follow it.
    int r = end == m_parentEnd ? TREE_STEP_READ : LookAhead(id, end, size, snode);
    if (r != TREE_STEP_READ) {
        DeleteNode(node);
        node = nullptr;
        return r < 0 ? r : TREE_STEP_INVALID;
    }
    m_input->SeekTo(end);
    return TREE_STEP_READ;
}

template <typename IdT, typename SizeT>
int TBaseRepair<IdT, SizeT>::LookAhead(IdT id, int64_t end, SizeT, const SNode* snode)
{
    // What follows must be an element of the schema that may follow this
    // one, or free elements and then such an element. The end of the input
    // confirms an element of the schema.
    const bool acceptAtEnd = snode != nullptr || IsFreeId(id);
    int64_t at = end;
    for (int hops = 0; hops < kMaxLookAheadHops; ++hops) {
        if (TestAbort())
            return MEND_ERR_ABORTED;
        m_input->SeekTo(at);
        IdT nid = 0;
        SizeT nsize = 0;
        int r = ReadIdAndSize(nid, nsize);
        if (r < 0)
            return r;
        if (r == TREE_STEP_END)
            return acceptAtEnd ? TREE_STEP_READ : TREE_STEP_INVALID;
        if (r != TREE_STEP_READ || CheckNodeRelation(id, nid) < 0)
            return TREE_STEP_INVALID;
        if (FindByIdS(nid))
            return TREE_STEP_READ;
        // A free element ahead: judge by what comes after it.
        at = m_input->GetPos();
        if (IsNegativeSize(nsize) || static_cast<int64_t>(nsize) > m_inputLength - at)
            return acceptAtEnd ? TREE_STEP_READ : TREE_STEP_INVALID;
        at += static_cast<int64_t>(nsize);
    }
    // A run of free elements, each header where the one before ends: garbage
    // does not chain like that.
    return TREE_STEP_READ;
}

template <typename IdT, typename SizeT>
bool TBaseRepair<IdT, SizeT>::Steps(uint64_t n)
{
    const uint64_t limit = static_cast<uint64_t>(m_stepLimit);
    if (n > limit - std::min(m_stepCount, limit)) {
        // Where the steps one by one would have stopped.
        m_stepCount = std::max(m_stepCount, limit) + 1;
        return false;
    }
    m_stepCount += n;
    return true;
}

// Makes the scan block hold the bytes from `at` on, with `reach` bytes
// available at each position it is read for. False when nothing of use
// could be read: the caller reads in full.
template <typename IdT, typename SizeT>
bool TBaseRepair<IdT, SizeT>::LoadScanBlock(int64_t at, int64_t reach)
{
    const int64_t have = static_cast<int64_t>(m_scanBlock.size());
    if (at >= m_scanStart && reach <= have - (at - m_scanStart))
        return true;
    const bool goesOn = at >= m_scanStart && at - m_scanStart <= have;
    m_scanChunk = goesOn ? std::min(m_scanChunk * 2, kScanBlockMax) : kScanBlockMin;
    const int64_t want = std::min(m_scanChunk + reach - 1, m_inputLength - at);
    m_scanBlock.resize(static_cast<size_t>(want));
    m_scanStart = at;
    if (want < reach || m_input->SeekTo(at) != at) {
        m_scanBlock.clear();
        return false;
    }
    const unsigned int got = m_input->Read(m_scanBlock.data(), static_cast<unsigned int>(want));
    m_scanBlock.resize(got);
    return static_cast<int64_t>(got) >= reach;
}

// Passes over the positions from `from` (below `to`) at which the scan in
// m_parent would take nothing, as the scan one byte at a time would: the
// same steps, and the damaged run open from the first. Returns the first
// position that needs a full read (or `to`), the input standing there, or a
// negative internal code.
template <typename IdT, typename SizeT>
int64_t TBaseRepair<IdT, SizeT>::PassOverDamage(int64_t from, int64_t to)
{
    const int64_t reach = HeaderReach();
    if (!m_input)
        return MEND_ERR_NO_STREAM;
    if (reach <= 0)
        return from;
    const int64_t stop = std::min(to, m_inputLength - reach + 1);
    int64_t p = from;
    while (p < stop) {
        if (TestAbort())
            return MEND_ERR_ABORTED;
        if (!LoadScanBlock(p, reach))
            break;
        const int64_t offset = p - m_scanStart;
        const int64_t testable = static_cast<int64_t>(m_scanBlock.size()) - offset - reach + 1;
        const size_t n = static_cast<size_t>(std::min(testable, stop - p));
        uint64_t steps = 0;
        const size_t avail = m_scanBlock.size() - static_cast<size_t>(offset);
        const size_t i = FirstCandidate(m_scanBlock.data() + offset, n, avail, p, &steps);
        if (i > 0) {
            if (!Steps(steps))
                return MEND_ERR_UNREPAIRABLE;
            if (m_runClosed) {
                m_runClosed = false;
                m_runStart = p;
            }
            p += static_cast<int64_t>(i);
        }
        if (i < n)
            break;
    }
    if (m_input->SeekTo(p) != p)
        return MEND_ERR_READ;
    return p;
}

template <typename IdT, typename SizeT>
int TBaseRepair<IdT, SizeT>::ParseLabelFather(IdT id, SizeT size, int64_t start, Node*& node, const SNode* snode)
{
    // An empty parent is legal (its children all take their defaults, as in
    // a Matroska Targets that applies to the whole file): with nothing to
    // parse inside, it is confirmed like a leaf.
    if (!IsNegativeSize(size) && size == 0)
        return ParseLabelChild(id, size, start, node, snode);
    if (!Step())
        return MEND_ERR_UNREPAIRABLE;
    int64_t pos = m_input->GetPos();
    int64_t end = (IsNegativeSize(size) || static_cast<int64_t>(size) > m_inputLength - pos)
                      ? m_inputLength
                      : pos + static_cast<int64_t>(size);
    node = AddNewNode(id, start, end, static_cast<SizeT>(end - pos));
    if (!node)
        return TREE_STEP_INVALID;  // nowhere to place it: nothing valid here
    node->declaredSize = size;
    bool savedRunClosed = m_runClosed;
    int64_t savedRunStart = m_runStart;
    Node* closer = nullptr;
    if (!m_runClosed) {
        m_runClosed = true;
        if (start > m_runStart) {
            closer = AddInvalidNode(m_runStart, start);
            if (!closer)
                return MEND_ERR_NO_MEMORY;
        }
    }

    Node* savedParent = m_parent;
    int64_t savedParentEnd = m_parentEnd;
    int64_t savedScopeEnd = m_scopeEnd;
    const bool hint = SizeIsHint(id);
    const int64_t crossed = DamageCrossed(node);
    bool gaveUp = false;
    m_parent = node;
    m_parentEnd = end;
    if (!hint)
        m_scopeEnd = end;
    int result = TREE_STEP_READ;
    int64_t p = pos;
    for (;;) {
        if (TestAbort()) {
            result = MEND_ERR_ABORTED;
            break;
        }
        IdT cid = 0;
        SizeT csize = 0;
        int rel = -1;
        bool found = false;
        bool exhausted = false;
        // Scan for a child header, byte by byte through damage, never past
        // the parent's end.
        while (p < end) {
            if (!m_runClosed) {
                // In damage: what cannot be a header is passed over in memory,
                // up to the damage this parent crosses (the run began inside
                // it: a run open at its start was closed there).
                const int64_t to = crossed < end - m_runStart ? m_runStart + crossed : end;
                int64_t next = PassOverDamage(p, to);
                if (next < 0) {
                    result = static_cast<int>(next);
                    break;
                }
                p = next;
                if (p >= to && to < end) {
                    gaveUp = true;
                    break;
                }
                if (p >= end)
                    break;
            }
            m_input->SeekTo(p);
            int r = ReadIdAndSize(cid, csize);
            if (r < 0) {
                result = r;
                break;
            }
            if (r == TREE_STEP_END) {
                exhausted = true;
                break;
            }
            if (r == TREE_STEP_READ) {
                rel = CheckNodeRelation(id, cid);
                if (rel >= 0) {
                    found = true;
                    break;
                }
                if (OrphansStartAt(id, cid, csize, p)) {
                    rel = 1;
                    found = true;
                    break;
                }
            }
            if (!Step()) {
                result = MEND_ERR_UNREPAIRABLE;
                break;
            }
            if (TestAbort()) {
                result = MEND_ERR_ABORTED;
                break;
            }
            if (m_runClosed) {
                m_runClosed = false;
                m_runStart = p;
            }
            ++p;
        }
        if (result < 0 || gaveUp)
            break;
        // Past the end a hint-sized parent goes on only with children of its
        // own that follow directly.
        if (!found && !exhausted && p >= end && hint && p < m_scopeEnd) {
            m_input->SeekTo(p);
            int r = ReadIdAndSize(cid, csize);
            if (r < 0) {
                result = r;
                break;
            }
            found = r == TREE_STEP_READ && FindByIdS(cid) && (rel = CheckNodeRelation(id, cid)) == 1;
        }
        m_input->SeekTo(p);
        if (!found || rel >= 2)
            break;
        int r = ParseLabel();
        if (r < 0) {
            result = r;
            break;
        }
        if (r == TREE_STEP_END)
            break;
        if (r == TREE_STEP_INVALID) {
            // Past its declared end a parent only went on with what reads as
            // its own: what does not is left to the level above, unspoiled.
            if (p >= end)
                break;
            if (m_runClosed) {
                m_runClosed = false;
                m_runStart = p;
            }
            ++p;
            m_input->SeekTo(p);
        } else {
            p = m_input->GetPos();
        }
    }
    m_parent = savedParent;
    m_parentEnd = savedParentEnd;
    m_scopeEnd = savedScopeEnd;
    if (result < 0)
        return result;
    if (gaveUp) {
        // The run is left open, to be scanned from its start by the level
        // above; kept, the parent ends where the run begins.
        p = m_runStart;
        node->end = p;
    }
    m_input->SeekTo(p);
    if (node->firstChild && ((CheckNodeValid(node) && ParentUsable(node)) || KeepDamagedParent(node, gaveUp)))
        return TREE_STEP_READ;
    // Refused: everything parsed under it goes, and the damaged run now
    // covers it (or keeps the start of a run that was already open).
    DeleteNode(node);
    node = nullptr;
    DeleteNode(closer);
    m_runStart = savedRunClosed ? start : savedRunStart;
    m_runClosed = false;
    return TREE_STEP_INVALID;
}

template <typename IdT, typename SizeT>
int TBaseRepair<IdT, SizeT>::CheckNodeRelation(const IdT& prevId, const IdT& newId) const
{
    const SNode* s1 = FindByIdS(prevId);
    const SNode* s2 = FindByIdS(newId);
    int shift = 0;
    bool prevUnknown = false;
    if (!s1) {
        prevUnknown = true;
        if (!m_currentNode || !m_currentNode->context)
            return (!s2 || s2->level == 1) ? 2 : -1;
        s1 = m_currentNode->context;
        shift = m_currentNode->contextIsParent ? 1 : 0;
    }
    if (!s2)
        return s1->firstChild ? shift + 1 : 2;
    int d = static_cast<int>(s2->level) - static_cast<int>(s1->level);
    if (d > 1)
        return -1;
    if (d == 1) {
        if (FindFatherS(s2, 1) == s1) {
            if (!prevUnknown)
                return 1;
            return shift == 1 ? 2 : -1;
        }
        return prevUnknown ? -2 : -1;
    }
    if (d < 0) {
        const SNode* up = FindFatherS(s1, static_cast<int>(s1->level - s2->level));
        return IsBrotherS(up, s2) ? 3 : -3;
    }
    if (s1 != s2)
        return IsBrotherS(s1, s2) ? shift + 2 : -2 - shift;
    return s1->repeatable ? shift + 2 : -2 - shift;
}

template <typename IdT, typename SizeT>
void TBaseRepair<IdT, SizeT>::SetContext(Node* n)
{
    if (const SNode* s = FindByIdS(n->id)) {
        n->context = s;
        n->contextIsParent = false;
    } else if (n->prev) {
        n->context = n->prev->context;
        n->contextIsParent = n->prev->contextIsParent;
    } else if (n->parent) {
        n->context = FindByIdS(n->parent->id);
        n->contextIsParent = true;
    } else {
        n->context = nullptr;
        n->contextIsParent = false;
    }
}

// A leaf just read and confirmed, with any damaged run before it closed:
// merged into the run record before it when it goes on that run.
template <typename IdT, typename SizeT>
void TBaseRepair<IdT, SizeT>::JoinToRun(Node* n)
{
    Node* prev = n->prev;
    if (n != m_currentNode || !prev || n->firstChild || !n->valid || n->leftOut || !JoinsRuns(n))
        return;
    if (prev->id != n->id || prev->firstChild || !prev->valid || prev->leftOut || prev->end != n->start ||
        prev->joined == UINT32_MAX)
        return;
    prev->end = n->end;
    ++prev->joined;
    prev->next = n->next;
    if (n->next)
        n->next->prev = prev;
    n->next = n->prev = nullptr;
    m_currentNode = prev;
    m_pool.Release(n);
}

template <typename IdT, typename SizeT>
void TBaseRepair<IdT, SizeT>::LinkAfter(Node* anchor, Node* n)
{
    n->next = anchor->next;
    if (n->next)
        n->next->prev = n;
    anchor->next = n;
    n->prev = anchor;
    n->owner = anchor->owner;
}

template <typename IdT, typename SizeT>
TLabelNode<IdT, SizeT>* TBaseRepair<IdT, SizeT>::AddNewNode(IdT id, int64_t start, int64_t end, SizeT size)
{
    int rel = CheckNodeRelation(m_lastId, id);
    if (rel < 0 || !m_currentNode)
        return nullptr;
    Node* anchor = nullptr;  // the node it follows; null: first child of m_currentNode
    const SNode* snew = FindByIdS(id);
    if (!snew) {
        // An element outside the schema belongs to the parent whose payload
        // it lies in, after that parent's last child.
        Node* p = m_parent;
        if (p && !p->firstChild) {
            rel = 1;
            if (p != m_currentNode) {
                // Cannot happen while the parent is the last node added or
                // an ancestor of it; refuse rather than misplace.
                return nullptr;
            }
        } else {
            // Its last child: the one on the way up from the last node added.
            Node* last = m_currentNode;
            while (last && last->owner != p)
                last = last->owner;
            if (!last)
                return nullptr;
            anchor = last;
            rel = 2;
        }
    } else if (rel == 2) {
        anchor = m_currentNode;
    } else if (rel == 3) {
        int lnew = static_cast<int>(snew->level);
        int lcur;
        if (const SNode* scur = FindByIdS(m_currentNode->id)) {
            lcur = static_cast<int>(scur->level);
        } else {
            Node* father = FindFather(m_currentNode, 1);
            const SNode* sf = father ? FindByIdS(father->id) : nullptr;
            if (!sf || father == m_currentNode)
                return nullptr;  // no level to climb from
            lcur = static_cast<int>(sf->level) + 1;
        }
        if (lcur <= lnew)
            return nullptr;
        anchor = FindFather(m_currentNode, lcur - lnew);
    }
    Node* n = m_pool.New();
    n->id = id;
    n->size = size;
    n->declaredSize = size;
    n->start = start;
    n->end = end;
    n->headerLength = std::max<int64_t>(0, end - start - static_cast<int64_t>(size));
    n->valid = true;
    if (anchor) {
        LinkAfter(anchor, n);
    } else {
        m_currentNode->firstChild = n;
        n->parent = m_currentNode;
        n->owner = m_currentNode;
    }
    SetContext(n);
    m_lastId = id;
    m_currentNode = n;
    // The position is left to the caller: a leaf reads on at its end, a
    // parent at its payload, and a seek away and back would cost the
    // buffered input its block.
    return n;
}

template <typename IdT, typename SizeT>
TLabelNode<IdT, SizeT>* TBaseRepair<IdT, SizeT>::AddInvalidNode(int64_t start, int64_t end)
{
    Node* cur = m_currentNode;
    if (!cur)
        return nullptr;
    Node* n = m_pool.New();
    n->start = start;
    n->end = end;
    n->valid = false;
    if (cur == m_root) {
        LinkAfter(m_root, n);
    } else if (end == m_inputLength && start >= cur->start) {
        // Damage up to the end of the input, after the last element read,
        // at the level of the innermost parent whose payload it starts in.
        Node* anchor = cur;
        for (Node* up = FindFather(anchor, 1); up && up != anchor && up->end <= start; up = FindFather(anchor, 1))
            anchor = up;
        LinkAfter(anchor, n);
    } else if (cur->prev) {
        // Immediately before the element that ends the run, at its level.
        LinkAfter(cur->prev, n);
    } else if (cur->parent) {
        Node* p = cur->parent;
        p->firstChild = n;
        n->parent = p;
        n->owner = p;
        cur->parent = nullptr;
        n->next = cur;
        cur->prev = n;
    } else {
        LinkAfter(cur, n);
    }
    SetContext(n);
    return n;
}

template <typename IdT, typename SizeT>
TLabelNode<IdT, SizeT>* TBaseRepair<IdT, SizeT>::FindById(const IdT& id, Node* from) const
{
    std::vector<Node*> stack;
    if (from)
        stack.push_back(from);
    while (!stack.empty()) {
        Node* n = stack.back();
        stack.pop_back();
        if (n->id == id && n != m_root)
            return n;
        if (n->next)
            stack.push_back(n->next);
        if (n->firstChild)
            stack.push_back(n->firstChild);
    }
    return nullptr;
}

template <typename IdT, typename SizeT>
TLabelNode<IdT, SizeT>* TBaseRepair<IdT, SizeT>::FindFather(Node* n, int levels) const
{
    if (!n || n == m_root)
        return n;
    for (int i = 0; i < levels && n->owner; ++i)
        n = n->owner;
    return n;
}

template <typename IdT, typename SizeT>
const TStandardLabelNode<IdT>* TBaseRepair<IdT, SizeT>::FindFatherS(const SNode* s, int levels) const
{
    if (!s)
        return s;
    for (int i = 0; i < levels; ++i) {
        const SNode* first = s;
        while (first->prev)
            first = first->prev;
        if (!first->parent)
            return s;
        s = first->parent;
    }
    return s;
}

template <typename IdT, typename SizeT>
bool TBaseRepair<IdT, SizeT>::IsBrotherS(const SNode* a, const SNode* b) const
{
    if (!a || !b)
        return false;
    for (const SNode* s = a; s; s = s->prev)
        if (s == b)
            return true;
    for (const SNode* s = a->next; s; s = s->next)
        if (s == b)
            return true;
    return false;
}

template <typename IdT, typename SizeT>
bool TBaseRepair<IdT, SizeT>::CheckNodeValid(Node* node) const
{
    if (!node || !node->firstChild)
        return true;
    bool anyValid = false;
    for (Node* c = node->firstChild; c; c = c->next)
        anyValid = anyValid || c->valid;
    if (!anyValid)
        return false;
    const SNode* s = FindByIdS(node->id);
    if (!s)
        return true;
    for (const SNode* sc = s->firstChild; sc; sc = sc->next) {
        if (!sc->mandatory)
            continue;
        bool present = false;
        for (Node* c = node->firstChild; c && !present; c = c->next)
            present = c->id == sc->id;
        if (!present)
            return false;
    }
    return true;
}

template <typename IdT, typename SizeT>
bool TBaseRepair<IdT, SizeT>::CheckMandatoryTopTag() const
{
    if (!m_schema)
        return false;
    for (const SNode* s = m_schema->Top(); s; s = s->next) {
        if (!s->mandatory)
            continue;
        bool present = false;
        for (Node* n = m_root->next; n && !present; n = n->next)
            present = n->id == s->id;
        if (!present)
            return false;
    }
    return true;
}

template <typename IdT, typename SizeT>
int64_t TBaseRepair<IdT, SizeT>::UpdateAll(Node* node)
{
    // Recursion follows the depth of the tree, which the schema bounds;
    // sibling chains are loops.
    if (!node)
        return 0;
    if (!node->firstChild) {
        if (!node->valid) {
            AddError(JRVP_DAMAGE_SEGMENT, std::make_unique<VPInvalidDataSegment>(node->start, node->end));
            node->written = 0;
        } else {
            node->written = node->end - node->start;
        }
        return node->written;
    }
    int64_t sum = 0;
    int64_t dropped = 0;
    bool allValid = true;
    bool childRebuilt = false;
    Node* last = nullptr;
    for (Node* c = node->firstChild; c; c = c->next) {
        int64_t t = UpdateAll(c);
        if (!c->valid || t == 0)
            allValid = false;
        if (c->valid && (c->leftOut || !KeepInRebuiltParent(c)))
            dropped += t;
        childRebuilt = childRebuilt || c->rebuilt || c->leftOut;
        sum += t;
        last = c;
    }
    node->valid = allValid;
    node->rebuilt = !allValid || childRebuilt || sum != static_cast<int64_t>(node->declaredSize);
    int64_t header = node->headerLength;
    if (node->rebuilt) {
        sum -= dropped;
        // The header that will be written, so that the totals of nested
        // rebuilt parents add up.
        header = std::max(0, GetHeaderLength(node->id, static_cast<SizeT>(sum)));
    }
    node->size = static_cast<SizeT>(sum);
    node->end = last->end;
    if (!allValid)
        AddErrorAt(JRVP_DAMAGE_STRUCTURE, node->start);
    node->written = sum + header;
    return node->written;
}

template <typename IdT, typename SizeT>
void TBaseRepair<IdT, SizeT>::DeleteNode(Node* node)
{
    if (!node)
        return;
    std::vector<Node*> stack;
    if (node == m_root) {
        if (node->next)
            stack.push_back(node->next);
        if (node->firstChild)
            stack.push_back(node->firstChild);
        node->next = nullptr;
        node->firstChild = nullptr;
    } else {
        if (node->prev && node->prev->next == node)
            node->prev->next = nullptr;
        if (node->parent && node->parent->firstChild == node)
            node->parent->firstChild = nullptr;
        stack.push_back(node);
    }
    while (!stack.empty()) {
        Node* n = stack.back();
        stack.pop_back();
        if (n->next)
            stack.push_back(n->next);
        if (n->firstChild)
            stack.push_back(n->firstChild);
        if (n == m_currentNode)
            m_currentNode = m_root;
        m_pool.Release(n);
    }
}

template <typename IdT, typename SizeT>
int TBaseRepair<IdT, SizeT>::WriteRightNode(Node* node)
{
    if (!m_input)
        return MEND_ERR_NO_STREAM;
    if (!node || !node->valid)
        return 0;
    if (m_input->SeekTo(node->start) != node->start)
        return MEND_ERR_READ;
    int r = WriteToFile(node->end - node->start);
    return r < 0 ? r : 0;
}

template <typename IdT, typename SizeT>
int TBaseRepair<IdT, SizeT>::WriteChildren(Node* first)
{
    // Neighbours that go out as they stand are copied in one run: a cluster
    // of a thousand blocks costs one long copy, not a thousand short ones.
    int64_t runStart = 0, runEnd = 0;
    auto flush = [&]() -> int {
        const int64_t from = runStart, to = runEnd;
        runStart = runEnd = 0;
        if (to <= from)
            return 0;
        if (m_input->SeekTo(from) != from)
            return MEND_ERR_READ;
        const int r = WriteToFile(to - from);
        return r < 0 ? r : 0;
    };
    for (Node* c = first; c; c = c->next) {
        if (TestAbort())
            return MEND_ERR_ABORTED;
        if (c->leftOut || !KeepInRebuiltParent(c))
            continue;
        if (c->valid && !c->rebuilt && c->end > c->start) {
            if (runEnd > runStart && c->start == runEnd) {
                runEnd = c->end;
                continue;
            }
            int r = flush();
            if (r < 0)
                return r;
            runStart = c->start;
            runEnd = c->end;
            continue;
        }
        int r = flush();
        if (r == 0)
            r = WriteNode(c);
        if (r < 0)
            return r;
    }
    return flush();
}

template <typename IdT, typename SizeT>
int TBaseRepair<IdT, SizeT>::WriteNode(Node* node)
{
    if (!m_input)
        return MEND_ERR_NO_STREAM;
    if (!node)
        return 0;
    if (node->valid && !node->rebuilt)
        return WriteRightNode(node);
    if (!node->firstChild)
        return 0;  // damaged stretches are dropped
    int r = AddIDAndSize(node->id, node->size);
    if (r < 0)
        return r;
    return WriteChildren(node->firstChild);
}

extern template class TBaseRepair<unsigned int, unsigned int>;
extern template class TBaseRepair<unsigned int, long long>;

#endif
