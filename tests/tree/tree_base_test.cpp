// The element-tree base over a toy format: one-byte ids and sizes, a file
// header, boxes that hold a stamp, items and groups of leaves, and padding
// that may stand anywhere.
#include <stdint.h>

#include <atomic>
#include <chrono>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/BaseStream.h"
#include "core/TestDoubles.h"
#include "support/Sanitizers.h"
#include "tree/TBaseRepair.h"

using mendtest::FaultyStream;
using mendtest::kUnderSanitizer;
using mendtest::MemoryVideoStream;

namespace {

enum : unsigned int { HEAD = 0x10, BOX = 0x20, STAMP = 0x21, ITEM = 0x22, GROUP = 0x23, LEAF = 0x24, PAD = 0x7F };

const TSchemaTree<unsigned int>& ToySchema()
{
    static TSchemaTree<unsigned int> tree;
    static const bool built = tree.Build(0, {
                                                {0, {false, false, {HEAD, BOX}}},
                                                {HEAD, {true, false, {}}},
                                                {BOX, {false, true, {STAMP, ITEM, GROUP}}},
                                                {STAMP, {true, false, {}}},
                                                {ITEM, {false, true, {}}},
                                                {GROUP, {false, true, {LEAF}}},
                                                {LEAF, {true, true, {}}},
                                            });
    EXPECT_TRUE(built);
    return tree;
}

class ToyRepair : public TBaseRepair<unsigned int, unsigned int> {
public:
    explicit ToyRepair(IBaseStream* in) : TBaseRepair(in) { m_schema = &ToySchema(); }

protected:
    bool CheckFileFormat() override
    {
        m_input->SeekTo(0);
        return ParseLabel() == TREE_STEP_READ && m_root->next && m_root->next->id == HEAD;
    }
    int ReadIdAndSize(unsigned int& id, unsigned int& size) override
    {
        int64_t p = m_input->GetPos();
        if (m_inputLength - p < 2) {
            m_input->SeekTo(m_inputLength);
            return TREE_STEP_END;
        }
        uint8_t h[2];
        if (m_input->Read(h, 2) != 2)
            return MEND_ERR_READ;
        id = h[0];
        size = h[1];
        if (CheckIdAndSizeValid(id, size) != 0) {
            m_input->SeekTo(p);
            return TREE_STEP_INVALID;
        }
        return TREE_STEP_READ;
    }
    int CheckIdAndSizeValid(const unsigned int& id, const unsigned int&) const override
    {
        return id == PAD || FindByIdS(id) ? 0 : 1;
    }
    bool IsFreeId(unsigned int id) const override { return id == PAD; }
    int AddIDAndSize(unsigned int id, unsigned int size) override
    {
        if (size > 255)
            return MEND_ERR_REPAIR_REFUSED;
        uint8_t h[2] = {static_cast<uint8_t>(id), static_cast<uint8_t>(size)};
        return m_output->Write(h, 2) == 2 ? 0 : MEND_ERR_WRITE;
    }
    int GetHeaderLength(unsigned int, unsigned int size) const override
    {
        return size > 255 ? MEND_ERR_REPAIR_REFUSED : 2;
    }
    int RepairLevel1() override
    {
        for (Node* n = m_root->next; n; n = n->next) {
            int r = WriteNode(n);
            if (r < 0)
                return r;
        }
        SolveError(JRVP_DAMAGE_STRUCTURE);
        SolveError(JRVP_DAMAGE_SEGMENT);
        return 0;
    }
    int RepairLevel2() override { return 0; }
    int RepairLevel3(const char*) override { return 0; }
};

using Node = TLabelNode<unsigned int, unsigned int>;

// Builds toy files: E(id, payload) for a leaf, P(id, children) for a parent.
std::vector<uint8_t> E(unsigned int id, std::vector<uint8_t> payload)
{
    std::vector<uint8_t> out{static_cast<uint8_t>(id), static_cast<uint8_t>(payload.size())};
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}
std::vector<uint8_t> P(unsigned int id, std::vector<std::vector<uint8_t>> children)
{
    std::vector<uint8_t> payload;
    for (auto& c : children)
        payload.insert(payload.end(), c.begin(), c.end());
    return E(id, payload);
}
std::vector<uint8_t> Cat(std::vector<std::vector<uint8_t>> parts)
{
    std::vector<uint8_t> out;
    for (auto& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

std::vector<unsigned int> Ids(const Node* n)
{
    std::vector<unsigned int> ids;
    for (; n; n = n->next)
        ids.push_back(n->id);
    return ids;
}

const Node* Nth(const Node* n, int i)
{
    while (n && i-- > 0)
        n = n->next;
    return n;
}

struct Parsed {
    explicit Parsed(std::vector<uint8_t> bytes) : in(std::move(bytes)), repair(&in) { result = repair.ParseStream(nullptr, nullptr); }
    std::vector<int> Codes()
    {
        std::vector<int> codes;
        for (int i = 0; i < repair.GetErrorsCount(); ++i)
            codes.push_back(repair.GetFileError(i)->code);
        return codes;
    }
    const VPInvalidDataSegment* Segment(int i)
    {
        VPFileError* e = repair.GetFileError(i);
        return e && e->code == JRVP_DAMAGE_SEGMENT ? static_cast<VPInvalidDataSegment*>(e->detail) : nullptr;
    }
    std::vector<uint8_t> Repaired(int* result)
    {
        MemoryVideoStream mem;
        CBaseStream out(&mem);
        *result = repair.RepairFile(&out, 1, nullptr);
        return mem.Bytes();
    }
    FaultyStream in;
    ToyRepair repair;
    int result = 0;
};

const std::vector<uint8_t> kHead = E(HEAD, {1, 2, 3});

TEST(TreeBase, PlacesElementsByTheSchemaAndPaddingWhereItStands)
{
    Parsed p(Cat({kHead,
                  P(BOX, {E(STAMP, {9}), E(ITEM, {1, 2}), P(GROUP, {E(LEAF, {5}), E(PAD, {})}), E(PAD, {0}),
                          E(ITEM, {7})}),
                  P(BOX, {E(PAD, {0, 0}), E(STAMP, {8})}), E(PAD, {0, 0})}));
    ASSERT_EQ(p.result, 0);
    EXPECT_TRUE(p.Codes().empty());
    const Node* top = p.repair.FirstTopNode();
    EXPECT_EQ(Ids(top), (std::vector<unsigned int>{HEAD, BOX, BOX, PAD}));
    EXPECT_EQ(Ids(Nth(top, 1)->firstChild), (std::vector<unsigned int>{STAMP, ITEM, GROUP, PAD, ITEM}));
    EXPECT_EQ(Ids(Nth(Nth(top, 1)->firstChild, 2)->firstChild), (std::vector<unsigned int>{LEAF, PAD}));
    // Padding as the first child of a parent.
    EXPECT_EQ(Ids(Nth(top, 2)->firstChild), (std::vector<unsigned int>{PAD, STAMP}));
    EXPECT_EQ(p.repair.GetStatus(), JRVP_STATUS_PARSED);

    int r = 0;
    EXPECT_TRUE(p.Repaired(&r).empty());  // nothing to mend, nothing written
    EXPECT_EQ(r, 0);
}

TEST(TreeBase, DamagedStretchesBecomeOneRecordEachWithExactBounds)
{
    const std::vector<uint8_t> box1 = P(BOX, {E(STAMP, {1}), E(ITEM, {2})});
    const std::vector<uint8_t> box2 = P(BOX, {E(STAMP, {3})});
    const std::vector<uint8_t> garbage = {0x00, 0x99, 0x01, 0x00, 0x55};
    const int64_t gStart = static_cast<int64_t>(kHead.size() + box1.size());
    const int64_t gEnd = gStart + static_cast<int64_t>(garbage.size());
    const int64_t length = gEnd + static_cast<int64_t>(box2.size() + garbage.size());

    // Between two top-level elements, and again up to the end of the input.
    Parsed p(Cat({kHead, box1, garbage, box2, garbage}));
    ASSERT_EQ(p.result, 0);
    EXPECT_EQ(p.Codes(), (std::vector<int>{JRVP_DAMAGE_SEGMENT, JRVP_DAMAGE_SEGMENT}));
    ASSERT_TRUE(p.Segment(0) && p.Segment(1));
    EXPECT_EQ(p.Segment(0)->start, gStart);
    EXPECT_EQ(p.Segment(0)->end, gEnd);
    EXPECT_EQ(p.Segment(1)->start, length - static_cast<int64_t>(garbage.size()));
    EXPECT_EQ(p.Segment(1)->end, length);
    EXPECT_EQ(Ids(p.repair.FirstTopNode()), (std::vector<unsigned int>{HEAD, BOX, 0, BOX, 0}));

    int r = -1;
    EXPECT_EQ(p.Repaired(&r), Cat({kHead, box1, box2}));
    EXPECT_EQ(r, 0);
}

TEST(TreeBase, ParentWithoutItsMandatoryChildJoinsTheDamage)
{
    const std::vector<uint8_t> bad = P(BOX, {E(ITEM, {1}), E(ITEM, {2})});
    const std::vector<uint8_t> good = P(BOX, {E(STAMP, {3}), E(ITEM, {4})});
    Parsed p(Cat({kHead, bad, good}));
    ASSERT_EQ(p.result, 0);
    ASSERT_EQ(p.Codes(), (std::vector<int>{JRVP_DAMAGE_SEGMENT}));
    EXPECT_EQ(p.Segment(0)->start, static_cast<int64_t>(kHead.size()));
    EXPECT_EQ(p.Segment(0)->end, static_cast<int64_t>(kHead.size() + bad.size()));
}

TEST(TreeBase, DamageInsideNestedParentsRebuildsThemWithTrueSizes)
{
    // Garbage inside the group's second leaf; the leaf's, the group's and
    // the box's sizes still count it.
    std::vector<uint8_t> group = P(GROUP, {E(LEAF, {1}), E(LEAF, {2, 2, 0, 0, 0, 2, 2, 2}), E(LEAF, {3})});
    group[2 + 3 + 1] = 5;  // the leaf's header counts only part of it
    std::vector<uint8_t> box = P(BOX, {E(STAMP, {7}), group, E(ITEM, {8})});
    Parsed p(Cat({kHead, box}));
    ASSERT_EQ(p.result, 0);
    EXPECT_EQ(p.Codes(), (std::vector<int>{JRVP_DAMAGE_SEGMENT, JRVP_DAMAGE_STRUCTURE, JRVP_DAMAGE_STRUCTURE}));

    int r = -1;
    std::vector<uint8_t> out = p.Repaired(&r);
    ASSERT_EQ(r, 0);
    EXPECT_EQ(out, Cat({kHead, P(BOX, {E(STAMP, {7}), P(GROUP, {E(LEAF, {1}), E(LEAF, {3})}), E(ITEM, {8})})}));
    for (int i = 0; i < p.repair.GetErrorsCount(); ++i)
        EXPECT_TRUE(p.repair.GetFileError(i)->solved);
}

TEST(TreeBase, RefusedFilesAndEmptyInput)
{
    Parsed empty(std::vector<uint8_t>{});
    EXPECT_EQ(empty.result, JRVP_ERR_UNKNOWN_FORMAT);
    Parsed noHead(P(BOX, {E(STAMP, {1})}));
    EXPECT_EQ(noHead.result, JRVP_ERR_UNKNOWN_FORMAT);
    EXPECT_EQ(noHead.repair.GetStatus(), JRVP_STATUS_PARSE_FAILED);
    // Mostly garbage that looks like boxes without their stamp, each
    // scanned and refused: it costs more than a step per byte, yet the
    // budget leaves room to walk it to its end and record it.
    std::vector<uint8_t> noise;
    for (int i = 0; i < 2000; ++i)
        noise.insert(noise.end(), {BOX, 0xFF});
    const std::vector<uint8_t> file = Cat({kHead, P(BOX, {E(STAMP, {1})}), noise});
    Parsed garbage(file);
    EXPECT_EQ(garbage.result, 0);
    EXPECT_EQ(garbage.Codes(), (std::vector<int>{JRVP_DAMAGE_SEGMENT}));
    EXPECT_GT(garbage.repair.StepCount(), file.size());
    // With a budget of a step per byte, the same walk runs out: the parse
    // is refused, not left half done.
    struct Tight : ToyRepair {
        explicit Tight(IBaseStream* in) : ToyRepair(in) { m_stepLimit = m_inputLength; }
    };
    FaultyStream in(file);
    Tight tight(&in);
    EXPECT_EQ(tight.ParseStream(nullptr, nullptr), JRVP_ERR_UNREPAIRABLE);
    EXPECT_EQ(tight.GetErrorsCount(), 0);
}

TEST(TreeBase, AbortEndsTheParseWithNothingParsed)
{
    FaultyStream in(Cat({kHead, P(BOX, {E(STAMP, {1})})}));
    ToyRepair repair(&in);
    // The repair object's request, standing before the parse starts.
    std::atomic<bool> request{true};
    repair.SetAbortSource(&request);
    EXPECT_EQ(repair.ParseStream(nullptr, nullptr), JRVP_ERR_ABORTED);
    EXPECT_EQ(repair.GetStatus(), JRVP_STATUS_IDLE);
    request = false;  // its next operation starts with the request cleared
    repair.AbortTask();  // at rest: ignored, so it cannot linger
    EXPECT_EQ(repair.ParseStream(nullptr, nullptr), 0);
    EXPECT_EQ(repair.GetStatus(), JRVP_STATUS_PARSED);
    EXPECT_EQ(repair.GetProcess(), 0);
}

TEST(TreeBase, LongChainsOfFreeElementsParseInLinearTime)
{
    // A toy repairer that counts the headers it reads.
    struct Counted : ToyRepair {
        using ToyRepair::ToyRepair;
        int ReadIdAndSize(unsigned int& id, unsigned int& size) override
        {
            ++headers;
            return ToyRepair::ReadIdAndSize(id, size);
        }
        int64_t headers = 0;
    };
    // A million padding elements in two runs: placing each must not walk
    // the chain before it, and its look-ahead must not read the run after
    // it.
    constexpr int64_t kPads = 500000;
    std::vector<uint8_t> pads;
    for (int64_t i = 0; i < kPads; ++i)
        pads.insert(pads.end(), {PAD, 2, 0, 0});
    std::vector<uint8_t> box = P(BOX, {E(STAMP, {1}), E(PAD, {}), E(PAD, {}), E(ITEM, {2})});
    const int64_t elements = 2 * kPads + 11;
    FaultyStream in(Cat({kHead, box, pads, box, pads}));
    Counted repair(&in);
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(repair.ParseStream(nullptr, nullptr), 0);
    const auto elapsed = std::chrono::steady_clock::now() - started;
    EXPECT_EQ(repair.GetErrorsCount(), 0);
    // Each element reads its own header and at most eight ahead (9 per
    // element now); a look-ahead through the whole run reads about 10^5.
    EXPECT_LE(repair.headers, 40 * elements);
    // Placing by walking the chain reads nothing more, so only the clock
    // sees it: a hang guard. The parse takes about a second here (ten under
    // the sanitizers); walking the chain before each element took 10 s for
    // a tenth of these elements, and grows with their square.
    EXPECT_LT(elapsed, std::chrono::seconds(kUnderSanitizer ? 240 : 60));
}

// Random toy files, randomly damaged: the parse ends within its budget, and
// whatever the repair writes parses again without damage.
TEST(TreeBase, RandomCorruptionStaysWithinBudgetAndRepairsCleanly)
{
    std::mt19937 rng(20261210);
    auto below = [&rng](uint32_t n) { return n ? rng() % n : 0; };
    auto bytes = [&](uint32_t n) {
        std::vector<uint8_t> v(n);
        for (auto& b : v)
            b = static_cast<uint8_t>(rng());
        return v;
    };
    int repaired = 0;
    for (int iteration = 0; iteration < 400; ++iteration) {
        std::vector<std::vector<uint8_t>> parts{E(HEAD, bytes(1 + below(4)))};
        for (uint32_t b = 0, boxes = 1 + below(6); b < boxes; ++b) {
            std::vector<std::vector<uint8_t>> children{E(STAMP, bytes(1 + below(3)))};
            for (uint32_t c = 0, n = below(6); c < n; ++c) {
                switch (below(3)) {
                case 0: children.push_back(E(ITEM, bytes(below(7)))); break;
                case 1: {
                    std::vector<std::vector<uint8_t>> leaves;
                    for (uint32_t l = 0, k = 1 + below(3); l < k; ++l)
                        leaves.push_back(E(LEAF, bytes(below(5))));
                    children.push_back(P(GROUP, leaves));
                    break;
                }
                default: children.push_back(E(PAD, bytes(below(4)))); break;
                }
            }
            parts.push_back(P(BOX, children));
            if (below(4) == 0)
                parts.push_back(E(PAD, bytes(below(3))));
        }
        std::vector<uint8_t> file = Cat(parts);
        for (uint32_t m = 0, n = 1 + below(2); m < n && file.size() > 8; ++m) {
            size_t at = 4 + below(static_cast<uint32_t>(file.size() - 4));
            size_t len = 1 + below(12);
            switch (below(4)) {
            case 0:
                for (size_t i = at; i < std::min(file.size(), at + len); ++i)
                    file[i] = 0;
                break;
            case 1:
                for (size_t i = at; i < std::min(file.size(), at + len); ++i)
                    file[i] = static_cast<uint8_t>(rng());
                break;
            case 2: file.resize(at); break;
            default: {
                std::vector<uint8_t> g = bytes(static_cast<uint32_t>(len));
                file.insert(file.begin() + static_cast<long>(at), g.begin(), g.end());
            }
            }
        }
        SCOPED_TRACE("iteration " + std::to_string(iteration));
        Parsed p(file);
        EXPECT_LE(p.repair.StepCount(), static_cast<uint64_t>(p.repair.StepLimit()) + 1);
        ASSERT_TRUE(p.result == 0 || p.result == JRVP_ERR_UNREPAIRABLE || p.result == JRVP_ERR_UNKNOWN_FORMAT)
            << p.result;
        if (p.result != 0 || p.repair.GetErrorsCount() == 0)
            continue;
        int r = -1;
        std::vector<uint8_t> out = p.Repaired(&r);
        ASSERT_EQ(r, 0);
        Parsed again(out);
        EXPECT_EQ(again.result, 0);
        EXPECT_TRUE(again.Codes().empty());
        ++repaired;
    }
    EXPECT_GT(repaired, 100);
}

}  // namespace
